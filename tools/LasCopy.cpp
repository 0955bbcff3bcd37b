// orvter las copy and las merge: point records carried over without loss, in bounded memory;
// `--pool` keeps the whole-cloud path through the bulk reader and writer.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "LasCrsCopy.h"
#include "LasFilters.h"
#include "OrvLas.h"
#include "OrvLasFile.h"

namespace orvter {
namespace {

struct CopyOptions {
    std::string in, out;
    std::vector<double> shift;
    bool json = false;
    bool quiet = false;
    bool strict = false;
    bool pool = false;
    std::string setVersion;
    int format = -1;
    std::vector<double> scale, offset, bbox;
    std::vector<int> keepClass, dropClass, keepReturn;
    uint64_t step = 1;
    CrsOptions crs;
    double resolution = 0;
    int level = -1;
    bool copc = false;
    PointFilters more;  // z, intensity, scan angle, flags, noise, first/last/single returns
};

// Bytes of records read and written at a time: few system calls, memory that never grows.
constexpr size_t kBlockBytes = size_t{4} << 20;

// Every column of one block of points, reused block after block.
struct Block {
    std::vector<int32_t> X, Y, Z;
    std::vector<double> x, y, z, gps;
    std::vector<uint16_t> intensity, source, red, green, blue, nir;
    std::vector<uint8_t> ret, num, flags, channel, dir, edge, cls, user, index, extra;
    std::vector<int16_t> angle;
    std::vector<float> degrees, location, dx, dy, dz;
    std::vector<uint64_t> waveOffset;
    std::vector<uint32_t> waveSize;
    std::vector<uint8_t> keep;  // what the further filters let through

    orv::LasColumns columns(size_t n, size_t extraPerPoint) {
        auto at = [n](auto& v) {
            if (v.size() < n) v.resize(n);
            return v.data();
        };
        orv::LasColumns c;
        c.X = at(X), c.Y = at(Y), c.Z = at(Z), c.x = at(x), c.y = at(y), c.z = at(z);
        c.intensity = at(intensity), c.returnNumber = at(ret), c.numberOfReturns = at(num);
        c.classificationFlags = at(flags), c.scannerChannel = at(channel);
        c.scanDirection = at(dir), c.edgeOfFlightLine = at(edge), c.classification = at(cls);
        c.scanAngle = at(angle), c.scanAngleDegrees = at(degrees), c.userData = at(user);
        c.pointSourceId = at(source), c.gpsTime = at(gps), c.red = at(red), c.green = at(green);
        c.blue = at(blue), c.nir = at(nir), c.wavePacketIndex = at(index);
        c.waveformOffset = at(waveOffset), c.waveformSize = at(waveSize);
        c.returnPointLocation = at(location), c.waveDx = at(dx), c.waveDy = at(dy);
        c.waveDz = at(dz);
        if (extraPerPoint > 0) {
            if (extra.size() < n * extraPerPoint) extra.resize(n * extraPerPoint);
            c.extraBytes = extra.data();
        }
        return c;
    }
};

size_t extraBytesOf(const orv::LasFileHeader& h) {
    const size_t standard = orv::lasStandardRecordLength(h.pointFormat);
    return h.recordLength > standard ? h.recordLength - standard : 0;
}

void openReader(orv::LasReader& reader, const InputPath& in) {
    const std::string& path = in.name();
    switch (reader.open(in.path().c_str())) {
        case 0:
            return;
        case -1:
            throw CommandError("cannot read '" + path + "'");
        case -2:
            throw CommandError("'" + path + "' is not a LAS file");
        default:
            throw CommandError("cannot copy '" + path + "': " + reader.error());
    }
}

bool sameQuantisation(const orv::LasFileHeader& a, const orv::LasFileHeader& b) {
    for (int axis = 0; axis < 3; ++axis)
        if (a.scale[axis] != b.scale[axis] || a.offset[axis] != b.offset[axis]) return false;
    return true;
}

// Re-encodes `n` records of `from` as records of `to`: fields the target lacks are dropped, new
// ones are zero, coordinates are re-quantised by rounding when scale or offset differ.
void convert(const orv::LasFileHeader& from, const orv::LasFileHeader& to, const uint8_t* in,
             size_t n, uint8_t* out, Block& block, uint64_t firstIndex, const std::string& path,
             orv::CrsTransform* move) {
    orv::LasColumns c = block.columns(n, extraBytesOf(from));
    orv::decodeLasRecords(from, in, n, c);
    if (move) {
        const size_t moved = move->transform(c.x, c.y, c.z, n);
        if (moved < n)
            throw CommandError("point " + std::to_string(firstIndex + moved) + " of '" + path +
                               "' cannot be transformed to the target CRS");
        c.X = c.Y = c.Z = nullptr;
    } else if (sameQuantisation(from, to))
        c.x = c.y = c.z = nullptr;
    else
        c.X = c.Y = c.Z = nullptr;
    // The scan angle's unit differs between the two record cores: convert through degrees.
    const bool sameCore = orv::kLasPointLayouts[from.pointFormat].extendedCore ==
                          orv::kLasPointLayouts[to.pointFormat].extendedCore;
    if (sameCore)
        c.scanAngleDegrees = nullptr;
    else
        c.scanAngle = nullptr;
    if (extraBytesOf(from) != extraBytesOf(to)) c.extraBytes = nullptr;
    const size_t done = orv::encodeLasRecords(to, c, n, out);
    if (done < n)
        throw CommandError("point " + std::to_string(firstIndex + done) + " of '" + path +
                           "' does not fit the target's scale and offset");
}

bool listed(const std::vector<int>& list, int value) {
    for (int v : list)
        if (v == value) return true;
    return false;
}

// Keeps the records the filters take, moved to the front; returns their number.
size_t filter(const CopyOptions& o, const orv::LasFileHeader& h, uint8_t* records, size_t n,
              uint64_t firstIndex, Block& block) {
    const bool byClass = !o.keepClass.empty() || !o.dropClass.empty();
    const bool byReturn = !o.keepReturn.empty(), byBox = !o.bbox.empty();
    if (!byClass && !byReturn && !byBox && o.step <= 1 && !o.more.active()) return n;
    if (block.cls.size() < n) block.cls.resize(n), block.ret.resize(n);
    if (block.x.size() < n) block.x.resize(n), block.y.resize(n);
    orv::LasColumns c;
    if (byClass) c.classification = block.cls.data();
    if (byReturn) c.returnNumber = block.ret.data();
    if (byBox) c.x = block.x.data(), c.y = block.y.data();
    orv::decodeLasRecords(h, records, n, c);
    block.keep.assign(n, 1);
    o.more.select(h, records, n, block.keep);
    const size_t length = h.recordLength;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!block.keep[i]) continue;
        if (o.step > 1 && (firstIndex + i) % o.step != 0) continue;
        if (!o.keepClass.empty() && !listed(o.keepClass, block.cls[i])) continue;
        if (listed(o.dropClass, block.cls[i])) continue;
        if (byReturn && !listed(o.keepReturn, block.ret[i])) continue;
        if (byBox && !(block.x[i] >= o.bbox[0] && block.y[i] >= o.bbox[1] &&
                       block.x[i] <= o.bbox[2] && block.y[i] <= o.bbox[3]))
            continue;
        if (kept != i) std::memmove(records + kept * length, records + i * length, length);
        ++kept;
    }
    return kept;
}

// The header of the copy: the input's, changed as the options ask.
orv::LasFileHeader targetHeader(const orv::LasFileHeader& in, const CopyOptions& o) {
    orv::LasFileHeader h = in;
    if (o.format >= 0) {
        if (o.format > orv::kLasLastPointFormat)
            throw CommandError("point format " + std::to_string(o.format) + " does not exist");
        h.pointFormat = static_cast<uint8_t>(o.format);
        h.recordLength =
            static_cast<uint16_t>(orv::lasStandardRecordLength(h.pointFormat) + extraBytesOf(in));
        // A format only 1.4 knows takes the file there, unless a version was asked for.
        if (h.pointFormat >= 6 && o.setVersion.empty()) h.versionMinor = 4;
    }
    if (!o.setVersion.empty()) {
        if (o.setVersion != "1.2" && o.setVersion != "1.4")
            throw CommandError("--set-version takes 1.2 or 1.4");
        h.versionMajor = 1;
        h.versionMinor = o.setVersion == "1.2" ? 2 : 4;
    }
    if (h.versionMinor != in.versionMinor) {
        h.headerExtra.clear();  // their place belongs to the other version's fields
        if (h.versionMinor < 4) {
            // Extended VLRs become VLRs where they fit.
            for (orv::LasVlr& v : h.evlrs) {
                if (v.payload.size() > 65535)
                    throw CommandError("an extended VLR of '" + o.in +
                                       "' is too long for a version 1.2 file");
                h.vlrs.push_back(std::move(v));
            }
            h.evlrs.clear();
        }
    }
    // Another format or version: the writer fills the legacy counts as that one wants them.
    if (h.pointFormat != in.pointFormat || h.versionMinor != in.versionMinor)
        h.pointCount = h.legacyPointCount = 0;
    if (!o.scale.empty())
        for (int axis = 0; axis < 3; ++axis)
            h.scale[axis] = o.scale[o.scale.size() == 1 ? 0 : axis];
    if (!o.offset.empty())
        for (int axis = 0; axis < 3; ++axis) h.offset[axis] = o.offset[axis];
    return h;
}

// Writes through `writer` the records of `reader`, filtered and converted as the options say.
void pump(orv::LasReader& reader, const orv::LasFileHeader& target, orv::LasWriter& writer,
          const CopyOptions& o, const std::string& path, PointProgress& progress,
          uint64_t& pointsRead, orv::CrsTransform* move) {
    const orv::LasFileHeader& h = reader.header();
    const bool conversion = move || h.pointFormat != target.pointFormat ||
                            h.recordLength != target.recordLength || !sameQuantisation(h, target);
    const size_t perBlock = std::max<size_t>(1, kBlockBytes / h.recordLength);
    std::vector<uint8_t> raw(perBlock * h.recordLength);
    std::vector<uint8_t> converted(conversion ? perBlock * target.recordLength : 0);
    Block block;
    uint64_t index = 0;
    while (size_t n = reader.readRaw(raw.data(), perBlock)) {
        const size_t kept = filter(o, h, raw.data(), n, index, block);
        if (reprojectInPlace(h, target, raw.data(), kept, move, index, path)) {
            writer.writeRaw(raw.data(), kept);
        } else if (conversion) {
            convert(h, target, raw.data(), kept, converted.data(), block, index, path, move);
            writer.writeRaw(converted.data(), kept);
        } else {
            writer.writeRaw(raw.data(), kept);
        }
        index += n;
        pointsRead += n;
        progress.update(pointsRead);
    }
}

void report(const CopyOptions& o, const std::string& in, const std::string& out, uint64_t read,
            uint64_t written, double seconds, const char* verb) {
    if (o.json)
        printJson({{"input", in},
                   {"output", out},
                   {"points_read", read},
                   {"points_written", written},
                   {"seconds", seconds}},
                  o.out == "-");
    else
        std::fprintf(o.out == "-" ? stderr : stdout, "%s %llu points in %.3f s\n", verb,
                     static_cast<unsigned long long>(written), seconds);
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void runLossless(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    orv::LasReader reader;
    openReader(reader, in);
    if (o.strict) requireAgreement(in);
    reportShortRead(in, reader.pointCount(), reader.header().statedPoints, o.strict);
    orv::LasFileHeader target = targetHeader(reader.header(), o);
    std::vector<CrsInput> crs(1);
    crs[0].name = in.name(), crs[0].header = reader.header();
    prepareCrs(crs, target, o.crs, !o.scale.empty(), !o.offset.empty());
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "copying " + in.name(), reader.pointCount());
    orv::LasWriter writer;
    // A failing write throws orv::FileError, which main reports as one line.
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    uint64_t read = 0;
    pump(reader, target, writer, o, in.name(), progress, read, crs[0].transform.get());
    reportReadDamage(reader, in, read, o.strict);  // under --strict the copy is abandoned
    writer.close();
    out.finish();
    progress.end();
    report(o, in.name(), out.name(), read, writer.pointCount(), since(start), "copied");
}

// Bytes this process has read ("rchar:") or written ("wchar:") so far, as the kernel counts
// them, or 0 where it does not tell.
uint64_t bytesMoved(const char* which) {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == which) return value;
    return 0;
}

// Moves the progress line while the bulk reader or writer, which report nothing themselves,
// work: the bytes the process reads or writes, over the record length, are the points done.
class IoTicker {
    static constexpr uint64_t kLeastMoved = 1 << 20;

public:
    IoTicker(PointProgress& progress, const char* which, uint32_t recordLength) {
        if (!progress.shown() || recordLength == 0) return;
        m_thread = std::thread([this, &progress, which, recordLength] {
            const uint64_t before = bytesMoved(which);
            std::unique_lock<std::mutex> lock(m_mutex);
            while (
                !m_cv.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_done; })) {
                // Reading a mapped file moves no count (nor do a few bytes of /proc): then
                // the time spent is all the line can tell.
                const uint64_t moved = bytesMoved(which) - before;
                if (moved < kLeastMoved)
                    progress.tick();
                else
                    progress.update(moved / recordLength);
            }
        });
    }
    ~IoTicker() {
        if (!m_thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

// The pool path holds coordinates as floats and writes them truncated to thousandths: says, when
// that loses more than the thousandths, how far a coordinate may move at most.
void warnPoolMovement(const LasHeader& h, const std::vector<double>& shift) {
    const double bounds[6] = {h.minX, h.maxX, h.minY, h.maxY, h.minZ, h.maxZ};
    double largest = 0.0;
    for (int i = 0; i < 6; ++i)
        largest = std::max(largest, std::fabs(bounds[i] + (shift.empty() ? 0.0 : shift[i / 2])));
    const auto f = static_cast<float>(largest);
    const double moved = (std::nextafter(f, HUGE_VALF) - f) / 2.0 + 0.001;
    if (!std::isfinite(moved) || moved <= 0.0015) return;
    std::fprintf(stderr,
                 "orvter: warning: --pool and --shift carry coordinates as floats: at %s units a "
                 "coordinate may move by up to %s\n",
                 formatNumber(largest).c_str(), formatNumber(moved).c_str());
}

void runPool(const CopyOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    const InputPath in(o.in);
    LasHeader header;
    checkLasFile(in, header);  // the bulk reader itself takes any bytes for a header
    warnPoolMovement(header, o.shift);
    if (o.strict) requireAgreement(in);
    const uint64_t stated = countsOf(in).stated;
    OutputPath out(o.out);
    out.refuseInput(in.identity(), in.name());
    PointProgress progress(o.quiet, "reading " + in.name(), stated, 0.5);
    orv::LasPntPool* read = nullptr;
    long readResult = 0;
    {
        IoTicker ticker(progress, "rchar:", header.pointDataRecordLength);
        readResult = orv::orvReadLas(in.path().c_str(), &read, nullptr);
    }
    if (readResult != 1 || !read)
        throw CommandError("cannot read '" + in.name() + "' as a LAS file");
    orv::OrvPtr<orv::LasPntPool> points = orv::OrvPtr<orv::LasPntPool>::adopt(read);
    progress.update(stated);
    reportShortRead(in, points->size(), stated, o.strict);
    orv::OrvPtr<orv::PLasPntPool> pointers = orv::PointsToPool(points.get());
    if (!pointers) throw CommandError("out of memory");
    progress.phase("writing " + out.name(), 0.5);

    orv::XPnt3d shift;
    if (!o.shift.empty()) shift = orv::XPnt3d(o.shift[0], o.shift[1], o.shift[2]);
    // A failing write throws orv::FileError, which main reports as one line. All or nothing: a
    // point the file cannot hold leaves the target as it was.
    long result = 0;
    uint64_t refused = 0;
    {
        constexpr uint32_t kWrittenRecord = 20;  // point format 0
        IoTicker ticker(progress, "wchar:", kWrittenRecord);
        result = orv::orvSavePoint2LasWhole(pointers.get(), o.shift.empty() ? nullptr : &shift,
                                            out.path().c_str(), &refused);
    }
    if (result != 0)
        throw CommandError(std::to_string(refused) + " of " + std::to_string(points->size()) +
                           " points lie beyond what the file's 32-bit coordinates can hold: '" +
                           out.name() + "' was not written");
    out.finish();
    progress.end();
    warnCrsLeftBehind(in.path(), in.name());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (o.json)
        printJson({{"input", in.name()},
                   {"output", out.name()},
                   {"points_read", points->size()},
                   {"points_written", points->size()},
                   {"seconds", seconds}},
                  o.out == "-");
    else
        std::fprintf(o.out == "-" ? stderr : stdout, "copied %zu points in %.3f s\n",
                     points->size(), seconds);
}

struct MergeOptions {
    std::string out;
    std::vector<std::string> in;
    bool json = false;
    bool quiet = false;
    CrsOptions crs;
};

void runMerge(const MergeOptions& m) {
    const auto start = std::chrono::steady_clock::now();
    // Every input is checked before the output is begun.
    std::vector<std::unique_ptr<InputPath>> ins;
    uint64_t total = 0;
    orv::LasFileHeader target;
    std::vector<CrsInput> crs;
    for (const std::string& arg : m.in) {
        ins.push_back(std::make_unique<InputPath>(arg));
        orv::LasReader reader;
        openReader(reader, *ins.back());
        const orv::LasFileHeader& h = reader.header();
        if (ins.size() == 1) target = h;
        if (h.pointFormat != target.pointFormat || h.recordLength != target.recordLength)
            throw CommandError(
                "'" + ins.back()->name() + "' has point format " + std::to_string(h.pointFormat) +
                " with " + std::to_string(h.recordLength) + "-byte records; '" +
                ins.front()->name() + "' has format " + std::to_string(target.pointFormat) +
                " with " + std::to_string(target.recordLength));
        total += reader.pointCount();
        crs.push_back({ins.back()->name(), h, orv::Crs(), nullptr});
    }
    prepareCrs(crs, target, m.crs, false, false);
    OutputPath out(m.out);
    for (const auto& in : ins) out.refuseInput(in->identity(), in->name());
    PointProgress progress(m.quiet, "merging into " + out.name(), total);
    orv::LasWriter writer;
    if (writer.open(out.path().c_str(), target) != 0)
        throw CommandError("cannot write '" + out.name() + "': " + writer.error());
    CopyOptions none;
    uint64_t read = 0;
    for (size_t i = 0; i < ins.size(); ++i) {
        orv::LasReader reader;
        openReader(reader, *ins[i]);
        const uint64_t before = read;
        pump(reader, target, writer, none, ins[i]->name(), progress, read, crs[i].transform.get());
        reportReadDamage(reader, *ins[i], read - before, false);
    }
    writer.close();
    out.finish();
    progress.end();
    CopyOptions o;
    o.out = m.out, o.json = m.json;
    report(o, ins.front()->name(), out.name(), read, writer.pointCount(), since(start), "merged");
}

}  // namespace

void addLasCopy(CLI::App& las) {
    auto options = std::make_shared<CopyOptions>();
    CLI::App* cmd = las.add_subcommand(
        "copy",
        "Copy a LAS file without loss: the same version, point format, scale, offset, VLRs and "
        "header identity, every record byte for byte (counts and bounds follow the records). "
        "With --pool (or --shift): the whole cloud through the bulk reader and writer into LAS "
        "1.1 point format 0, keeping X, Y, Z, intensity and classification only");
    cmd->add_option("IN", options->in, "LAS file to read (- reads standard input)")->required();
    cmd->add_option("OUT", options->out,
                    "LAS file to write, compressed when its name ends in .laz (replaced when it "
                    "exists; - writes standard output)")
        ->required();
    cmd->add_flag("--pool", options->pool, "Copy through the bulk reader and writer");
    cmd->add_option("--shift", options->shift, "Add X,Y,Z to every coordinate (implies --pool)")
        ->delimiter(',')
        ->expected(3);
    cmd->add_option("--set-version", options->setVersion, "Write LAS 1.2 or 1.4")
        ->check(CLI::IsMember({"1.2", "1.4"}));
    cmd->add_option("--format", options->format,
                    "Write point format N (fields it lacks are dropped, new ones are zero)")
        ->check(CLI::Range(0, int{orv::kLasLastPointFormat}));
    cmd->add_option("--scale", options->scale, "New scale X[,Y,Z]; coordinates are rounded")
        ->delimiter(',')
        ->expected(1, 3);
    cmd->add_option("--offset", options->offset, "New offset X,Y,Z; coordinates are rounded")
        ->delimiter(',')
        ->expected(3);
    cmd->add_option("--keep-class", options->keepClass, "Keep only these classes")
        ->delimiter(',')
        ->check(classNumber());
    cmd->add_option("--drop-class", options->dropClass, "Drop these classes")
        ->delimiter(',')
        ->check(classNumber());
    cmd->add_option("--keep-return", options->keepReturn, "Keep only these return numbers")
        ->delimiter(',');
    cmd->add_option("--bbox", options->bbox,
                    "Keep points with MINX <= x <= MAXX, MINY <= y <= MAXY (of a COPC input "
                    "also MINX,MINY,MINZ,MAXX,MAXY,MAXZ)")
        ->delimiter(',')
        ->expected(4, 6);
    cmd->add_option("--resolution", options->resolution,
                    "COPC input: the levels down to a point spacing of at most R");
    cmd->add_option("--level", options->level, "COPC input: the levels down to N");
    cmd->add_flag("--copc", options->copc, "Write a COPC file (as las copc does)");
    cmd->add_option("--step", options->step, "Keep records 0, N, 2N... of the input")
        ->check(atLeastOne());
    options->more.addOptions(*cmd);
    cmd->add_flag("--json", options->json, "Print the summary as one JSON object");
    cmd->add_flag("--quiet", options->quiet, "Show no progress line");
    cmd->add_flag("--strict", options->strict,
                  "Exit with status 3 when the file holds fewer points than its header states");
    addCrsOptions(cmd, options->crs, true);
    cmd->callback([options] {
        const CopyOptions& o = *options;
        // Usage errors: exit status 2 with the usage line.
        if (o.scale.size() == 2) throw CLI::ValidationError("--scale takes one or three values");
        if (o.bbox.size() == 5) throw CLI::ValidationError("--bbox takes four or six values");
        if (o.setVersion == "1.2" && o.format >= 6)
            throw CLI::ValidationError("point format " + std::to_string(o.format) +
                                       " needs LAS 1.4, not --set-version 1.2");
        if (o.copc) {
            writeCopcCopy(o.in, o.out, o.json, o.quiet);
            return;
        }
        // An area or a level of a COPC file (or URL) is read through its octree; other filters
        // go the ordinary way, over every point.
        const bool url = o.in.rfind("http://", 0) == 0 || o.in.rfind("https://", 0) == 0;
        const bool needsOctree = o.resolution > 0 || o.level >= 0 || o.bbox.size() == 6 || url;
        const bool others = !o.setVersion.empty() || o.format >= 0 || !o.scale.empty() ||
                            !o.offset.empty() || !o.keepClass.empty() || !o.dropClass.empty() ||
                            !o.keepReturn.empty() || o.step > 1 || o.pool || !o.shift.empty() ||
                            !o.crs.assign.empty() || !o.crs.to.empty() || o.more.active();
        if (needsOctree && others)
            throw CLI::ValidationError(
                "--resolution, --level, a 3D --bbox and URLs take no other filters");
        if (needsOctree || (!o.bbox.empty() && !others && o.in != "-" && isCopcSource(o.in))) {
            if (!isCopcSource(o.in))
                throw CommandError("--resolution, --level and a 3D --bbox need a COPC input");
            CopcQueryOptions q;
            q.in = o.in, q.out = o.out, q.bbox = o.bbox;
            q.resolution = o.resolution, q.level = o.level, q.json = o.json;
            copyCopcQuery(q);
            return;
        }
        if (o.pool || !o.shift.empty()) {
            const bool lossless =
                !o.setVersion.empty() || o.format >= 0 || !o.scale.empty() || !o.offset.empty() ||
                !o.keepClass.empty() || !o.dropClass.empty() || !o.keepReturn.empty() ||
                !o.bbox.empty() || o.step > 1 || !o.crs.assign.empty() || !o.crs.to.empty() ||
                o.more.active();
            if (lossless)
                throw CLI::ValidationError("--pool and --shift take no other copy options");
            runPool(o);
        } else {
            runLossless(o);
        }
    });

    auto merge = std::make_shared<MergeOptions>();
    CLI::App* mcmd = las.add_subcommand(
        "merge",
        "Merge LAS files of one point format into one: the header, VLRs, scale and offset of the "
        "first; the others' points re-quantised to them");
    mcmd->add_option("OUT", merge->out,
                     "LAS file to write (replaced when it exists; - writes standard output)")
        ->required();
    mcmd->add_option("IN", merge->in, "LAS files to read (- reads standard input)")->required();
    mcmd->add_flag("--json", merge->json, "Print the summary as one JSON object");
    mcmd->add_flag("--quiet", merge->quiet, "Show no progress line");
    addCrsOptions(mcmd, merge->crs, false);
    mcmd->callback([merge] { runMerge(*merge); });
}

}  // namespace orvter
