// orvter demo: the library's typical road in one run. Generates a cloud, examines it, copies it
// whole with the bulk functions, thins it with the streams, and reports what it did as XML
// written through a packet.
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Command.h"
#include "OrvLas.h"
#include "OrvLasStream.h"
#include "OrvXmlPack.h"

namespace orvter {
namespace {

struct DemoOptions {
    std::string out;
    uint64_t points = 2000000;
    int step = 10;
    bool quiet = false;
};

// The folder the demo works in: --out (kept), or a fresh temporary one (removed at the end).
class WorkDir {
public:
    explicit WorkDir(const std::string& wanted) {
        std::error_code ec;
        if (!wanted.empty()) {
            m_path = wanted;
            std::filesystem::create_directories(m_path, ec);
            if (ec) throw CommandError("cannot create '" + m_path + "': " + ec.message());
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "orvter-demo-XXXXXX");
        if (ec || !mkdtemp(pattern.data())) throw CommandError("cannot create a temporary folder");
        m_path = pattern;
        m_temporary = true;
    }
    ~WorkDir() {
        std::error_code ec;  // a folder that cannot be removed is left behind, never an error
        if (m_temporary) std::filesystem::remove_all(m_path, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }
    bool temporary() const { return m_temporary; }

private:
    std::string m_path;
    bool m_temporary = false;
};

// What one step produced, read back from the file it wrote.
struct Step {
    std::string name;  // generate, copy, thin
    std::string how;
    std::string file;
    unsigned long long points = 0;
    orv::XPnt3d min, max;
    double seconds = 0.0;
};

class Clock {
public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

Step describe(const std::string& name, const std::string& how, const std::string& path,
              const Clock& clock) {
    Step s;
    s.seconds = clock.seconds();
    s.name = name;
    s.how = how;
    s.file = path;
    LasHeader h;
    if (orv::ReadLasHeader(path.c_str(), h) != 0) throw CommandError("cannot read '" + path + "'");
    s.points = h.numberOfPointRecords;
    s.min = orv::XPnt3d(h.minX, h.minY, h.minZ);
    s.max = orv::XPnt3d(h.maxX, h.maxY, h.maxZ);
    return s;
}

// The whole cloud into memory and out again: the bulk reader and the bulk writer.
void copyWhole(const std::string& in, const std::string& out) {
    orv::LasPntPool* read = nullptr;
    if (orv::orvReadLas(in.c_str(), &read, nullptr) != 1)
        throw CommandError("cannot read '" + in + "' as a LAS file");
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) throw CommandError("out of memory");
    if (orv::orvSavePoint2Las(pointers.get(), out.c_str(), nullptr) != 0)
        throw CommandError("some points of '" + in + "' could not be stored in '" + out + "'");
}

// Every `step`-th point, block by block, relative to the first point and written back absolute.
void thin(const std::string& in, const std::string& out, int step) {
    constexpr double kUnset = orv::kOriginFromFirstPoint;  // the file's first point
    const int blockSize = 1000000 / step * step;  // a whole number of steps: no seam between blocks
    orv::OrvPtr<IOrvPoint> origin(newOrvPoint());
    orv::OrvPtr<IOrvInPntsStream> reader(newInLasPntStream());
    orv::OrvPtr<IOrvOutPntsStream> writer(newOutLasPntStream());
    if (!origin || !reader || !writer) throw CommandError("out of memory");
    origin->setPoint(orv::XPnt3d(kUnset, kUnset, kUnset));
    if (reader->open(in.c_str(), origin.get()) != 0)
        throw CommandError("cannot read '" + in + "' as a LAS file");
    if (writer->open(out.c_str()) != 0 || writer->begin() != 0)
        throw CommandError("cannot create '" + out + "'");
    const IOrvPoint* used = reader->getOrigin();
    const orv::XPnt3d shift = used ? orv::XPnt3d(used->x, used->y, used->z) : orv::XPnt3d();
    while (orv::OrvPtr<orv::LasPntArray> block = reader->readPnts(step, blockSize)) {
        if (writer->writePntArray(block->data(), static_cast<int>(block->size()), &shift) != 0)
            throw CommandError("some points of '" + in + "' could not be stored in '" + out + "'");
    }
    writer->close();
}

IOrvXmlElem* addChild(IOrvXmlPack& pack, IOrvXmlElem* parent, const std::string& tag) {
    pack.setCurrent(parent);
    return pack.makePath(tag);  // a single segment: always a new child of the cursor
}

// To the thousandth: what a LAS file of this library stores, and what a reader wants to see.
std::string thousandths(double value) {
    return formatNumber(std::round(value * 1000.0) / 1000.0);
}

void addPoint(IOrvXmlPack& pack, IOrvXmlElem* parent, const std::string& tag,
              const orv::XPnt3d& p) {
    IOrvXmlElem* e = addChild(pack, parent, tag);
    pack.setAttr(e, "x", thousandths(p.x));
    pack.setAttr(e, "y", thousandths(p.y));
    pack.setAttr(e, "z", thousandths(p.z));
}

// The report: one <Step> a step under <DemoReport>, composed and saved through the packet.
std::string writeReport(const std::vector<Step>& steps, const std::string& path) {
    orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
    if (!pack) throw CommandError("out of memory");
    pack->setRootTag("DemoReport");
    IOrvXmlElem* root = pack->getDoc()->getRoot();
    double total = 0.0;
    for (const Step& s : steps) {
        IOrvXmlElem* step = addChild(*pack, root, "Step");
        pack->setAttr(step, "name", s.name);
        pack->setAttr(step, "seconds", thousandths(s.seconds));
        pack->setText(addChild(*pack, step, "How"), s.how);
        pack->setText(addChild(*pack, step, "File"),
                      std::filesystem::path(s.file).filename().string());
        pack->setText(addChild(*pack, step, "Points"), std::to_string(s.points));
        addPoint(*pack, step, "Min", s.min);
        addPoint(*pack, step, "Max", s.max);
        total += s.seconds;
    }
    pack->setAttr(root, "seconds", thousandths(total));
    const std::string text = pack->getXml(root);
    if (pack->getDoc()->saveFile(path.c_str()) != 0)
        throw CommandError("cannot write '" + path + "'");
    return text;
}

void run(const DemoOptions& o) {
    if (o.points > UINT32_MAX) throw CommandError("a LAS 1.1 file holds at most 4294967295 points");
    WorkDir dir(o.out);
    const std::string cloud = dir.file("cloud.las"), copy = dir.file("copy.las"),
                      thinned = dir.file("thinned.las"), report = dir.file("report.xml");
    std::vector<Step> steps;

    std::printf("== Generating %llu points in %s\n", static_cast<unsigned long long>(o.points),
                cloud.c_str());
    Clock clock;
    {
        orv::OrvPtr<IOrvProgress> progress = startProgress(o.quiet, "generating " + cloud);
        generateCloud(cloud, o.points, 1, progress.get());
        endProgress(progress);
    }
    steps.push_back(describe("generate", "synthetic 1,000 x 1,000 tile, seed 1", cloud, clock));

    std::printf("\n== orvter las info %s\n", cloud.c_str());
    InfoOptions info;
    info.path = cloud;
    printLasInfo(info);

    clock = Clock();
    copyWhole(cloud, copy);
    steps.push_back(describe("copy", "bulk reader and bulk writer, whole cloud", copy, clock));

    clock = Clock();
    thin(cloud, thinned, o.step);
    steps.push_back(describe("thin",
                             "input and output streams, 1 point in " + std::to_string(o.step) +
                                 ", relative to the first point",
                             thinned, clock));

    std::printf("\n== Report %s\n", report.c_str());
    std::fflush(stdout);
    std::string text = writeReport(steps, report);
    // The document's lines end in CR LF; the console wants plain ones.
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    writeText(text + "\n");

    std::printf("\n== Done\n");
    for (const Step& s : steps)
        std::printf("%-9s %-12s %10llu points  %7.3f s  %s\n", s.name.c_str(),
                    std::filesystem::path(s.file).filename().c_str(), s.points, s.seconds,
                    s.how.c_str());
    std::printf("%-9s %-12s %zu steps\n", "report",
                std::filesystem::path(report).filename().c_str(), steps.size());
    if (dir.temporary())
        std::printf("(worked in %s, now removed; --out DIR keeps the files)\n", dir.path().c_str());
    else
        std::printf("(files kept in %s)\n", dir.path().c_str());
}

}  // namespace

void addDemo(CLI::App& app) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "demo",
        "Generate a cloud, examine it, copy it whole, thin it block by block, and report the "
        "work as XML");
    cmd->add_option("--out", options->out,
                    "Folder to keep cloud.las, copy.las, thinned.las and report.xml in (made when "
                    "missing); default: a temporary folder, removed at the end");
    cmd->add_option("--points", options->points, "Number of points to generate")
        ->check(wholeNumber)
        ->check(CLI::Range(uint64_t{1}, uint64_t{UINT32_MAX}))
        ->capture_default_str();
    cmd->add_option("--step", options->step, "Keep every N-th point when thinning")
        ->check(wholeNumber)
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->callback([options] { run(*options); });
}

}  // namespace orvter
