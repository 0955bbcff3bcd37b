// Full-fidelity LAS from Python: headers as dicts, points as numpy structured arrays with every
// field of the file's point format, read whole, in chunks, and written back.
#include <OrvCopc.h>
#include <OrvError.h>
#include <OrvLasCrs.h>
#include <OrvLasFile.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.h"

namespace orvpy {

namespace {

using orv::LasColumns;
using orv::LasFileHeader;

// Points decoded per call: the decoder's columns and the records made of them both stay in the
// second-level cache.
constexpr size_t kBlockPoints = 4096;
// ... and no more than about 1 MiB of columns, whatever the records' extra bytes.
constexpr size_t kBlockBytes = size_t{1} << 20;

// The library's columns the bindings use, with the size of one value.
// clang-format off
enum Column : uint8_t {
    kX, kY, kZ, kx, ky, kz, kIntensity, kReturn, kReturns, kFlags, kChannel, kDirection, kEdge,
    kClass, kScanAngle, kUserData, kSource, kGps, kRed, kGreen, kBlue, kNir, kWaveIndex,
    kWaveOffset, kWaveSize, kWaveLocation, kWaveDx, kWaveDy, kWaveDz, kExtra, kColumnCount
};
// clang-format on

// Points `col` of `c` at `p`; the pointer's type is the column's.
void bindColumn(LasColumns& c, Column col, void* p) {
    switch (col) {
        // clang-format off
        case kX: c.X = static_cast<int32_t*>(p); break;
        case kY: c.Y = static_cast<int32_t*>(p); break;
        case kZ: c.Z = static_cast<int32_t*>(p); break;
        case kx: c.x = static_cast<double*>(p); break;
        case ky: c.y = static_cast<double*>(p); break;
        case kz: c.z = static_cast<double*>(p); break;
        case kIntensity: c.intensity = static_cast<uint16_t*>(p); break;
        case kReturn: c.returnNumber = static_cast<uint8_t*>(p); break;
        case kReturns: c.numberOfReturns = static_cast<uint8_t*>(p); break;
        case kFlags: c.classificationFlags = static_cast<uint8_t*>(p); break;
        case kChannel: c.scannerChannel = static_cast<uint8_t*>(p); break;
        case kDirection: c.scanDirection = static_cast<uint8_t*>(p); break;
        case kEdge: c.edgeOfFlightLine = static_cast<uint8_t*>(p); break;
        case kClass: c.classification = static_cast<uint8_t*>(p); break;
        case kScanAngle: c.scanAngle = static_cast<int16_t*>(p); break;
        case kUserData: c.userData = static_cast<uint8_t*>(p); break;
        case kSource: c.pointSourceId = static_cast<uint16_t*>(p); break;
        case kGps: c.gpsTime = static_cast<double*>(p); break;
        case kRed: c.red = static_cast<uint16_t*>(p); break;
        case kGreen: c.green = static_cast<uint16_t*>(p); break;
        case kBlue: c.blue = static_cast<uint16_t*>(p); break;
        case kNir: c.nir = static_cast<uint16_t*>(p); break;
        case kWaveIndex: c.wavePacketIndex = static_cast<uint8_t*>(p); break;
        case kWaveOffset: c.waveformOffset = static_cast<uint64_t*>(p); break;
        case kWaveSize: c.waveformSize = static_cast<uint32_t*>(p); break;
        case kWaveLocation: c.returnPointLocation = static_cast<float*>(p); break;
        case kWaveDx: c.waveDx = static_cast<float*>(p); break;
        case kWaveDy: c.waveDy = static_cast<float*>(p); break;
        case kWaveDz: c.waveDz = static_cast<float*>(p); break;
        case kExtra: c.extraBytes = static_cast<uint8_t*>(p); break;
        case kColumnCount: break;
            // clang-format on
    }
}

// Bytes of one value of each column (the extra bytes column: one byte per extra byte).
constexpr uint8_t kColumnSize[kColumnCount] = {4, 4, 4, 8, 8, 8, 2, 1, 1, 1, 1, 1, 1, 1, 2,
                                               1, 2, 8, 2, 2, 2, 2, 1, 8, 4, 4, 4, 4, 4, 1};

// Which formats have a field.
enum class Has : uint8_t { All, Legacy, Extended, Gps, Rgb, Nir, Wave, Stored };

// How a numpy field is made from its column: copied, narrowed from int16 to int8 (the scan
// angle rank of formats 0 to 5), or one bit of the classification flags.
enum class Take : uint8_t { Copy, Narrow, Bit0, Bit1, Bit2, Bit3 };

struct Field {
    const char* name;
    const char* format;
    Column column;
    Has has;
    Take take;
};

// Every field a point may have, in the order of the structured array.
const Field kFields[] = {
    {"x", "<f8", kx, Has::All, Take::Copy},
    {"y", "<f8", ky, Has::All, Take::Copy},
    {"z", "<f8", kz, Has::All, Take::Copy},
    {"X", "<i4", kX, Has::Stored, Take::Copy},
    {"Y", "<i4", kY, Has::Stored, Take::Copy},
    {"Z", "<i4", kZ, Has::Stored, Take::Copy},
    {"intensity", "<u2", kIntensity, Has::All, Take::Copy},
    {"return_number", "u1", kReturn, Has::All, Take::Copy},
    {"number_of_returns", "u1", kReturns, Has::All, Take::Copy},
    {"synthetic", "u1", kFlags, Has::All, Take::Bit0},
    {"key_point", "u1", kFlags, Has::All, Take::Bit1},
    {"withheld", "u1", kFlags, Has::All, Take::Bit2},
    {"overlap", "u1", kFlags, Has::Extended, Take::Bit3},
    {"scanner_channel", "u1", kChannel, Has::Extended, Take::Copy},
    {"scan_direction", "u1", kDirection, Has::All, Take::Copy},
    {"edge_of_flight_line", "u1", kEdge, Has::All, Take::Copy},
    {"classification", "u1", kClass, Has::All, Take::Copy},
    {"scan_angle_rank", "i1", kScanAngle, Has::Legacy, Take::Narrow},
    {"scan_angle", "<i2", kScanAngle, Has::Extended, Take::Copy},
    {"user_data", "u1", kUserData, Has::All, Take::Copy},
    {"point_source_id", "<u2", kSource, Has::All, Take::Copy},
    {"gps_time", "<f8", kGps, Has::Gps, Take::Copy},
    {"red", "<u2", kRed, Has::Rgb, Take::Copy},
    {"green", "<u2", kGreen, Has::Rgb, Take::Copy},
    {"blue", "<u2", kBlue, Has::Rgb, Take::Copy},
    {"nir", "<u2", kNir, Has::Nir, Take::Copy},
    {"wave_packet_index", "u1", kWaveIndex, Has::Wave, Take::Copy},
    {"waveform_offset", "<u8", kWaveOffset, Has::Wave, Take::Copy},
    {"waveform_size", "<u4", kWaveSize, Has::Wave, Take::Copy},
    {"return_point_location", "<f4", kWaveLocation, Has::Wave, Take::Copy},
    {"wave_dx", "<f4", kWaveDx, Has::Wave, Take::Copy},
    {"wave_dy", "<f4", kWaveDy, Has::Wave, Take::Copy},
    {"wave_dz", "<f4", kWaveDz, Has::Wave, Take::Copy},
};
constexpr const char* kExtraName = "extra_bytes";

bool formatHas(uint8_t format, Has has, bool stored) {
    if (format > orv::kLasLastPointFormat) return false;
    const orv::LasPointLayout& l = orv::kLasPointLayouts[format];
    switch (has) {
        case Has::All:
            return true;
        case Has::Legacy:
            return !l.extendedCore;
        case Has::Extended:
            return l.extendedCore;
        case Has::Gps:
            return l.gpsTime >= 0;
        case Has::Rgb:
            return l.rgb >= 0;
        case Has::Nir:
            return l.nir >= 0;
        case Has::Wave:
            return l.wavePacket >= 0;
        case Has::Stored:
            return stored;
    }
    return false;
}

size_t fieldSize(const Field& f) {
    return f.format[std::strlen(f.format) - 1] - '0';
}

// One field of the structured array and where it lies in a record.
struct Placed {
    const Field* field;
    size_t offset;
};

// The structured array of a point format: its fields, in kFields order, then the extra bytes.
struct PointShape {
    std::vector<Placed> fields;
    size_t extra = 0;  // extra bytes per record
    size_t extraOffset = 0;
    size_t itemsize = 0;
    bool columnUsed[kColumnCount] = {};

    uint8_t format = 0;
    bool stored = false;

    PointShape(uint8_t pointFormat, size_t extraBytes, bool storedXyz)
        : extra(extraBytes), format(pointFormat), stored(storedXyz) {
        for (const Field& f : kFields) {
            if (!formatHas(format, f.has, stored)) continue;
            fields.push_back({&f, itemsize});
            itemsize += fieldSize(f);
            columnUsed[f.column] = true;
        }
        extraOffset = itemsize;
        itemsize += extra;
        columnUsed[kExtra] = extra > 0;
    }

    py::dtype dtype() const {
        py::list names, formats, offsets;
        for (const Placed& p : fields) {
            names.append(p.field->name);
            formats.append(p.field->format);
            offsets.append(p.offset);
        }
        if (extra) {
            names.append(kExtraName);
            formats.append(py::dtype(("(" + std::to_string(extra) + ",)u1").c_str()));
            offsets.append(extraOffset);
        }
        return py::dtype(names, formats, offsets, static_cast<py::ssize_t>(itemsize));
    }
};

// One block of each column the shape uses.
struct Scratch {
    std::vector<uint8_t> storage[kColumnCount];
    LasColumns columns;

    const size_t points;

    Scratch(const bool* used, size_t extra)
        : points(std::max<size_t>(1, std::min(kBlockPoints, kBlockBytes / (extra + 64)))) {
        for (int c = 0; c < kColumnCount; ++c) {
            if (!used[c]) continue;
            storage[c].assign(points * (c == kExtra ? extra : kColumnSize[c]), 0);
            bindColumn(columns, static_cast<Column>(c), storage[c].data());
        }
    }
    const uint8_t* at(Column c) const { return storage[c].data(); }
    uint8_t* at(Column c) { return storage[c].data(); }
};

template <class T>
inline void put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}
template <class T>
inline const T* col(const Scratch& s, Column c) {
    return reinterpret_cast<const T*>(s.at(c));
}

// Columns -> `n` records at `out`, point by point so that each record is written whole; the
// fields are those of kFields for a format with these field groups, in that order. Returns the
// bytes of the fields before the extra bytes, for the caller to check against the dtype.
template <bool Ext, bool Gps, bool Rgb, bool Nir, bool Wave, bool Stored>
size_t toRecordsAs(const Scratch& s, uint8_t* out, size_t n, size_t stride, size_t extra) {
    const double *x = col<double>(s, kx), *y = col<double>(s, ky), *z = col<double>(s, kz);
    const int32_t *X = col<int32_t>(s, kX), *Y = col<int32_t>(s, kY), *Z = col<int32_t>(s, kZ);
    const uint16_t* intensity = col<uint16_t>(s, kIntensity);
    const uint8_t *ret = col<uint8_t>(s, kReturn), *rets = col<uint8_t>(s, kReturns),
                  *flags = col<uint8_t>(s, kFlags), *channel = col<uint8_t>(s, kChannel),
                  *dir = col<uint8_t>(s, kDirection), *edge = col<uint8_t>(s, kEdge),
                  *cls = col<uint8_t>(s, kClass), *user = col<uint8_t>(s, kUserData),
                  *wi = col<uint8_t>(s, kWaveIndex), *ex = col<uint8_t>(s, kExtra);
    const int16_t* angle = col<int16_t>(s, kScanAngle);
    const uint16_t *src = col<uint16_t>(s, kSource), *red = col<uint16_t>(s, kRed),
                   *green = col<uint16_t>(s, kGreen), *blue = col<uint16_t>(s, kBlue),
                   *nir = col<uint16_t>(s, kNir);
    const double* gps = col<double>(s, kGps);
    const uint64_t* wo = col<uint64_t>(s, kWaveOffset);
    const uint32_t* ws = col<uint32_t>(s, kWaveSize);
    const float *wl = col<float>(s, kWaveLocation), *dx = col<float>(s, kWaveDx),
                *dy = col<float>(s, kWaveDy), *dz = col<float>(s, kWaveDz);
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t* r = out + i * stride;
        size_t o = 0;  // folds to a constant at each store
        auto w = [&](auto v) {
            put(r + o, v);
            o += sizeof v;
        };
        w(x[i]), w(y[i]), w(z[i]);
        if constexpr (Stored) w(X[i]), w(Y[i]), w(Z[i]);
        w(intensity[i]), w(ret[i]), w(rets[i]);
        const uint8_t f = flags[i];
        w(uint8_t(f & 1u)), w(uint8_t((f >> 1) & 1u)), w(uint8_t((f >> 2) & 1u));
        if constexpr (Ext) w(uint8_t((f >> 3) & 1u)), w(channel[i]);
        w(dir[i]), w(edge[i]), w(cls[i]);
        if constexpr (Ext)
            w(angle[i]);
        else
            w(static_cast<int8_t>(angle[i]));
        w(user[i]), w(src[i]);
        if constexpr (Gps) w(gps[i]);
        if constexpr (Rgb) w(red[i]), w(green[i]), w(blue[i]);
        if constexpr (Nir) w(nir[i]);
        if constexpr (Wave) w(wi[i]), w(wo[i]), w(ws[i]), w(wl[i]), w(dx[i]), w(dy[i]), w(dz[i]);
        if (extra) std::memcpy(r + o, ex + i * extra, extra);
        length = o;
    }
    return length;
}

using ToRecords = size_t (*)(const Scratch&, uint8_t*, size_t, size_t, size_t);

template <uint8_t F, bool Stored>
constexpr ToRecords toRecordsOf() {
    constexpr orv::LasPointLayout l = orv::kLasPointLayouts[F];
    return &toRecordsAs<l.extendedCore, (l.gpsTime >= 0), (l.rgb >= 0), (l.nir >= 0),
                        (l.wavePacket >= 0), Stored>;
}

template <size_t... F>
constexpr std::array<std::array<ToRecords, 2>, sizeof...(F)> toRecordsTable(
    std::index_sequence<F...>) {
    return {{{toRecordsOf<F, false>(), toRecordsOf<F, true>()}...}};
}
constexpr auto kToRecords =
    toRecordsTable(std::make_index_sequence<orv::kLasLastPointFormat + 1>());

// Columns -> `n` records at `out`.
void toRecords(const PointShape& shape, const Scratch& s, uint8_t* out, size_t n) {
    if (shape.format > orv::kLasLastPointFormat) throw std::logic_error("unknown point format");
    const size_t length =
        kToRecords[shape.format][shape.stored](s, out, n, shape.itemsize, shape.extra);
    // The dtype and the record writer list the fields alike; a change to one alone stops here.
    if (n && length != shape.extraOffset) throw std::logic_error("point layout mismatch");
}

// The memory of a points array: numpy gets it in a capsule, so the buffer the reader filled
// becomes the array as it is.
struct PointBuffer {
    uint8_t* data = nullptr;
    explicit PointBuffer(size_t bytes)
        : data(static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1))) {
        if (!data) throw std::bad_alloc();
    }
    PointBuffer(const PointBuffer&) = delete;
    PointBuffer& operator=(const PointBuffer&) = delete;
    ~PointBuffer() { std::free(data); }
    // Gives back the room of points the file did not have.
    void shrink(size_t bytes) {
        if (void* smaller = std::realloc(data, bytes ? bytes : 1))
            data = static_cast<uint8_t*>(smaller);
    }
    // Room for `bytes`, as the points arrive.
    void grow(size_t bytes) {
        void* larger = std::realloc(data, bytes);
        if (!larger) throw std::bad_alloc();
        data = static_cast<uint8_t*>(larger);
    }
};

// Points an array starts with room for: a count the file has not shown yet claims no memory.
constexpr size_t kInitialPoints = size_t{1} << 20;

// Reads `count` points (or to the end) into a fresh structured array, block by block. The
// buffer comes from malloc, not numpy: numpy asks for transparent huge pages on large arrays,
// and where the kernel must assemble them on the first touch that costs more than the read.
py::array readPoints(orv::LasReader& reader, const PointShape& shape, const py::dtype& dtype,
                     size_t count) {
    size_t room = std::min(count, kInitialPoints);
    auto buffer = std::make_unique<PointBuffer>(room * shape.itemsize);
    size_t done = 0;
    {
        py::gil_scoped_release unlocked;
        Scratch s(shape.columnUsed, shape.extra);
        while (done < count) {
            const size_t want = std::min(s.points, count - done);
            if (done + want > room) {
                room = std::min(count, std::max(done + want, room + room / 2));
                buffer->grow(room * shape.itemsize);
            }
            const size_t got = reader.read(s.columns, want);
            if (got == 0) break;
            toRecords(shape, s, buffer->data + done * shape.itemsize, got);
            done += got;
        }
    }
    if (done < count) buffer->shrink(done * shape.itemsize);
    uint8_t* data = buffer->data;
    return arrayOver(dtype, done, data, buffer.release());
}

py::bytes bytesOf(const std::vector<uint8_t>& v) {
    return py::bytes(reinterpret_cast<const char*>(v.data()), v.size());
}

py::list vlrList(const std::vector<orv::LasVlr>& vlrs) {
    py::list out;
    for (const auto& v : vlrs) {
        py::dict d;
        d["user_id"] = py::bytes(v.userId).attr("decode")("latin-1");
        d["record_id"] = v.recordId;
        d["description"] = py::bytes(v.description).attr("decode")("latin-1");
        d["reserved"] = v.reserved;
        d["payload"] = bytesOf(v.payload);
        out.append(d);
    }
    return out;
}

template <class T, size_t N>
py::tuple tupleOf(const T (&values)[N]) {
    py::tuple t(N);
    for (size_t i = 0; i < N; ++i) t[i] = values[i];
    return t;
}

py::str latin1(const std::string& s) {
    return py::bytes(s).attr("decode")("latin-1");
}

py::dict headerDict(const LasFileHeader& h) {
    py::dict d;
    d["version"] = py::make_tuple(h.versionMajor, h.versionMinor);
    d["point_format"] = h.pointFormat;
    d["record_length"] = h.recordLength;
    d["compressed"] = h.compressed;
    d["point_count"] = h.readablePoints;
    d["stated_point_count"] = h.statedPoints;
    d["points_by_return"] = h.hasExtension ? py::object(tupleOf(h.pointsByReturn))
                                           : py::object(tupleOf(h.legacyPointsByReturn));
    d["scale"] = tupleOf(h.scale);
    d["offset"] = tupleOf(h.offset);
    d["min"] = tupleOf(h.min);
    d["max"] = tupleOf(h.max);
    d["file_source_id"] = h.fileSourceId;
    d["global_encoding"] = h.globalEncoding;
    d["guid"] = py::bytes(reinterpret_cast<const char*>(h.guid), sizeof h.guid);
    d["system_identifier"] = latin1(h.systemIdentifier);
    d["generating_software"] = latin1(h.generatingSoftware);
    d["creation_day"] = h.creationDay;
    d["creation_year"] = h.creationYear;
    d["vlrs"] = vlrList(h.vlrs);
    d["evlrs"] = vlrList(h.evlrs);
    d["header_extra"] = bytesOf(h.headerExtra);
    d["after_vlrs"] = bytesOf(h.afterVlrs);
    // The CRS as the file's own WKT when it has a WKT record PROJ reads, else as PROJ writes it;
    // the package makes a CRS value of it.
    const orv::Crs crs = orv::lasCrs(h);
    const std::string wkt = orv::lasWkt(h);
    // Text of any bytes: a byte that is not UTF-8 becomes a replacement character.
    d["crs"] = !wkt.empty()  ? py::object(py::bytes(wkt).attr("decode")("utf-8", "replace"))
               : crs.empty() ? py::object(py::none())
                             : py::object(py::str(crs.wkt1()));
    const int code = crs.epsg() ? crs.epsg() : crs.horizontal().epsg();
    const uint32_t epsg = code ? static_cast<uint32_t>(code) : orv::lasEpsgCode(h);
    d["epsg"] = epsg ? py::object(py::int_(epsg)) : py::object(py::none());
    py::list extra;
    for (const orv::LasExtraField& f : orv::lasExtraFields(h)) {
        py::dict e;
        e["name"] = latin1(f.name);
        e["description"] = latin1(f.description);
        e["data_type"] = f.dataType;
        e["options"] = f.options;
        e["offset"] = f.offset;
        e["size"] = f.size;
        e["scale"] = tupleOf(f.scale);
        e["offset_value"] = tupleOf(f.offsetValue);
        extra.append(e);
    }
    d["extra_fields"] = extra;
    py::list notes;
    for (const auto& n : h.notes) notes.append(n);
    d["warnings"] = notes;
    return d;
}

// `value` as a T, for the header key `key`: TypeError naming the key for a value of another
// type, ValueError for a number out of the field's range (pybind would say neither).
template <class T>
T valueOf(const py::handle& value, const std::string& key) {
    const auto wrongType = [&] {
        return py::type_error(key + ": " +
                              py::str(value.get_type().attr("__name__")).cast<std::string>() +
                              " is not the type this field takes");
    };
    if constexpr (std::is_base_of_v<py::object, T>) {
        if (!py::isinstance<T>(value)) throw wrongType();
        return py::reinterpret_borrow<T>(value);
    } else {
        try {
            return value.cast<T>();
        } catch (const py::cast_error&) {
            if constexpr (std::is_integral_v<T>)
                if (py::isinstance<py::int_>(value))
                    throw py::value_error(key + ": " + py::repr(value).cast<std::string>() +
                                          " is out of range");
            throw wrongType();
        }
    }
}

// Bytes of a text, any str given is stored as latin-1 so that what was read comes back as is.
std::string textOf(const py::handle& v, const std::string& key) {
    if (py::isinstance<py::bytes>(v)) return v.cast<std::string>();
    if (!py::isinstance<py::str>(v))
        throw py::type_error(key + ": str or bytes, not " +
                             py::str(v.get_type().attr("__name__")).cast<std::string>());
    return py::str(v).attr("encode")("latin-1").cast<std::string>();
}

template <class T, size_t N>
void readTuple(const py::dict& d, const char* key, T (&out)[N]) {
    if (!d.contains(key)) return;
    const auto seq = valueOf<py::sequence>(d[key], key);
    if (seq.size() != N)
        throw py::value_error(std::string(key) + ": " + std::to_string(N) + " values");
    for (size_t i = 0; i < N; ++i)
        out[i] = valueOf<T>(seq[i], std::string(key) + "[" + std::to_string(i) + "]");
}

std::vector<orv::LasVlr> vlrsOf(const py::dict& d, const char* key) {
    std::vector<orv::LasVlr> out;
    if (!d.contains(key)) return out;
    size_t index = 0;
    for (const auto& item : valueOf<py::iterable>(d[key], key)) {
        const std::string at = std::string(key) + "[" + std::to_string(index++) + "]";
        const auto v = valueOf<py::dict>(item, at);
        orv::LasVlr vlr;
        vlr.userId = textOf(v["user_id"], at + ".user_id");
        vlr.recordId = valueOf<uint16_t>(v["record_id"], at + ".record_id");
        if (v.contains("description"))
            vlr.description = textOf(v["description"], at + ".description");
        if (v.contains("reserved"))
            vlr.reserved = valueOf<uint16_t>(v["reserved"], at + ".reserved");
        const std::string payload = valueOf<std::string>(v["payload"], at + ".payload");
        vlr.payload.assign(payload.begin(), payload.end());
        out.push_back(std::move(vlr));
    }
    return out;
}

// The point format an array's fields ask for, when the header names none.
uint8_t formatOfFields(const py::dict& fields) {
    auto has = [&](const char* name) { return fields.contains(name); };
    const bool gps = has("gps_time"), rgb = has("red"), nir = has("nir"),
               wave = has("wave_packet_index");
    const bool extended = nir || has("scan_angle") || has("overlap") || has("scanner_channel");
    if (extended) {
        if (nir) return wave ? 10 : 8;
        if (wave) return 9;
        return rgb ? 7 : 6;
    }
    if (wave) return rgb ? 5 : 4;
    if (rgb) return gps ? 3 : 2;
    return gps ? 1 : 0;
}

py::dict fieldsOf(const py::object& dtype) {
    if (dtype.is_none()) return py::dict();
    const py::object fields = py::dtype::from_args(dtype).attr("fields");
    return fields.is_none() ? py::dict() : fields.cast<py::dict>();
}

size_t extraOfFields(const py::dict& fields) {
    if (!fields.contains(kExtraName)) return 0;
    return fields[kExtraName].cast<py::tuple>()[0].attr("itemsize").cast<size_t>();
}

// The header to write: the caller's identity, version, format, scale, offset and VLRs; what the
// caller leaves out follows from the points' fields.
LasFileHeader headerToWrite(const py::object& given, const py::dict& fields) {
    LasFileHeader h;
    const py::dict d = given.is_none() ? py::dict() : py::dict(given);
    h.pointFormat = d.contains("point_format") ? valueOf<uint8_t>(d["point_format"], "point_format")
                                               : formatOfFields(fields);
    if (d.contains("version")) {
        const auto v = valueOf<std::pair<uint8_t, uint8_t>>(d["version"], "version");
        h.versionMajor = v.first;
        h.versionMinor = v.second;
    } else {
        h.versionMinor = h.pointFormat > 5 ? 4 : h.pointFormat > 3 ? 3 : 2;
    }
    const size_t extra = extraOfFields(fields);
    const uint16_t standard = orv::lasStandardRecordLength(h.pointFormat);
    h.recordLength = d.contains("record_length") && extra == 0
                         ? valueOf<uint16_t>(d["record_length"], "record_length")
                         : static_cast<uint16_t>(std::min<size_t>(standard + extra, 65535));
    readTuple(d, "scale", h.scale);
    readTuple(d, "offset", h.offset);
    if (d.contains("file_source_id"))
        h.fileSourceId = valueOf<uint16_t>(d["file_source_id"], "file_source_id");
    if (d.contains("global_encoding"))
        h.globalEncoding = valueOf<uint16_t>(d["global_encoding"], "global_encoding");
    if (d.contains("guid")) {
        const std::string guid = valueOf<std::string>(d["guid"], "guid");
        if (guid.size() != sizeof h.guid) throw py::value_error("guid: 16 bytes");
        std::memcpy(h.guid, guid.data(), sizeof h.guid);
    }
    if (d.contains("system_identifier"))
        h.systemIdentifier = textOf(d["system_identifier"], "system_identifier");
    if (d.contains("generating_software"))
        h.generatingSoftware = textOf(d["generating_software"], "generating_software");
    if (d.contains("creation_day"))
        h.creationDay = valueOf<uint16_t>(d["creation_day"], "creation_day");
    if (d.contains("creation_year"))
        h.creationYear = valueOf<uint16_t>(d["creation_year"], "creation_year");
    h.vlrs = vlrsOf(d, "vlrs");
    h.evlrs = vlrsOf(d, "evlrs");
    const std::pair<const char*, std::vector<uint8_t>*> kept[] = {{"header_extra", &h.headerExtra},
                                                                  {"after_vlrs", &h.afterVlrs}};
    for (const auto& [key, bytes] : kept)
        if (d.contains(key)) {
            const std::string b = valueOf<std::string>(d[key], key);
            bytes->assign(b.begin(), b.end());
        }
    // The CRS is written in the form the version needs: a "crs" other than the one the VLRs hold
    // replaces them, and VLRs of the wrong form (GeoTIFF keys in 1.4 format 6) are rewritten.
    const orv::Crs held = orv::lasCrs(h);
    orv::Crs wanted = held;
    if (d.contains("crs") && !d["crs"].is_none()) {
        std::string error;
        wanted = orv::Crs::fromText(py::str(d["crs"]), &error);
        if (wanted.empty()) throw py::value_error("crs: " + error);
    }
    // Records no CRS can be read from, and no "crs" to replace them, are written as they are:
    // nothing a caller gave is dropped.
    if (!wanted.empty() && (!wanted.equivalentTo(held) || !orv::lasCrsFormFits(h))) {
        std::string error;
        if (orv::lasSetCrs(h, wanted, &error) != 0) throw py::value_error(error);
    }
    return h;
}

[[noreturn]] void refuseOpen(int result, const std::string& path, const std::string& why) {
    if (result == -1) {
        raiseIfUnreadable(path);  // the system's error, where it has one
        PyErr_SetObject(PyExc_OSError, py::make_tuple(why, path).ptr());
        throw py::error_already_set();
    }
    throw FormatError(path + ": " + why);
}

// The reader and writer run without the interpreter's lock; a second Python thread calling into
// the same object meanwhile gets an exception instead of a data race.
class OneAtATime {
public:
    explicit OneAtATime(std::atomic<bool>& busy) : m_busy(busy) {
        if (m_busy.exchange(true)) throw std::runtime_error("in use by another thread");
    }
    OneAtATime(const OneAtATime&) = delete;
    OneAtATime& operator=(const OneAtATime&) = delete;
    ~OneAtATime() { m_busy = false; }

private:
    std::atomic<bool>& m_busy;
};

// Reads a file's points in arrays of at most `size` points.
class Chunks {
public:
    Chunks(const py::object& file, size_t size, bool stored) : m_size(size) {
        if (size == 0) throw py::value_error("chunk size must be at least 1");
        const std::string path = fsPath(file);
        const int result = m_reader.open(path.c_str());
        if (result != 0) refuseOpen(result, path, m_reader.error());
        m_reading.emplace(path);
        const LasFileHeader& h = m_reader.header();
        m_shape.emplace(h.pointFormat, h.recordLength - orv::lasStandardRecordLength(h.pointFormat),
                        stored);
        m_dtype = m_shape->dtype();
        m_header = headerDict(h);
    }

    py::object next() {
        OneAtATime guard(m_busy);
        const uint64_t left = m_reader.pointCount() - m_reader.position();
        if (left == 0) throw py::stop_iteration();
        py::array points = readPoints(m_reader, *m_shape, m_dtype,
                                      static_cast<size_t>(std::min<uint64_t>(left, m_size)));
        noteWarnings();
        if (points.size() == 0) throw py::stop_iteration();
        return std::move(points);
    }

    // The remaining points in one array.
    py::array all() {
        OneAtATime guard(m_busy);
        const uint64_t left = m_reader.pointCount() - m_reader.position();
        const size_t most =
            std::numeric_limits<size_t>::max() / std::max<size_t>(m_shape->itemsize, 1);
        py::array points = readPoints(m_reader, *m_shape, m_dtype,
                                      static_cast<size_t>(std::min<uint64_t>(left, most)));
        noteWarnings();
        return points;
    }

    const py::dict& header() const { return m_header; }
    const py::dtype& dtype() const { return m_dtype; }

private:
    // What reading found (damaged or recovered compressed records) joins the header's
    // warnings, in the list every copy of the header shares.
    void noteWarnings() {
        const std::vector<std::string>& notes = m_reader.header().notes;
        py::list warnings = m_header["warnings"];
        for (size_t i = warnings.size(); i < notes.size(); ++i) warnings.append(notes[i]);
    }

    orv::LasReader m_reader;
    std::optional<ReadingMark> m_reading;
    std::optional<PointShape> m_shape;
    py::dtype m_dtype;
    py::dict m_header;
    size_t m_size;
    std::atomic<bool> m_busy{false};
};

// Points without coordinates would be written at 0, 0, 0: x, y, z (or the stored X, Y, Z) must
// all be there.
void requireCoordinates(const py::dict& fields) {
    std::string missing;
    for (const char* axis : {"x", "y", "z"})
        if (!fields.contains(axis)) missing += std::string(missing.empty() ? "" : ", ") + axis;
    if (missing.empty() || (fields.contains("X") && fields.contains("Y") && fields.contains("Z")))
        return;
    throw py::value_error("points: no " + missing + " field (nor all of X, Y, Z)");
}

// The points of a COPC file or URL inside `bounds` (4 values in x and y or 6 in x, y and z; None:
// everywhere) down to a resolution or level, as (header dict, structured array).
py::tuple copcRead(const py::object& file, const py::object& bounds, double resolution,
                   int maxLevel, bool stored) {
    const std::string path =
        py::isinstance<py::str>(file) ? file.cast<std::string>() : fsPath(file);
    orv::CopcQuery q;
    if (!bounds.is_none()) {
        const std::vector<double> b = bounds.cast<std::vector<double>>();
        if (b.size() != 4 && b.size() != 6)
            throw py::value_error("bounds: (minx, miny, maxx, maxy) or with z, six values");
        const size_t axes = b.size() / 2;
        for (size_t axis = 0; axis < axes; ++axis) {
            q.min[axis] = b[axis];
            q.max[axis] = b[axes + axis];
        }
    }
    q.resolution = resolution;
    q.maxLevel = maxLevel;
    orv::CopcReader reader;
    const int result = reader.open(path);
    if (result != 0) refuseOpen(result, path, reader.error());
    const LasFileHeader& h = reader.header();
    const PointShape shape(h.pointFormat,
                           h.recordLength - orv::lasStandardRecordLength(h.pointFormat), stored);
    const py::dtype dtype = shape.dtype();
    std::vector<uint8_t> records;
    int64_t count = 0;
    std::unique_ptr<PointBuffer> buffer;
    {
        py::gil_scoped_release unlocked;
        count = reader.read(q, records);
        if (count >= 0) {
            buffer = std::make_unique<PointBuffer>(size_t(count) * shape.itemsize);
            Scratch sc(shape.columnUsed, shape.extra);
            for (size_t done = 0; done < size_t(count);) {
                const size_t n = std::min(kBlockPoints, size_t(count) - done);
                orv::decodeLasRecords(h, records.data() + done * h.recordLength, n, sc.columns);
                toRecords(shape, sc, buffer->data + done * shape.itemsize, n);
                done += n;
            }
        }
    }
    if (count < 0) throw FormatError(path + ": " + reader.error());
    uint8_t* data = buffer->data;
    py::array points = arrayOver(dtype, size_t(count), data, buffer.release());
    return py::make_tuple(headerDict(h), points);
}

// Writes points block by block; the target is replaced only by close().
class Writer {
public:
    Writer(const py::object& file, const py::object& header, const py::object& dtype)
        : m_header(headerToWrite(header, fieldsOf(dtype))), m_path(fsPath(file)) {
        if (m_header.pointFormat > orv::kLasLastPointFormat)
            throw FormatError("point format " + std::to_string(m_header.pointFormat) +
                              " has no known layout");
        const uint16_t standard = orv::lasStandardRecordLength(m_header.pointFormat);
        m_extra = m_header.recordLength - std::min(m_header.recordLength, standard);
        refuseIfBeingRead(m_path);
        if (m_writer.open(m_path.c_str(), m_header) != 0)
            throw FormatError(m_path + ": " + m_writer.error());
        m_open = true;
    }

    void write(const py::array& points) {
        OneAtATime guard(m_busy);
        if (!m_open) throw py::value_error("the writer is closed");
        const py::dict fields = fieldsOf(points.dtype());
        if (fields.empty()) throw py::type_error("points: a structured array with named fields");
        requireCoordinates(fields);
        if (fields.contains(kExtraName) && extraOfFields(fields) != m_extra)
            throw py::value_error("extra_bytes: the records hold " + std::to_string(m_extra) +
                                  " extra bytes a point");
        const bool floats = fields.contains("x");
        const size_t n = static_cast<size_t>(points.size());
        const py::module_ np = py::module_::import("numpy");
        std::vector<uint8_t> flags, angles;
        for (size_t lo = 0; lo < n; lo += kWriteBlock) {
            const size_t m = std::min(kWriteBlock, n - lo);
            const py::object part = points[py::slice(lo, lo + m, 1)];
            LasColumns c;
            std::vector<py::array> keep;  // this block's columns, alive until written
            flags.assign(m, 0);
            for (const Field& f : kFields) {
                if (!fields.contains(f.name)) continue;
                if (f.has == Has::Stored && floats) continue;  // x, y, z win over X, Y, Z
                py::array col = np.attr("ascontiguousarray")(part[f.name], f.format);
                keep.push_back(col);
                if (f.take == Take::Copy) {
                    bindColumn(c, f.column, col.mutable_data());
                } else if (f.take == Take::Narrow) {
                    angles.resize(m * 2);
                    auto* out = reinterpret_cast<int16_t*>(angles.data());
                    const auto* in = static_cast<const int8_t*>(col.data());
                    for (size_t i = 0; i < m; ++i) out[i] = in[i];
                    c.scanAngle = out;
                } else {
                    const int bit = static_cast<int>(f.take) - static_cast<int>(Take::Bit0);
                    const auto* in = static_cast<const uint8_t*>(col.data());
                    for (size_t i = 0; i < m; ++i)
                        flags[i] = static_cast<uint8_t>(flags[i] | ((in[i] != 0) << bit));
                    c.classificationFlags = flags.data();
                }
            }
            if (m_extra && fields.contains(kExtraName)) {
                py::array col = np.attr("ascontiguousarray")(part[kExtraName], "u1");
                keep.push_back(col);
                c.extraBytes = static_cast<uint8_t*>(col.mutable_data());
            }
            size_t written = 0;
            {
                py::gil_scoped_release unlocked;
                written = m_writer.write(c, m);
            }
            if (written < m) {
                discard();
                throw py::value_error("point " + std::to_string(m_written + lo + written) +
                                      ": a coordinate does not fit the scale and offset (or is "
                                      "not a number); nothing was written");
            }
        }
        m_written += n;
    }

    void close() {
        OneAtATime guard(m_busy);
        if (!m_open) return;
        m_open = false;
        py::gil_scoped_release unlocked;
        m_writer.close();
    }

    void discard() {
        m_open = false;
        m_writer.discard();
    }

    uint64_t count() const { return m_writer.pointCount(); }

private:
    // Points handed to the library per call when writing.
    static constexpr size_t kWriteBlock = 65536;

    LasFileHeader m_header;
    std::string m_path;
    orv::LasWriter m_writer;
    size_t m_extra = 0;
    uint64_t m_written = 0;
    bool m_open = false;
    std::atomic<bool> m_busy{false};
};

}  // namespace

void bindLas(py::module_& m) {
    py::class_<Chunks>(m, "Chunks", "A LAS file's points in arrays of bounded size.")
        .def(py::init<const py::object&, size_t, bool>(), py::arg("path"), py::arg("size"),
             py::arg("stored") = false)
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Chunks::next)
        .def("all", &Chunks::all, "The remaining points in one array")
        .def_property_readonly("header", &Chunks::header)
        .def_property_readonly("dtype", &Chunks::dtype);
    py::class_<Writer>(m, "Writer", "Writes a LAS file block by block; close() puts it in place.")
        .def(py::init<const py::object&, const py::object&, const py::object&>(), py::arg("path"),
             py::arg("header") = py::none(), py::arg("dtype") = py::none())
        .def("write", &Writer::write, py::arg("points"))
        .def("close", &Writer::close)
        .def("discard", &Writer::discard, "Abandons the file: the target stays as it was")
        .def_property_readonly("count", &Writer::count)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Writer& w, py::object type, py::object, py::object) {
            if (type.is_none())
                w.close();
            else
                w.discard();
        });
    m.def("copc_read", &copcRead, py::arg("path"), py::arg("bounds") = py::none(),
          py::arg("resolution") = 0.0, py::arg("max_level") = -1, py::arg("stored") = false,
          "The points of a COPC file or URL inside bounds, down to a resolution or level");
    m.def(
        "point_dtype",
        [](uint8_t format, size_t extraBytes, bool stored) {
            if (format > orv::kLasLastPointFormat) throw py::value_error("unknown point format");
            return PointShape(format, extraBytes, stored).dtype();
        },
        py::arg("point_format"), py::arg("extra_bytes") = 0, py::arg("stored") = false,
        "The structured dtype of a point format's points");
}

}  // namespace orvpy
