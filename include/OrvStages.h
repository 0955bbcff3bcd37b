// Stages: readers, filters and writers of point clouds that pass blocks of points from one to the
// next, and the pipelines assembled from them. Every stage has the same life: `prepare` sees the
// schema it is given (the points' layout, scale, offset and CRS) and says what it passes on,
// `run` takes one block at a time, `finish` ends the work. Memory stays bounded by the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvCrs.h"
#include "OrvExport.h"
#include "OrvLasFile.h"
#include "OrvProgress.h"
#include "OrvThreads.h"

namespace orv {

// ---- Dimensions: the one table of the point fields a LAS record can hold.

enum class DimType : uint8_t { kU8, kU16, kI16, kI32, kF32, kF64 };
// How a text writer prints a value.
enum class DimPrint : uint8_t {
    kCoordinate,  // at the decimals of its axis' scale
    kInteger,
    kShortest,  // the shortest text that reads back as the same value
    kMicros,    // six decimals (GPS time)
};

enum class DimId : uint8_t {
    kX,
    kY,
    kZ,
    kRawX,
    kRawY,
    kRawZ,
    kIntensity,
    kReturnNumber,
    kNumberOfReturns,
    kClassification,
    kUserData,
    kPointSourceId,
    kScanDirection,
    kEdgeOfFlightLine,
    kScannerChannel,
    kRed,
    kGreen,
    kBlue,
    kNir,
    kSynthetic,
    kKeyPoint,
    kWithheld,
    kOverlap,
    kScanAngle,
    kGpsTime,
};
inline constexpr size_t kDimCount = static_cast<size_t>(DimId::kGpsTime) + 1;

struct Dimension {
    DimId id;
    const char* name;      // as laspy and the Python package call it ("return_number")
    const char* pdalName;  // as pipelines call it ("ReturnNumber"); null: none there
    DimType type;          // of its decoded column
    uint16_t formats;      // bit f set: point format f holds it
    DimPrint print;
    int8_t flagBit;  // the bit of the classification flags it is, or -1
};

// Every dimension, in the order text writers list them.
ORV_API const std::vector<Dimension>& dimensions();
// The dimension of that laspy name, else of that pipeline name (case as written); null for none.
ORV_API const Dimension* findDimension(const std::string& name);
// True when point format `format` holds the dimension.
inline bool formatHolds(const Dimension& d, uint8_t format) {
    return format <= kLasLastPointFormat && ((d.formats >> format) & 1u);
}

// Shortest text that reads back as the same double; `value` at `decimals` digits after the point
// (as the shortest when `decimals` < 0); the digits a scale factor gives (0.01: 2, -1 when none
// up to 12 do).
ORV_API std::string shortestText(double value);
ORV_API std::string fixedText(double value, int decimals);
ORV_API int scaleDecimals(double scale);

// Grows a bounds box [min, max] (three axes) by a point; `empty` until the first.
struct BoundsTally {
    double min[3] = {0, 0, 0}, max[3] = {0, 0, 0};
    bool empty = true;
    void add(double x, double y, double z) {
        const double p[3] = {x, y, z};
        for (int a = 0; a < 3; ++a) {
            if (empty || p[a] < min[a]) min[a] = p[a];
            if (empty || p[a] > max[a]) max[a] = p[a];
        }
        empty = false;
    }
};

// ---- Schema and blocks

// Records of a file read at a time: few system calls, memory that never grows.
ORV_API size_t blockRecords(const LasFileHeader& header);

// What flows between two stages.
struct Schema {
    LasFileHeader header;     // point format, record length, scale, offset, VLRs of the points
    Crs crs;                  // the points' CRS; empty when unknown
    std::string crsNote;      // why a CRS record could not be read, when it could not
    bool crsMoved = false;    // the points were reprojected (or given a CRS) on the way
    uint8_t sourceMinor = 2;  // the version of the first source, for the CRS records' form
    uint64_t points = 0;      // what the readers hold, for progress
    std::string source;       // the first reader's name, for messages
    // Files that hold exactly the points that flow, while no stage has changed them: a writer
    // that needs whole files takes them instead of a spool of the points.
    std::vector<std::string> wholeFiles;
};

// A block of points: their records in the layout of `header()`, and the columns decoded from
// them on demand. Coordinates moved by a reprojection live in the columns until a writer encodes
// them.
class ORV_API Block {
public:
    Block();
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    // Starts a block of `count` records of `header` (which must outlive the block's use), the
    // first at position `firstIndex` of its reader; the records are then written to records().
    uint8_t* reset(const LasFileHeader& header, size_t count, uint64_t firstIndex,
                   const std::string& source);
    // Fewer records than reset() made room for: the first `count`.
    void setSize(size_t count) { m_count = count; }
    const LasFileHeader& header() const { return *m_header; }
    const std::string& source() const { return m_source; }
    size_t size() const { return m_count; }
    uint8_t* records() { return m_records.data(); }
    // The position in its reader of point i (kept as points are dropped).
    uint64_t index(size_t i) const { return m_indexed ? m_indices[i] : m_first + i; }

    // The column of a dimension (flag dimensions give the flags byte), decoded on first use.
    const void* column(DimId id);
    const double* x() { return static_cast<const double*>(column(DimId::kX)); }
    const double* y() { return static_cast<const double*>(column(DimId::kY)); }
    const double* z() { return static_cast<const double*>(column(DimId::kZ)); }
    // One value of a dimension as a double (flags as 0 or 1).
    double value(const Dimension& d, size_t i);
    // Calls fn(i, value) for every point with its value of `d` as a double, the column's type
    // resolved once for the block.
    template <class Fn>
    void forEachValue(const Dimension& d, Fn fn);
    // Every column at once, the moved coordinates in x, y, z (X, Y, Z then null).
    LasColumns& all();

    // New coordinates for every point (a reprojection): x, y, z become writable and the records'
    // X, Y, Z stale.
    void moveCoordinates(double*& x, double*& y, double*& z);
    bool moved() const { return m_moved; }

    // Keeps the points whose keep[i] is not 0, in order.
    void keep(const std::vector<uint8_t>& keep);

private:
    struct Columns;
    const LasFileHeader* m_header = nullptr;
    std::string m_source;
    size_t m_count = 0;
    uint64_t m_first = 0;
    bool m_moved = false;
    bool m_indexed = false;  // points were dropped: m_indices says where each came from
    std::vector<uint8_t> m_records;
    std::vector<uint64_t> m_indices;
    std::unique_ptr<Columns> m_columns;
};

template <class Fn>
void Block::forEachValue(const Dimension& d, Fn fn) {
    const void* p = column(d.id);
    const size_t n = m_count;
    switch (d.type) {
        case DimType::kU8: {
            const auto* v = static_cast<const uint8_t*>(p);
            if (d.flagBit >= 0)
                for (size_t i = 0; i < n; ++i) fn(i, double((v[i] >> d.flagBit) & 1u));
            else
                for (size_t i = 0; i < n; ++i) fn(i, double(v[i]));
            return;
        }
        case DimType::kU16:
            for (size_t i = 0; i < n; ++i) fn(i, double(static_cast<const uint16_t*>(p)[i]));
            return;
        case DimType::kI16:
            for (size_t i = 0; i < n; ++i) fn(i, double(static_cast<const int16_t*>(p)[i]));
            return;
        case DimType::kI32:
            for (size_t i = 0; i < n; ++i) fn(i, double(static_cast<const int32_t*>(p)[i]));
            return;
        case DimType::kF32:
            for (size_t i = 0; i < n; ++i) fn(i, double(static_cast<const float*>(p)[i]));
            return;
        case DimType::kF64:
            for (size_t i = 0; i < n; ++i) fn(i, static_cast<const double*>(p)[i]);
            return;
    }
}

// ---- Stages

class ORV_API Stage {
public:
    virtual ~Stage();
    // The name a pipeline gives it ("filters.range").
    virtual std::string type() const = 0;
    // Takes the schema of what comes in and changes it to what goes out; false with `error`
    // when it cannot take it. Touches no file but a reader's.
    virtual bool prepare(Schema& schema, std::string& error) = 0;
    // Once every stage is prepared: a writer creates its output here.
    virtual bool begin(std::string& error);
    // Works on one block: keeps, drops or changes points, or writes them; false with `error`
    // ends the run.
    virtual bool run(Block& block, std::string& error) = 0;
    // After the last block; false with `error`.
    virtual bool finish(std::string& error);
    // A stage that must see every point before it can choose (thinning) is shown each block of
    // a first pass, the stages before it having run.
    virtual bool wantsFirstPass() const;
    virtual void observe(Block& block);
    // Points written, for writers.
    virtual uint64_t written() const;
    // A writer passes every point on as it came (a stage after it sees them too).
    virtual bool isWriter() const;
    // What prepare found worth saying without refusing, for people.
    const std::vector<std::string>& warnings() const { return m_warnings; }

protected:
    std::vector<std::string> m_warnings;
};

class ORV_API ReaderStage : public Stage {
public:
    // Opens the source and sets the schema; false with `error`.
    bool prepare(Schema& schema, std::string& error) override = 0;
    bool run(Block&, std::string&) override { return true; }
    // Fills `block` with the next points (up to the block size); false at the end. A damaged
    // source sets `error` and returns false.
    virtual bool read(Block& block, std::string& error) = 0;
    // Back to the first point, for a second pass.
    virtual bool rewind(std::string& error) = 0;
    // Points read so far (of a COPC query: before the bounds).
    virtual uint64_t pointsRead() const = 0;
    // The LAS reader underneath, for what reading found; null for other sources.
    virtual const LasReader* lasReader() const;
};

// Options of the stages, with the names and values pipelines use for them.
struct LasReadOptions {
    std::string path;  // a file, or for COPC a URL
    bool copc = false;
    double bounds[6] = {0, 0, 0, 0, 0, 0};  // min x, y, z, max x, y, z
    int boundsAxes = 0;                     // 0 none, 2 x and y, 3 every axis
    double resolution = 0;
    int level = -1;
    std::string name;  // for messages: the path by default
};

struct LasWriteOptions {
    std::string path;
    bool compressed = false;
    int format = -1;        // -1: the input's
    int minorVersion = -1;  // -1: the input's (6 and up take a file to 4)
    bool scaleGiven[3] = {false, false, false}, offsetGiven[3] = {false, false, false};
    double scale[3] = {0, 0, 0}, offset[3] = {0, 0, 0};
    bool force = false;  // drop a CRS the output cannot hold, with a warning
    std::string name;
};

// The header a LAS writer writes: `in`'s, changed as `o` asks (format, version, scale, offset);
// false with `error` naming `source` where it cannot be.
ORV_API bool lasTargetHeader(const LasFileHeader& in, const LasWriteOptions& o,
                             const std::string& source, LasFileHeader& out, std::string& error);

struct TextWriteOptions {
    std::string path;  // "-": standard output
    std::vector<std::string> fields{"x", "y", "z"};
    std::string separator = ",";
    bool header = false;
    bool pdalNames = false;    // the header line with pipeline names
    bool quoteHeader = false;  // the names in double quotes
};

struct CopcWriteStageOptions {
    std::string path;
    uint64_t memoryBytes = uint64_t{1} << 30;
    unsigned threads = 0;
};

struct PngWriteOptions {
    std::string path;
    std::string colour = "elevation";
    int longSide = 1024;
    int width = 0, height = 0;
    bool hillshade = false;
    unsigned threads = 0;
};

struct ThinStageOptions {
    double cell = 0;
    bool voxel = false;   // cubes in x, y and z; else columns in x and y
    bool random = false;  // a seeded draw; else the lowest point of a cell
    bool first = false;   // the first point of a cell to come
    bool center = false;  // the kept point moves to its cell's center
    uint64_t seed = 1;
};

// One closed range of a dimension: min <= value <= max (either may be infinite), or the
// contrary with `negate`.
struct DimRange {
    const Dimension* dim = nullptr;
    double min = 0, max = 0;
    bool minOpen = false, maxOpen = false;  // the bound itself is outside
    bool negate = false;
};

// Return groups: first of several, intermediate, last of several, only; and any last return
// (return number = number of returns, single ones included).
enum ReturnGroup : uint8_t {
    kReturnFirst = 1,
    kReturnIntermediate = 2,
    kReturnLast = 4,
    kReturnOnly = 8,
    kReturnLastAny = 16,
};

// The CRS of each source of a copy: read from its header (or assigned), and the transform into
// the target's when the points move.
struct CrsSource {
    std::string name;
    const LasFileHeader* header = nullptr;
    Crs crs;
    std::string note;  // why its CRS records cannot be read, when they cannot
    std::unique_ptr<CrsTransform> transform;
};
// Prepares the transforms of every source into `to` on `threads` threads, and the target's scale
// and offset on the axes not given; false with `error`.
// `network`: PROJ may fetch the grids it lacks.
ORV_API bool planReprojection(std::vector<CrsSource>& sources, const Crs& to, unsigned threads,
                              LasFileHeader& target, bool scaleGiven, bool offsetGiven,
                              std::string& error, bool network = false);
// Gives `target` the CRS records of `crs` in the form its version needs, when they must be
// written again (`rewrite`: the points moved or were given a CRS; or the version or the point
// format differs from the source's): a copy that keeps both keeps every VLR as it was.
// `unreadable` says why a source's records could not be read; such records are kept as they are,
// with `warning`, where the target can hold them. With `force` a CRS it cannot hold is dropped
// with `warning`; else false with `error`.
ORV_API bool writeCrsRecords(LasFileHeader& target, const Crs& crs, const std::string& unreadable,
                             bool rewrite, uint8_t sourceMinor, uint8_t sourceFormat, bool force,
                             std::string& warning, std::string& error);
// Describes a CRS for messages: its name and EPSG code, or "no CRS".
ORV_API std::string describeCrs(const Crs& crs);

ORV_API std::unique_ptr<ReaderStage> makeLasReader(const LasReadOptions& o);
// Keeps points inside any one of the ranges per dimension, on every dimension named.
ORV_API std::unique_ptr<Stage> makeRangeFilter(std::vector<DimRange> ranges);
// Keeps points with min x <= x <= max x and min y <= y <= max y.
ORV_API std::unique_ptr<Stage> makeCropFilter(const double box[4]);
// The points inside the polygons of FILE[:LAYER] (GeoJSON, GeoPackage, Shapefile...), moved into
// the points' CRS; with `outside`, those outside them.
ORV_API std::unique_ptr<Stage> makeClipFilter(const std::string& source, bool outside);
// Keeps points 0, step, 2 step... of each reader, by position.
ORV_API std::unique_ptr<Stage> makeStepFilter(uint64_t step, uint64_t offset = 0);
// Keeps the points of any of the ReturnGroup bits in `groups`.
ORV_API std::unique_ptr<Stage> makeReturnsFilter(uint8_t groups);
// Drops points whose classification flags have any of `bits`, or whose class is in `classes`.
ORV_API std::unique_ptr<Stage> makeDropFilter(uint8_t flagBits, std::vector<uint8_t> classes);
ORV_API std::unique_ptr<Stage> makeThinFilter(const ThinStageOptions& o);
// Moves points from `from` (empty: the schema's CRS) to `to` on `threads` threads (0: every core,
// at most 8). Chooses the target's scale and offset unless the writer gives them.
// A `to` without heights of its own keeps the points' vertical CRS (Z untouched), with a warning.
// `network`: PROJ may fetch the grids it lacks.
ORV_API std::unique_ptr<Stage> makeReprojection(const Crs& from, const Crs& to, unsigned threads,
                                                bool network = false);
// Gives the points a CRS without moving them.
ORV_API std::unique_ptr<Stage> makeAssignCrs(const Crs& crs);
// Passes points on as they are: where several readers' points join.
ORV_API std::unique_ptr<Stage> makeMergeFilter();
ORV_API std::unique_ptr<Stage> makeLasWriter(const LasWriteOptions& o);
// What the LAS writer does with a block: appends its records to `writer`, whose file has the
// header `target`, re-encoded where the layout or quantisation differs (`scratch` holds them).
// False with `error` naming the first point that does not fit the target's scale and offset.
ORV_API bool lasWriteBlock(LasWriter& writer, const LasFileHeader& target, Block& block,
                           std::vector<uint8_t>& scratch, std::string& error);
ORV_API std::unique_ptr<Stage> makeTextWriter(const TextWriteOptions& o);
ORV_API std::unique_ptr<Stage> makeCopcWriter(const CopcWriteStageOptions& o);
ORV_API std::unique_ptr<Stage> makePngWriter(const PngWriteOptions& o);

// The writer an output's name asks for: "las", "laz", "copc", "text" or "png"; empty for a name
// that says none of these. "-" is a LAS file.
ORV_API std::string writerForName(const std::string& path);
// The names writerForName knows, for messages: ".las, .laz, .copc.laz, .txt, .csv, .png".
ORV_API const char* writerExtensions();

// ---- Pipelines

// Why a pipeline stopped: its stage (0 from the first; -1 none) and the reason.
struct PipelineError {
    enum Kind { kNone, kRefused, kFailed } kind = kNone;  // refused before any output was begun
    int stage = -1;
    std::string text;
};

struct PipelineSummary {
    uint64_t read = 0, written = 0;
    std::vector<std::string> warnings;  // what the readers found short of their headers
};

// Readers first, then filters and writers in the order points pass them. Several readers' points
// pass in turn.
class ORV_API Pipeline {
public:
    Pipeline();
    ~Pipeline();
    Pipeline(Pipeline&&) noexcept;
    Pipeline& operator=(Pipeline&&) noexcept;

    void add(std::unique_ptr<Stage> stage);
    size_t size() const;
    Stage& stage(size_t i);
    // Called after every block with the points read and the total the readers hold.
    void setProgress(ProgressCallback progress);
    // Called after the last block, before any writer finishes: a caller may stop the work here
    // (by throwing), and no output is then put in place.
    void setBeforeFinish(std::function<void()> check);
    // Prepares every stage; nothing is written. False with `error` (kRefused).
    bool prepare(PipelineError& error);
    // Prepares unless done, then runs every block through; false with `error`. Output files
    // are replaced only when their writer finishes. File failures throw orv::FileError.
    bool run(PipelineError& error, PipelineSummary* summary = nullptr);
    // The schema leaving the last stage, after prepare.
    const Schema& schema() const;
    // Blocks of points leaving the last stage, for callers that take points into memory: each
    // block is handed to `take` instead of a writer.
    void setSink(std::function<bool(Block&, std::string&)> take);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Builds a pipeline from its JSON text: an array of stages, or an object holding one as
// "pipeline"; a stage is an object with "type" and options, or a file name (a reader, or the
// writer when last). Refuses (kRefused, with the stage's position) unknown stages, unknown
// options and values that do not parse.
ORV_API bool parsePipeline(const std::string& json, Pipeline& out, PipelineError& error);

}  // namespace orv
