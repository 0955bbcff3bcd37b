// XML documents beside pugixml and tinyxml2, every run a fresh process (see FreshRuns.h).
#include <sys/resource.h>
#include <tinyxml2.h>
#include <unistd.h>
#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FreshRuns.h"
#include "OrvXml.h"
#include "OrvXmlPack.h"

namespace {

const char kUsage[] =
    "usage: xml_bench [--sizes MB,MB,...] [--runs N]\n"
    "       xml_bench --write MB FILE   (only writes the generated document)\n"
    "\n"
    "Generates a document of each size (default 20,200) and times, in a fresh child process per\n"
    "run, interleaved with pugixml and tinyxml2 (page cache warm):\n"
    "  load + release   the file into a tree, then the tree freed\n"
    "  release          freeing the loaded tree alone\n"
    "  compose          the tree written as text in memory\n"
    "  save             the tree written to a file (OrvTerDep: compose, then save)\n"
    "  peak memory      the child's peak resident memory once the document is loaded\n"
    "  packet get/set   text of an early and of a late path read and written again\n"
    "Each row gives min / median / max over N runs (default 7) and the ratio of medians.\n";

// A document within the parser's accepted subset: records nested 3 to 8 levels, up to four
// attributes an element, short texts on the leaves. The first record begins with <first>, the
// last one ends with <last>, for the early and the late path.
std::string generate(size_t bytes) {
    std::mt19937 rng(12345);
    static const char* kTags[] = {"tile",   "point",  "layer", "meta",
                                  "bounds", "source", "item",  "v"};
    static const char* kAttrs[] = {"id", "name", "kind", "x", "y", "z"};
    std::string out = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<root>\r\n";
    out += "  <first>early</first>\r\n";
    std::string stack[8];
    while (out.size() < bytes) {
        const int depth = 3 + static_cast<int>(rng() % 6);
        for (int level = 0; level < depth; ++level) {
            const std::string tag = kTags[rng() % 8];
            out.append(static_cast<size_t>(level + 1) * 2, ' ');
            out += "<" + tag;
            for (unsigned a = rng() % 5, first = rng() % 6; a > 0; --a, ++first)
                out += std::string(" ") + kAttrs[first % 6] + "=\"" +
                       std::to_string(rng() % 100000) + "\"";
            if (level + 1 == depth) {
                out += ">t" + std::to_string(rng() % 1000) + "</" + tag + ">\r\n";
            } else {
                out += ">\r\n";
                stack[level] = tag;
            }
        }
        for (int level = depth - 2; level >= 0; --level) {
            out.append(static_cast<size_t>(level + 1) * 2, ' ');
            out += "</" + stack[level] + ">\r\n";
        }
    }
    return out + "  <last>late</last>\r\n</root>\r\n";
}

long peakKiBNow() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// What one child measured, in the order written to its figures file.
struct Figures {
    double load = 0, release = 0, compose = 0, save = 0;
    long peakKiB = 0;
};

void writeFigures(const std::string& path, const Figures& f) {
    std::ofstream out(path);
    out.precision(9);
    out << f.load << ' ' << f.release << ' ' << f.compose << ' ' << f.save << ' ' << f.peakKiB
        << '\n';
}

Figures readFigures(const std::string& path) {
    Figures f;
    std::ifstream in(path);
    in >> f.load >> f.release >> f.compose >> f.save >> f.peakKiB;
    return f;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
};

// Child: load, compose, save and release one document with one library, each step timed once.
int documentChild(const std::string& lib, const std::string& in, const std::string& out,
                  const std::string& figuresPath) {
    Figures f;
    if (lib == "orv") {
        fresh::Stopwatch load;
        orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
        if (doc->loadFile(in) != 0) return 1;
        f.load = load.seconds();
        f.peakKiB = peakKiBNow();
        {
            // The text held whole in memory, as a caller of getString has it.
            fresh::Stopwatch compose;
            orv::OrvString text;
            doc->getRoot()->writeXml(text);
            f.compose = compose.seconds();
        }
        fresh::Stopwatch save;
        doc->buildString(doc->getRoot());
        if (doc->saveFile(out.c_str()) != 0) return 1;
        f.save = save.seconds();
        fresh::Stopwatch release;
        doc = nullptr;
        f.release = release.seconds();
    } else if (lib == "pugi") {
        fresh::Stopwatch load;
        auto* doc = new pugi::xml_document;
        if (!doc->load_file(in.c_str())) return 1;
        f.load = load.seconds();
        f.peakKiB = peakKiBNow();
        {
            fresh::Stopwatch compose;
            StringWriter text;
            doc->save(text);
            f.compose = compose.seconds();
        }
        fresh::Stopwatch save;
        if (!doc->save_file(out.c_str())) return 1;
        f.save = save.seconds();
        fresh::Stopwatch release;
        delete doc;
        f.release = release.seconds();
    } else if (lib == "tiny") {
        fresh::Stopwatch load;
        auto* doc = new tinyxml2::XMLDocument;
        if (doc->LoadFile(in.c_str()) != tinyxml2::XML_SUCCESS) return 1;
        f.load = load.seconds();
        f.peakKiB = peakKiBNow();
        {
            fresh::Stopwatch compose;
            tinyxml2::XMLPrinter printer;
            doc->Print(&printer);
            f.compose = compose.seconds();
        }
        fresh::Stopwatch save;
        if (doc->SaveFile(out.c_str()) != tinyxml2::XML_SUCCESS) return 1;
        f.save = save.seconds();
        fresh::Stopwatch release;
        delete doc;
        f.release = release.seconds();
    } else {
        return 2;
    }
    writeFigures(figuresPath, f);
    fresh::reportSeconds(f.load + f.release);
    return 0;
}

// Child: reads and rewrites the text at `path` `times` times; reports the seconds per get + set.
int packetChild(const std::string& lib, const std::string& in, const std::string& which,
                int times) {
    const std::string tag = which == "early" ? "first" : "last";
    if (lib == "orv") {
        orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
        if (pack->loadFile(in) != 0) return 1;
        const std::string path = "/root/" + tag;
        fresh::Stopwatch run;
        for (int i = 0; i < times; ++i) {
            const std::string text = pack->getText(path);
            if (text.empty() || pack->setText(path, text) != 0) return 1;
        }
        fresh::reportSeconds(run.seconds() / times);
    } else {
        // The packet's path rule, the first element of that tag in document order, is a
        // depth-first search below the root.
        pugi::xml_document doc;
        if (!doc.load_file(in.c_str())) return 1;
        fresh::Stopwatch run;
        for (int i = 0; i < times; ++i) {
            pugi::xml_node root = doc.child("root");
            pugi::xml_node node = root.find_node([&](pugi::xml_node n) { return tag == n.name(); });
            const std::string text = node.text().get();
            if (text.empty() || !node.text().set(text.c_str())) return 1;
        }
        fresh::reportSeconds(run.seconds() / times);
    }
    return 0;
}

struct Side {
    const char* label;
    const char* lib;
};
const Side kSides[] = {{"OrvTerDep", "orv"}, {"pugixml", "pugi"}, {"tinyxml2", "tiny"}};

// One line a library; the ratio is OrvTerDep's median over the reference's median.
void printRow(const char* what, const char* unit, const std::vector<double> (&values)[3],
              int sides) {
    std::vector<fresh::Sample> samples[3];
    fresh::Summary s[3];
    for (int i = 0; i < sides; ++i) {
        for (double v : values[i]) samples[i].push_back(fresh::Sample{v, 0});
        s[i] = fresh::summarize(samples[i]);
    }
    for (int i = 0; i < sides; ++i) {
        std::printf("  %-16s %-10s %10.3f %10.3f %10.3f %s", i == 0 ? what : "", kSides[i].label,
                    s[i].min, s[i].median, s[i].max, unit);
        if (i > 0) std::printf("   ratio %.2f", s[0].median / s[i].median);
        std::printf("\n");
    }
}

bool parseSizes(const char* text, std::vector<double>& sizes) {
    sizes.clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const double mb = std::strtod(item.c_str(), &end);
        if (end == item.c_str() || *end != '\0' || !(mb > 0) || mb > 4000) return false;
        sizes.push_back(mb);
    }
    return !sizes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "--child-document")
        return documentChild(args[1], args[2], args[3], args[4]);
    if (args.size() == 3 && args[0] == "--write") {  // the document alone, for profiling by hand
        const std::string text =
            generate(static_cast<size_t>(std::atof(args[1].c_str()) * (1 << 20)));
        std::ofstream file(args[2], std::ios::binary);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        return file ? 0 : 1;
    }
    if (args.size() == 5 && args[0] == "--child-packet")
        return packetChild(args[1], args[2], args[3], std::atoi(args[4].c_str()));

    std::vector<double> sizes{20, 200};
    int runs = 7;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (args[i] == "--sizes" && i + 1 < args.size()) {
            if (!parseSizes(args[++i].c_str(), sizes)) {
                std::fprintf(stderr, "xml_bench: bad --sizes\n%s", kUsage);
                return 2;
            }
        } else if (args[i] == "--runs" && i + 1 < args.size()) {
            runs = std::atoi(args[++i].c_str());
            if (runs < 1 || runs > 1000) {
                std::fprintf(stderr, "xml_bench: bad --runs\n%s", kUsage);
                return 2;
            }
        } else {
            std::fprintf(stderr, "xml_bench: unknown argument %s\n%s", args[i].c_str(), kUsage);
            return 2;
        }
    }

    char dirTemplate[] = "/tmp/xml_bench_XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string dir = dirTemplate;
    const std::string in = dir + "/in.xml", out = dir + "/out.xml", figures = dir + "/figures";
    std::printf("Fresh process per run, %d runs each, interleaved; page cache warm.\n", runs);
    for (double mb : sizes) {
        {
            const std::string text = generate(static_cast<size_t>(mb * (1 << 20)));
            std::ofstream file(in, std::ios::binary);
            file.write(text.data(), static_cast<std::streamsize>(text.size()));
            if (!file) return 1;
        }
        fresh::warm(in);
        std::printf("\ndocument of %.2f MB%-17s %10s %10s %10s\n", mb, "", "min", "median", "max");
        std::vector<double> load[3], release[3], loadRelease[3], compose[3], save[3], peak[3];
        for (int r = 0; r < runs; ++r) {
            for (int k = 0; k < 3; ++k) {
                const int side = (k + r) % 3;  // each library takes each place in turn
                fresh::removeFlushed(out);
                fresh::Sample sample;
                std::string error;
                if (!fresh::runChild({"--child-document", kSides[side].lib, in, out, figures},
                                     sample, error)) {
                    std::fprintf(stderr, "xml_bench: %s\n", error.c_str());
                    return 1;
                }
                const Figures f = readFigures(figures);
                load[side].push_back(f.load);
                release[side].push_back(f.release * 1000);
                loadRelease[side].push_back(mb / (f.load + f.release));
                compose[side].push_back(mb / f.compose);
                save[side].push_back(mb / f.save);
                peak[side].push_back(static_cast<double>(f.peakKiB) / 1024);
            }
        }
        fresh::removeFlushed(out);
        printRow("load + release", "MB/s", loadRelease, 3);
        printRow("release alone", "ms  ", release, 3);
        printRow("compose", "MB/s", compose, 3);
        printRow("save", "MB/s", save, 3);
        printRow("peak memory", "MiB ", peak, 3);
        for (const char* which : {"early", "late"}) {
            std::vector<double> perOp[3];
            const std::string times = std::strcmp(which, "early") == 0 ? "1000" : "5";
            for (int r = 0; r < runs; ++r) {
                for (int k = 0; k < 2; ++k) {
                    const int side = (k + r) % 2;
                    fresh::Sample sample;
                    std::string error;
                    if (!fresh::runChild({"--child-packet", kSides[side].lib, in, which, times},
                                         sample, error)) {
                        std::fprintf(stderr, "xml_bench: %s\n", error.c_str());
                        return 1;
                    }
                    perOp[side].push_back(sample.seconds * 1e6);
                }
            }
            printRow(std::strcmp(which, "early") == 0 ? "packet early" : "packet late", "us  ",
                     perOp, 2);
        }
        std::fflush(stdout);
    }
    std::remove(in.c_str());
    std::remove(figures.c_str());
    rmdir(dir.c_str());
    return 0;
}
