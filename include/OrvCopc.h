// Cloud-optimised LAZ: one LAZ 1.4 file whose chunks are the nodes of an octree, written from any
// number of LAS/LAZ files and read by area and level of detail, from a file or over HTTP(S).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "OrvExport.h"
#include "OrvLasFile.h"

namespace orv {

// The info VLR (user ID "copc", record 1): the root cube, the spacing of the root's points, the
// root hierarchy page and the GPS time range.
struct CopcInfo {
    double center[3] = {0.0, 0.0, 0.0};
    double halfSize = 0.0;  // half the root cube's edge
    double spacing = 0.0;   // distance between the root's points
    uint64_t rootPageOffset = 0;
    uint64_t rootPageSize = 0;
    double gpsTimeMin = 0.0;
    double gpsTimeMax = 0.0;
};

// One hierarchy entry: a node's key (level and cube indices at that level), where its chunk lies
// and its points; pointCount -1 marks a child hierarchy page at offset, byteSize bytes long.
struct CopcNode {
    int32_t level = 0, x = 0, y = 0, z = 0;
    uint64_t offset = 0;
    int32_t byteSize = 0;
    int32_t pointCount = 0;
};

// The cube of a node, [min, max] per axis.
ORV_API void copcNodeBounds(const CopcInfo& info, const CopcNode& node, double min[3],
                            double max[3]);

struct CopcWriteOptions {
    uint64_t memoryBytes = uint64_t{1} << 30;  // working memory; more data spills to scratch files
    unsigned threads = 0;                      // compressing threads; 0 takes every core
    // Called now and then with the fraction of the work done; may be empty.
    std::function<void(double)> progress;
};

struct CopcWriteSummary {
    uint64_t points = 0;
    uint32_t nodes = 0;
    int levels = 0;           // the deepest level + 1
    unsigned spillFiles = 0;  // scratch files used; 0 when the cloud was built in memory
    uint64_t spillBytes = 0;  // bytes written to them
};

// Writes `output` as a COPC file holding every point of `inputs` (LAS or LAZ, one coordinate
// reference system, point formats 0-3 and 6-8; 0-3 become 6-8 without loss). False with `error`
// when the inputs cannot be combined; file failures throw orv::FileError. The output is replaced
// only when everything succeeded; scratch data goes in its folder and never outlives the call.
ORV_API bool writeCopc(const std::vector<std::string>& inputs, const std::string& output,
                       const CopcWriteOptions& options, CopcWriteSummary& summary,
                       std::string& error);

// What a read takes: points inside [min, max] (closed; leave an axis infinite to ignore it) from
// nodes down to a level.
struct CopcQuery {
    double min[3] = {-std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()};
    double max[3] = {std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::infinity()};
    // Point spacing wanted: the levels down to the first whose spacing is at most this. 0: all.
    double resolution = 0.0;
    int maxLevel = -1;  // deepest level read; -1: no limit
};

// Byte counts of a reader's source: what a query cost.
struct CopcTraffic {
    uint64_t requests = 0;  // reads (range requests over HTTP)
    uint64_t bytes = 0;     // bytes read
};

// What a reader allows an HTTP(S) transfer, unless told otherwise: a range request (with its
// retries) ends in an error after the timeout, or when it delivers fewer bytes a second than the
// minimum rate, averaged over the rate's span.
constexpr double kCopcDefaultTimeoutSeconds = 120.0;
constexpr uint32_t kCopcDefaultMinBytesPerSecond = 1024;
constexpr uint32_t kCopcDefaultRateSeconds = 15;

struct CopcOpenOptions {
    // Certificates (PEM) that an https:// server's must chain to, instead of the system's, as
    // for a private server; empty: the file named by the ORVTER_CA_FILE environment variable
    // when it is set, else the system's.
    std::string caFile;
    // The limits above; 0: the ORVTER_HTTP_TIMEOUT (seconds) or ORVTER_HTTP_MIN_RATE (bytes a
    // second) environment variable when set, else the default.
    double timeoutSeconds = 0;
    uint32_t minBytesPerSecond = 0;
    uint32_t rateSeconds = 0;
};

// Why a reader's open or read failed, beside its error() text.
enum class CopcFailure {
    none,
    notFound,    // no such file, or HTTP 404 / 410
    denied,      // HTTP 401 / 403
    connection,  // no connection, or one that broke
    timeout,     // the timeout or the minimum rate was not met
    protocol,    // a reply that is not what was asked for, or a redirect refused
    cancelled,   // cancel() was called, or the caller stopped a read
    memory,      // memory ran out
    damaged,     // the file's records contradict themselves or the file
};

// What a reader met and let pass.
enum class CopcWarning {
    otherHost,      // a redirect led to another host or port
    cubeNotBounds,  // the info VLR's cube does not fit the header's bounds: it prunes nothing
};
struct CopcNote {
    CopcWarning code;
    std::string text;
};

// True when the header's first VLR is the COPC info VLR, as a COPC file's is: no other file opens
// as one.
ORV_API bool copcInfoVlrFirst(const LasFileHeader& header);

// Reads a COPC file by area and level of detail, from a path or an http:// or https:// URL
// (range requests: only the header, the hierarchy pages and the chunks a query needs).
class ORV_API CopcReader {
public:
    CopcReader();
    CopcReader(const CopcReader&) = delete;
    CopcReader& operator=(const CopcReader&) = delete;
    ~CopcReader();

    // 0 on success; -1 when the source cannot be read; -2 when it is not a COPC file (not LAS
    // 1.4, no info VLR first, not formats 6-8 compressed); see error().
    int open(const std::string& pathOrUrl);
    int open(const std::string& pathOrUrl, const CopcOpenOptions& options);
    const std::string& error() const;
    const LasFileHeader& header() const;
    const CopcInfo& info() const;
    // The level whose spacing first reaches `resolution` (0: the deepest there may be).
    int levelFor(double resolution) const;
    // Hierarchy entries of the nodes a query touches (every node when the query is left as it
    // is), reading only the pages it needs. False with error() on a hierarchy that loops,
    // overlaps, points outside the file or contradicts itself.
    bool nodes(const CopcQuery& query, std::vector<CopcNode>& out);
    // The records (header().recordLength bytes each) of the points the query takes, appended to
    // `records`; returns their number, or -1 with error() on damage.
    int64_t read(const CopcQuery& query, std::vector<uint8_t>& records);
    // As read() above, but hands the records to `sink` a node at a time, in the same order,
    // instead of keeping them: memory stays that of a few nodes whatever the result. Returns the
    // points handed over, or -1 with error() on damage or when `sink` returns false.
    int64_t read(const CopcQuery& query,
                 const std::function<bool(const uint8_t* records, size_t count)>& sink);
    // Decodes one node's chunk into `records` (replaced); false with error() on damage.
    bool readNode(const CopcNode& node, std::vector<uint8_t>& records);
    CopcTraffic traffic() const;
    // The kind of the last failure (none after a success).
    CopcFailure failure() const;
    // What the reader met since open and let pass.
    const std::vector<CopcNote>& warnings() const;
    // Ends the reader's transfers and reads soon, from any thread: open and read then fail with
    // CopcFailure::cancelled, now and until the reader is destroyed.
    void cancel();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace orv
