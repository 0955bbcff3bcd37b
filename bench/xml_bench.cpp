// Loads, releases and composes a generated document with OrvTerDep, pugixml and tinyxml2 in one
// run, and measures the peak memory of a large document held loaded by each. Run by hand:
//   xml_bench [MB for speed, default 20] [MB for memory, default 200]
#include <sys/resource.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>
#include <pugixml.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "OrvXml.h"

namespace {

// A document within the parser's accepted subset: records nested 3 to 8 levels, up to four
// attributes an element, short texts on the leaves.
std::string generate(size_t bytes) {
    std::mt19937 rng(12345);
    static const char* kTags[] = {"tile",   "point",  "layer", "meta",
                                  "bounds", "source", "item",  "v"};
    static const char* kAttrs[] = {"id", "name", "kind", "x", "y", "z"};
    std::string out = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<root>\r\n";
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
    return out + "</root>\r\n";
}

double bestSeconds(const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    return best;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
};

// Peak resident memory, in MiB, of a child process that runs `hold`.
double peakMiB(const std::function<bool()>& hold) {
    const pid_t pid = fork();
    if (pid == 0) _exit(hold() ? 0 : 1);
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void row(const char* what, double ours, double pugi, double tiny, const char* unit) {
    std::printf("%-28s %10.1f %10.1f %10.1f %8.2f %8.2f  %s\n", what, ours, pugi, tiny, ours / pugi,
                ours / tiny, unit);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t speedMB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    const size_t memoryMB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 200;
    // Memory first, while this process holds nothing that forked children would count.
    std::function<void()> memoryRow;
    if (memoryMB > 0) {
        char path[] = "/tmp/xml_bench_XXXXXX";
        const int fd = mkstemp(path);
        double bigMB = 0;
        {
            // Freed before the children start, so that none of them counts it.
            const std::string big = generate(memoryMB << 20);
            if (fd < 0 || write(fd, big.data(), big.size()) != static_cast<ssize_t>(big.size()))
                return 1;
            bigMB = static_cast<double>(big.size()) / (1 << 20);
        }
        close(fd);
        const double ours = peakMiB([&] {
            orv::OrvPtr<IOrvXmlDoc> d(newOrvXmlDoc());
            return d->loadFile(path) == 0;
        });
        const double pugi = peakMiB([&] {
            pugi::xml_document d;
            return static_cast<bool>(d.load_file(path));
        });
        const double tiny = peakMiB([&] {
            tinyxml2::XMLDocument d;
            return d.LoadFile(path) == tinyxml2::XML_SUCCESS;
        });
        unlink(path);
        memoryRow = [=] {
            std::printf("held document: %.1f MB, loaded from a file by a fresh child process\n",
                        bigMB);
            row("peak memory (whole process)", ours, pugi, tiny, "MiB");
        };
    }
    const std::string text = generate(speedMB << 20);
    const double mb = static_cast<double>(text.size()) / (1 << 20);

    const double oursLoad = bestSeconds([&] {
        orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
        if (doc->loadString(text, static_cast<int>(text.size())) != 0) std::abort();
    });
    orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
    doc->loadString(text, 0);
    const double oursPrint = bestSeconds([&] { doc->buildString(doc->getRoot()); });

    const double pugiLoad = bestSeconds([&] {
        pugi::xml_document d;
        if (!d.load_buffer(text.data(), text.size())) std::abort();
    });
    pugi::xml_document pdoc;
    pdoc.load_buffer(text.data(), text.size());
    const double pugiPrint = bestSeconds([&] {
        StringWriter w;
        pdoc.save(w);
    });

    const double tinyLoad = bestSeconds([&] {
        tinyxml2::XMLDocument d;
        if (d.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) std::abort();
    });
    tinyxml2::XMLDocument tdoc;
    tdoc.Parse(text.data(), text.size());
    const double tinyPrint = bestSeconds([&] {
        tinyxml2::XMLPrinter printer;
        tdoc.Print(&printer);
    });

    std::printf("document: %.1f MB (MB/s are MB of this document per second, best of 3)\n", mb);
    std::printf("%-28s %10s %10s %10s %8s %8s\n", "", "OrvTerDep", "pugixml", "tinyxml2", "/pugi",
                "/tiny");
    row("load + release", mb / oursLoad, mb / pugiLoad, mb / tinyLoad, "MB/s");
    row("compose", mb / oursPrint, mb / pugiPrint, mb / tinyPrint, "MB/s");

    if (memoryRow) memoryRow();
    return 0;
}
