// Full-fidelity LAS from Python: headers as dicts, points as numpy structured arrays with every
// field of the file's point format, read whole, in chunks, and written back. The library decodes
// records straight into the arrays' memory and encodes from it.
#include <OrvCopc.h>
#include <OrvError.h>
#include <OrvLasCrs.h>
#include <OrvLasFile.h>
#include <OrvLasPoints.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.h"

namespace orvpy {

namespace {

using orv::LasFileHeader;
using orv::LasStrided;
using orv::LasStridedColumns;

// Which formats have a field: those with all of `groups`; `legacy` fields only formats 0 to 5;
// `stored` fields (X, Y, Z) only when asked for.
struct Has {
    uint32_t groups = 0;
    bool legacy = false;
    bool stored = false;
};
constexpr Has kAll{}, kLegacy{0, true}, kStored{0, false, true}, kExt{orv::kLasExtendedGroup},
    kGps{orv::kLasGpsTimeGroup}, kRgb{orv::kLasRgbGroup}, kNir{orv::kLasNirGroup},
    kWave{orv::kLasWavePacketGroup};

// Points a column of the library's strided columns at `at`, `stride` bytes a point.
using Bind = void (*)(LasStridedColumns&, uint8_t* at, size_t stride);
template <auto Member>
void bindAt(LasStridedColumns& c, uint8_t* at, size_t stride) {
    auto& column = c.*Member;
    column = {reinterpret_cast<decltype(column.data)>(at), stride};
}

// A field of the structured arrays: its name, laspy's name where that differs (a title of the
// dtype, so either indexes the field), its numpy type and the library's column.
struct Field {
    const char* name;
    const char* alias;
    const char* format;
    Bind bind;
    Has has;
};

// Every field a point may have, in the order of the structured array.
const Field kFields[] = {
    {"x", nullptr, "<f8", &bindAt<&LasStridedColumns::x>, kAll},
    {"y", nullptr, "<f8", &bindAt<&LasStridedColumns::y>, kAll},
    {"z", nullptr, "<f8", &bindAt<&LasStridedColumns::z>, kAll},
    {"X", nullptr, "<i4", &bindAt<&LasStridedColumns::X>, kStored},
    {"Y", nullptr, "<i4", &bindAt<&LasStridedColumns::Y>, kStored},
    {"Z", nullptr, "<i4", &bindAt<&LasStridedColumns::Z>, kStored},
    {"intensity", nullptr, "<u2", &bindAt<&LasStridedColumns::intensity>, kAll},
    {"return_number", nullptr, "u1", &bindAt<&LasStridedColumns::returnNumber>, kAll},
    {"number_of_returns", nullptr, "u1", &bindAt<&LasStridedColumns::numberOfReturns>, kAll},
    {"synthetic", nullptr, "u1", &bindAt<&LasStridedColumns::synthetic>, kAll},
    {"key_point", nullptr, "u1", &bindAt<&LasStridedColumns::keyPoint>, kAll},
    {"withheld", nullptr, "u1", &bindAt<&LasStridedColumns::withheld>, kAll},
    {"overlap", nullptr, "u1", &bindAt<&LasStridedColumns::overlap>, kExt},
    {"scanner_channel", nullptr, "u1", &bindAt<&LasStridedColumns::scannerChannel>, kExt},
    {"scan_direction", "scan_direction_flag", "u1", &bindAt<&LasStridedColumns::scanDirection>,
     kAll},
    {"edge_of_flight_line", nullptr, "u1", &bindAt<&LasStridedColumns::edgeOfFlightLine>, kAll},
    {"classification", nullptr, "u1", &bindAt<&LasStridedColumns::classification>, kAll},
    {"scan_angle_rank", nullptr, "i1", &bindAt<&LasStridedColumns::scanAngleRank>, kLegacy},
    {"scan_angle", nullptr, "<i2", &bindAt<&LasStridedColumns::scanAngle>, kExt},
    {"user_data", nullptr, "u1", &bindAt<&LasStridedColumns::userData>, kAll},
    {"point_source_id", nullptr, "<u2", &bindAt<&LasStridedColumns::pointSourceId>, kAll},
    {"gps_time", nullptr, "<f8", &bindAt<&LasStridedColumns::gpsTime>, kGps},
    {"red", nullptr, "<u2", &bindAt<&LasStridedColumns::red>, kRgb},
    {"green", nullptr, "<u2", &bindAt<&LasStridedColumns::green>, kRgb},
    {"blue", nullptr, "<u2", &bindAt<&LasStridedColumns::blue>, kRgb},
    {"nir", nullptr, "<u2", &bindAt<&LasStridedColumns::nir>, kNir},
    {"wave_packet_index", "wavepacket_index", "u1", &bindAt<&LasStridedColumns::wavePacketIndex>,
     kWave},
    {"waveform_offset", "wavepacket_offset", "<u8", &bindAt<&LasStridedColumns::waveformOffset>,
     kWave},
    {"waveform_size", "wavepacket_size", "<u4", &bindAt<&LasStridedColumns::waveformSize>, kWave},
    {"return_point_location", "return_point_wave_location", "<f4",
     &bindAt<&LasStridedColumns::returnPointLocation>, kWave},
    {"wave_dx", "x_t", "<f4", &bindAt<&LasStridedColumns::waveDx>, kWave},
    {"wave_dy", "y_t", "<f4", &bindAt<&LasStridedColumns::waveDy>, kWave},
    {"wave_dz", "z_t", "<f4", &bindAt<&LasStridedColumns::waveDz>, kWave},
};
constexpr const char* kExtraName = "extra_bytes";
// laspy's single field of the four flags; accepted on writing.
constexpr const char* kFlagsName = "classification_flags";

bool formatHas(uint8_t format, const Has& has, bool stored) {
    if (format > orv::kLasLastPointFormat) return false;
    if (has.stored) return stored;
    const uint32_t groups = orv::lasPointFormatGroups(format);
    if (has.legacy) return !(groups & orv::kLasExtendedGroup);
    return (groups & has.groups) == has.groups;
}

size_t fieldSize(const Field& f) {
    return f.format[std::strlen(f.format) - 1] - '0';
}

// The numpy type of each value type the library gives extra dimensions in; the index is also
// the data type of the extra-bytes descriptions (0: untyped bytes).
const char* const kValueTypes[] = {"u1",  "u1",  "i1",  "<u2", "<i2", "<u4",
                                   "<i4", "<u8", "<i8", "<f4", "<f8"};

// The numpy type of an extra dimension's values, as the library gives them.
py::dtype extraDtype(const orv::LasExtraValues& v) {
    const char* type = kValueTypes[static_cast<int>(v.type)];
    const size_t n = v.type == orv::LasValueType::Bytes ? v.size : v.count;
    if (v.type != orv::LasValueType::Bytes && n == 1) return py::dtype(type);
    return py::dtype(("(" + std::to_string(n) + ",)" + type).c_str());
}

// One field of the structured array and where it lies in a record.
struct Placed {
    const Field* field;
    size_t offset;
};

// An extra dimension a header describes, as a field of its own.
struct ExtraPlaced {
    orv::LasExtraField field;
    size_t offset = 0;
};

// The structured array of a point format: its fields in kFields order, the raw extra bytes,
// then a field for each extra dimension the header describes under a name no other field has.
struct PointShape {
    std::vector<Placed> fields;
    std::vector<ExtraPlaced> dimensions;
    size_t extra = 0;  // extra bytes per record
    size_t extraOffset = 0;
    size_t itemsize = 0;

    PointShape(uint8_t format, size_t extraBytes, bool stored,
               const std::vector<orv::LasExtraField>& described = {})
        : extra(extraBytes) {
        for (const Field& f : kFields) {
            if (!formatHas(format, f.has, stored)) continue;
            fields.push_back({&f, itemsize});
            itemsize += fieldSize(f);
        }
        extraOffset = itemsize;
        itemsize += extra;
        for (const orv::LasExtraField& f : described) {
            if (f.name.empty() || taken(f.name)) continue;
            // A name described twice is the later description's, where the first stood.
            auto same = std::find_if(dimensions.begin(), dimensions.end(),
                                     [&](const ExtraPlaced& d) { return d.field.name == f.name; });
            if (same != dimensions.end()) same->field = f;
            if (same == dimensions.end()) dimensions.push_back({f, 0});
        }
        for (ExtraPlaced& d : dimensions) {
            d.offset = itemsize;
            itemsize += orv::lasExtraValues(d.field).size;
        }
    }

    explicit PointShape(const LasFileHeader& h, bool stored)
        : PointShape(h.pointFormat, orv::lasExtraByteCount(h), stored, orv::lasExtraFields(h)) {}

    // A standard field (or its laspy name) or the extra bytes has this name.
    bool taken(const std::string& name) const {
        if (name == kExtraName) return true;
        for (const Placed& p : fields)
            if (name == p.field->name || (p.field->alias && name == p.field->alias)) return true;
        return false;
    }

    py::dtype dtype() const {
        py::list names, formats, offsets, titles;
        for (const Placed& p : fields) {
            names.append(p.field->name);
            formats.append(p.field->format);
            offsets.append(p.offset);
            titles.append(p.field->alias ? py::object(py::str(p.field->alias)) : py::none());
        }
        if (extra) {
            names.append(kExtraName);
            formats.append(py::dtype(("(" + std::to_string(extra) + ",)u1").c_str()));
            offsets.append(extraOffset);
            titles.append(py::none());
        }
        for (const ExtraPlaced& d : dimensions) {
            names.append(py::bytes(d.field.name).attr("decode")("latin-1"));
            formats.append(extraDtype(orv::lasExtraValues(d.field)));
            offsets.append(d.offset);
            titles.append(py::none());
        }
        py::dict layout;
        layout["names"] = names;
        layout["formats"] = formats;
        layout["offsets"] = offsets;
        layout["titles"] = titles;
        layout["itemsize"] = itemsize;
        return py::dtype::from_args(layout);
    }

    // The library's columns over `count` records at `base`; `dims` receives the extra
    // dimensions' columns, which the result points to.
    LasStridedColumns columns(uint8_t* base, std::vector<orv::LasExtraColumn>& dims) const {
        LasStridedColumns c;
        for (const Placed& p : fields) p.field->bind(c, base + p.offset, itemsize);
        if (extra) c.extraBytes = {base + extraOffset, itemsize};
        dims.clear();
        for (const ExtraPlaced& d : dimensions)
            dims.push_back({&d.field, base + d.offset, itemsize});
        c.extraFields = dims.data();
        c.extraFieldCount = dims.size();
        return c;
    }
};

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

// Reads `count` points (or to the end) into a fresh structured array, decoded in place. The
// buffer comes from malloc, not numpy: numpy asks for transparent huge pages on large arrays,
// and where the kernel must assemble them on the first touch that costs more than the read.
py::array readPoints(orv::LasReader& reader, const PointShape& shape, const py::dtype& dtype,
                     size_t count) {
    size_t room = std::min(count, kInitialPoints);
    auto buffer = std::make_unique<PointBuffer>(room * shape.itemsize);
    size_t done = 0;
    {
        py::gil_scoped_release unlocked;
        std::vector<orv::LasExtraColumn> dims;
        while (done < count) {
            if (done == room) {
                room = std::min(count, room + std::max<size_t>(room / 2, 1));
                buffer->grow(room * shape.itemsize);
            }
            const size_t want = room - done;
            const size_t got = orv::readLasPoints(
                reader, shape.columns(buffer->data + done * shape.itemsize, dims), want);
            done += got;
            if (got < want) break;
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
    // point_count is what can be read; the header's own count fields keep their own names.
    d["point_count"] = h.readablePoints;
    d["stated_point_count"] = h.statedPoints;
    d["legacy_point_count"] = h.legacyPointCount;
    d["extended_point_count"] = h.hasExtension ? py::object(py::int_(h.pointCount)) : py::none();
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
// A text field of `room` bytes in the file: a longer one would be cut without a word.
std::string textOf(const py::handle& v, const std::string& key, size_t room) {
    if (!py::isinstance<py::bytes>(v) && !py::isinstance<py::str>(v))
        throw py::type_error(key + ": str or bytes, not " +
                             py::str(v.get_type().attr("__name__")).cast<std::string>());
    const std::string text = py::isinstance<py::bytes>(v)
                                 ? v.cast<std::string>()
                                 : py::str(v).attr("encode")("latin-1").cast<std::string>();
    if (text.size() > room)
        throw py::value_error(key + ": " + std::to_string(text.size()) + " bytes, more than the " +
                              std::to_string(room) + " the file holds");
    return text;
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
        vlr.userId = textOf(v["user_id"], at + ".user_id", 16);
        vlr.recordId = valueOf<uint16_t>(v["record_id"], at + ".record_id");
        if (v.contains("description"))
            vlr.description = textOf(v["description"], at + ".description", 32);
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
    uint32_t groups = 0;
    for (const Field& f : kFields)
        if (fields.contains(f.name) || (f.alias && fields.contains(f.alias)))
            groups |= f.has.groups;
    return orv::lasPointFormatFor(groups);
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
        h.versionMinor = orv::lasMinorVersionFor(h.pointFormat);
    }
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
        h.systemIdentifier = textOf(d["system_identifier"], "system_identifier", 32);
    if (d.contains("generating_software"))
        h.generatingSoftware = textOf(d["generating_software"], "generating_software", 32);
    if (d.contains("creation_day"))
        h.creationDay = valueOf<uint16_t>(d["creation_day"], "creation_day");
    if (d.contains("creation_year"))
        h.creationYear = valueOf<uint16_t>(d["creation_year"], "creation_year");
    h.vlrs = vlrsOf(d, "vlrs");
    h.evlrs = vlrsOf(d, "evlrs");
    // Without raw extra bytes, the records still make room for the described extra dimensions
    // the points give as fields: they would be left out otherwise.
    // A record length given (as a read header has it) grows to hold the dimensions described
    // since.
    const uint16_t standard = orv::lasStandardRecordLength(h.pointFormat);
    const size_t raw = extraOfFields(fields);
    size_t extra = raw;
    if (raw == 0) {
        h.recordLength = 65535;
        for (const orv::LasExtraField& f : orv::lasExtraFields(h))
            if (fields.contains(py::bytes(f.name).attr("decode")("latin-1")))
                extra = std::max<size_t>(extra, f.offset + f.size);
    }
    const size_t stated = d.contains("record_length") && raw == 0
                              ? valueOf<uint16_t>(d["record_length"], "record_length")
                              : 0;
    h.recordLength =
        extra == 0 && stated
            ? static_cast<uint16_t>(stated)
            : static_cast<uint16_t>(std::min<size_t>(std::max(stated, standard + extra), 65535));
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
        wanted = orv::Crs::fromText(crsText(py::str(d["crs"]).cast<std::string>(), "crs"), &error);
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
        m_shape.emplace(h, stored);
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

// Raises what fits a COPC reader's failure: the OSError subclass of a network failure or a
// missing file, MemoryError, or FormatError for a file that contradicts itself.
[[noreturn]] void raiseCopcFailure(const orv::CopcReader& reader, const std::string& path) {
    const std::string text = path + ": " + reader.error();
    PyObject* type = PyExc_OSError;
    switch (reader.failure()) {
        case orv::CopcFailure::damaged:
            throw FormatError(text);
        case orv::CopcFailure::notFound:
            type = PyExc_FileNotFoundError;
            break;
        case orv::CopcFailure::denied:
            type = PyExc_PermissionError;
            break;
        case orv::CopcFailure::connection:
            type = PyExc_ConnectionError;
            break;
        case orv::CopcFailure::timeout:
            type = PyExc_TimeoutError;
            break;
        case orv::CopcFailure::memory:
            type = PyExc_MemoryError;
            break;
        default:
            break;
    }
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

// Runs `work` on a thread of its own while this one, holding the interpreter, looks for signals
// ten times a second: Ctrl-C cancels the reader and raises KeyboardInterrupt within a second,
// even while a server stalls. What `work` throws is raised here.
void runInterruptibly(orv::CopcReader& reader, const std::function<void()>& work) {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr thrown;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            thrown = std::current_exception();
        }
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        finished.notify_all();
    });
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> hold(lock);
            if (finished.wait_for(hold, std::chrono::milliseconds(100), [&] { return done; }))
                break;
        }
        if (PyErr_CheckSignals() != 0) {
            reader.cancel();
            {
                py::gil_scoped_release unlocked;
                worker.join();
            }
            throw py::error_already_set();
        }
    }
    worker.join();
    if (thrown) std::rethrow_exception(thrown);
}

// The points of a COPC file or URL inside `bounds` (4 values in x and y or 6 in x, y and z; None:
// everywhere) down to a resolution or level, as (header dict, structured array).
py::tuple copcRead(const py::object& file, const py::object& bounds, double resolution,
                   int maxLevel, bool stored, double timeout) {
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
    if (!(timeout >= 0) || !std::isfinite(timeout))
        throw py::value_error("timeout: a number of seconds, or None");
    q.resolution = resolution;
    q.maxLevel = maxLevel;
    orv::CopcOpenOptions options;
    options.timeoutSeconds = timeout;
    orv::CopcReader reader;
    int opened = 0;
    int64_t count = 0;
    std::vector<uint8_t> records;
    runInterruptibly(reader, [&] {
        opened = reader.open(path, options);
        if (opened == 0) count = reader.read(q, records);
    });
    if (opened == -1 && path.rfind("http://", 0) != 0 && path.rfind("https://", 0) != 0)
        raiseIfUnreadable(path);  // the system's error, where it has one
    if (opened == -2) throw FormatError(path + ": " + reader.error());
    if (opened != 0 || count < 0) raiseCopcFailure(reader, path);
    for (const orv::CopcNote& note : reader.warnings())
        PyErr_WarnEx(PyExc_UserWarning, (path + ": " + note.text).c_str(), 1);
    const LasFileHeader& h = reader.header();
    const PointShape shape(h, stored);
    const py::dtype dtype = shape.dtype();
    std::unique_ptr<PointBuffer> buffer;
    {
        py::gil_scoped_release unlocked;
        buffer = std::make_unique<PointBuffer>(size_t(count) * shape.itemsize);
        std::vector<orv::LasExtraColumn> dims;
        orv::decodeLasRecords(h, records.data(), size_t(count), shape.columns(buffer->data, dims));
    }
    uint8_t* data = buffer->data;
    py::array points = arrayOver(dtype, size_t(count), data, buffer.release());
    return py::make_tuple(headerDict(h), points);
}

// The memory of the values of `column` (one field of the points, one row a point) as `type`:
// the array's own where the type is already that, else a converted copy kept in `keep`. Returns
// the first value's address and the bytes from one point to the next.
std::pair<uint8_t*, size_t> valuesAs(const py::array& column, const std::string& name,
                                     const py::dtype& type, std::vector<py::array>& keep) {
    const py::dtype base = type.attr("base");
    const py::tuple shape = type.attr("shape");
    const bool inPlace = column.dtype().equal(base) &&
                         static_cast<size_t>(column.ndim()) == shape.size() + 1 &&
                         column.strides(0) >= 0 &&
                         (column.ndim() == 1 ||
                          (column.ndim() == 2 && column.shape(1) == shape[0].cast<py::ssize_t>() &&
                           column.strides(1) == base.itemsize()));
    if (inPlace)
        return {static_cast<uint8_t*>(const_cast<void*>(column.data())),
                static_cast<size_t>(column.strides(0))};
    py::array copy = py::module_::import("numpy").attr("ascontiguousarray")(column, base);
    // Fewer values than the records take would be read past.
    if (column.ndim() == 0 ||
        static_cast<size_t>(copy.nbytes()) < column.shape(0) * size_t(type.itemsize()))
        throw py::value_error(name + ": " + std::to_string(type.itemsize() / base.itemsize()) +
                              " values a point");
    keep.push_back(copy);
    return {static_cast<uint8_t*>(copy.mutable_data()), static_cast<size_t>(type.itemsize())};
}

// Which fields a writer leaves out when the records cannot hold them: none (they are refused),
// all, or those named.
struct Drop {
    bool all = false;
    std::vector<std::string> names;

    explicit Drop(const py::object& drop) {
        if (drop.is_none() || py::isinstance<py::bool_>(drop)) {
            all = !drop.is_none() && drop.cast<bool>();
            return;
        }
        if (py::isinstance<py::str>(drop))
            throw py::type_error("drop: True, False or a list of field names, not one name");
        for (const py::handle name : valueOf<py::iterable>(drop, "drop"))
            names.push_back(textOf(name, "drop", std::string::npos));
    }
    bool covers(const std::string& name) const {
        return all || std::find(names.begin(), names.end(), name) != names.end();
    }
};

// Writes points block by block; the target is replaced only by close(). With `append`, the
// points go after those of the existing file at `file`, in its format.
class Writer {
public:
    Writer(const py::object& file, const py::object& header, const py::object& dtype,
           const py::object& drop, bool append)
        : m_path(fsPath(file)), m_drop(drop) {
        refuseIfBeingRead(m_path);
        if (append) {
            if (!header.is_none()) throw py::value_error("header: an appended file keeps its own");
            const int result = m_writer.append(m_path.c_str());
            if (result != 0) refuseOpen(result, m_path, m_writer.error());
            m_header = m_writer.header();
        } else {
            m_header = headerToWrite(header, fieldsOf(dtype));
            if (m_header.pointFormat > orv::kLasLastPointFormat)
                throw FormatError("point format " + std::to_string(m_header.pointFormat) +
                                  " has no known layout");
            if (m_writer.open(m_path.c_str(), m_header) != 0)
                throw FormatError(m_path + ": " + m_writer.error());
        }
        m_extra = orv::lasExtraByteCount(m_header);
        m_dimensions = orv::lasExtraFields(m_header);
        m_open = true;
    }

    void write(const py::array& given) {
        OneAtATime guard(m_busy);
        if (!m_open) throw py::value_error("the writer is closed");
        const py::array points = given.ndim() == 1 ? given : py::array(given.attr("reshape")(-1));
        const py::dict fields = fieldsOf(points.dtype());
        if (fields.empty()) throw py::type_error("points: a structured array with named fields");
        requireCoordinates(fields);
        // Raw extra bytes of another width are left out only when the caller says so.
        const bool rawFits = !fields.contains(kExtraName) || extraOfFields(fields) == m_extra;
        if (!rawFits && !m_drop.covers(kExtraName))
            throw py::value_error("extra_bytes: the records hold " + std::to_string(m_extra) +
                                  " extra bytes a point (drop=True leaves these out)");
        const size_t n = static_cast<size_t>(points.size());
        const PointShape shape(m_header.pointFormat, m_extra, true);
        refuseUnheld(points.dtype(), shape);
        m_records.resize(std::min(kWriteBlock, std::max<size_t>(n, 1)) * m_header.recordLength);
        for (size_t lo = 0; lo < n; lo += kWriteBlock) {
            const size_t m = std::min(kWriteBlock, n - lo);
            const py::object part = points[py::slice(lo, lo + m, 1)];
            std::vector<py::array> keep;  // this block's converted columns, alive until written
            std::vector<orv::LasExtraColumn> dims;
            const LasStridedColumns c = columnsOf(part, fields, shape, rawFits, keep, dims);
            size_t written = 0;
            {
                py::gil_scoped_release unlocked;
                written = orv::encodeLasRecords(m_header, c, m, m_records.data());
                m_writer.writeRaw(m_records.data(), written);
            }
            if (written < m) {
                discard();
                throw py::value_error("point " + std::to_string(m_written + lo + written) +
                                      ": a coordinate does not fit the scale and offset, or an "
                                      "extra dimension its type (or is not a number); nothing "
                                      "was written");
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
    const LasFileHeader& header() const { return m_header; }

private:
    // Points handed to the library per call when writing.
    static constexpr size_t kWriteBlock = 65536;

    // Fields the records cannot hold are lost unless the caller said to drop them.
    void refuseUnheld(const py::dtype& dtype, const PointShape& shape) const {
        std::string lost;
        for (const py::handle item : py::tuple(dtype.attr("names"))) {
            const std::string name = item.cast<std::string>();
            const bool held =
                shape.taken(name) || name == kFlagsName || name == "scan_angle" ||
                name == "scan_angle_rank" ||
                std::any_of(m_dimensions.begin(), m_dimensions.end(),
                            [&](const orv::LasExtraField& d) { return d.name == name; });
            if (!held && !m_drop.covers(name)) lost += (lost.empty() ? "" : ", ") + name;
        }
        if (!lost.empty())
            throw py::value_error("point format " + std::to_string(m_header.pointFormat) +
                                  " cannot hold " + lost +
                                  ": add them as extra dimensions, choose a format that holds "
                                  "them, or pass drop=True (or their names) to leave them out");
    }

    // The library's columns over the fields of `part` that the records hold, under our names or
    // laspy's; `keep` and `dims` hold what the columns point to.
    LasStridedColumns columnsOf(const py::object& part, const py::dict& fields,
                                const PointShape& shape, bool rawFits, std::vector<py::array>& keep,
                                std::vector<orv::LasExtraColumn>& dims) const {
        LasStridedColumns c;
        const auto bind = [&](const char* name, const py::dtype& type) {
            return valuesAs(part[py::str(name)], name, type, keep);
        };
        const bool floats = fields.contains("x");
        bool singleFlags = false;
        for (const Placed& p : shape.fields) {
            const Field& f = *p.field;
            const char* name = fields.contains(f.name)               ? f.name
                               : f.alias && fields.contains(f.alias) ? f.alias
                                                                     : nullptr;
            if (!name || (f.has.stored && floats)) continue;  // x, y, z win over X, Y, Z
            const auto [at, stride] = bind(name, py::dtype(f.format));
            f.bind(c, at, stride);
            singleFlags = singleFlags || c.synthetic.data || c.keyPoint.data || c.withheld.data ||
                          c.overlap.data;
        }
        // A scan angle of the other family of formats, in the unit of its name.
        const bool extended =
            orv::lasPointFormatGroups(m_header.pointFormat) & orv::kLasExtendedGroup;
        if (extended && !c.scanAngle.data && fields.contains("scan_angle_rank")) {
            const auto [at, stride] = bind("scan_angle_rank", py::dtype("i1"));
            c.scanAngleRank = {reinterpret_cast<int8_t*>(at), stride};
        }
        if (!extended && !c.scanAngleRank.data && fields.contains("scan_angle")) {
            const py::object degrees = py::module_::import("numpy").attr("multiply")(
                part[py::str("scan_angle")], 0.006, py::arg("dtype") = "f4");
            const auto [at, stride] = valuesAs(degrees, "scan_angle", py::dtype("f4"), keep);
            c.scanAngleDegrees = {reinterpret_cast<float*>(at), stride};
        }
        if (!singleFlags && fields.contains(kFlagsName)) {
            const auto [at, stride] = bind(kFlagsName, py::dtype("u1"));
            c.classificationFlags = {at, stride};
        }
        if (m_extra && rawFits && fields.contains(kExtraName)) {
            const auto [at, stride] = bind(kExtraName, fields[kExtraName].cast<py::tuple>()[0]);
            c.extraBytes = {at, stride};
        }
        // Extra dimensions given as fields of their own are written over their raw bytes, so
        // what the caller changed is what the file holds.
        for (const orv::LasExtraField& d : m_dimensions) {
            if (d.name.empty() || shape.taken(d.name)) continue;
            const py::str name = py::bytes(d.name).attr("decode")("latin-1");
            if (!fields.contains(name)) continue;
            const auto [at, stride] =
                valuesAs(part[name], d.name, extraDtype(orv::lasExtraValues(d)), keep);
            dims.push_back({&d, at, stride});
        }
        c.extraFields = dims.data();
        c.extraFieldCount = dims.size();
        return c;
    }

    LasFileHeader m_header;
    std::string m_path;
    Drop m_drop;
    orv::LasWriter m_writer;
    std::vector<orv::LasExtraField> m_dimensions;
    std::vector<uint8_t> m_records;
    size_t m_extra = 0;
    uint64_t m_written = 0;
    bool m_open = false;
    std::atomic<bool> m_busy{false};
};

// The extra dimensions of `points` as named arrays, from their raw extra bytes, as the header's
// descriptions say.
py::dict extraFields(const py::array& points, const py::dict& header) {
    py::dict out;
    const py::list described =
        header.contains("extra_fields") ? py::list(header["extra_fields"]) : py::list();
    if (described.empty()) return out;
    const py::module_ np = py::module_::import("numpy");
    py::array raw = points[py::str(kExtraName)];
    if (raw.ndim() != 2 || raw.itemsize() != 1 || raw.strides(1) != 1 || raw.strides(0) < 0)
        raw = np.attr("ascontiguousarray")(raw, "u1");
    const size_t n = static_cast<size_t>(raw.shape(0)), width = static_cast<size_t>(raw.shape(1));
    for (const py::handle item : described) {
        const py::dict d = py::reinterpret_borrow<py::dict>(item);
        orv::LasExtraField f;
        f.dataType = valueOf<uint8_t>(d["data_type"], "data_type");
        f.options = valueOf<uint8_t>(d["options"], "options");
        f.offset = valueOf<uint32_t>(d["offset"], "offset");
        f.size = valueOf<uint32_t>(d["size"], "size");
        readTuple(d, "scale", f.scale);
        readTuple(d, "offset_value", f.offsetValue);
        if (f.offset + uint64_t{f.size} > width)
            throw py::value_error("extra_fields: a field lies past the extra bytes");
        const orv::LasExtraValues v = orv::lasExtraValues(f);
        const py::dtype type = extraDtype(v);
        py::array values = np.attr("empty")(n, type);
        orv::decodeLasExtraField(f, static_cast<const uint8_t*>(raw.data()),
                                 static_cast<size_t>(raw.strides(0)), n,
                                 static_cast<uint8_t*>(values.mutable_data()), type.itemsize());
        out[d["name"]] = values;
    }
    return out;
}

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
    py::class_<Writer>(m, "Writer",
                       "Writes a LAS or LAZ file block by block; close() puts it in place. "
                       "append=True adds the points to an existing file; drop=True (or a list "
                       "of names) leaves out fields the point format cannot hold.")
        .def(py::init<const py::object&, const py::object&, const py::object&, const py::object&,
                      bool>(),
             py::arg("path"), py::arg("header") = py::none(), py::arg("dtype") = py::none(),
             py::arg("drop") = false, py::arg("append") = false)
        .def("write", &Writer::write, py::arg("points"))
        .def("close", &Writer::close)
        .def("discard", &Writer::discard, "Abandons the file: the target stays as it was")
        .def_property_readonly("count", &Writer::count)
        .def_property_readonly("header", [](const Writer& w) { return headerDict(w.header()); })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Writer& w, py::object type, py::object, py::object) {
            if (type.is_none())
                w.close();
            else
                w.discard();
        });
    m.def("copc_read", &copcRead, py::arg("path"), py::arg("bounds") = py::none(),
          py::arg("resolution") = 0.0, py::arg("max_level") = -1, py::arg("stored") = false,
          py::arg("timeout") = 0.0,
          "The points of a COPC file or URL inside bounds, down to a resolution or level");
    m.def(
        "point_dtype",
        [](uint8_t format, size_t extraBytes, bool stored) {
            if (format > orv::kLasLastPointFormat) throw py::value_error("unknown point format");
            return PointShape(format, extraBytes, stored).dtype();
        },
        py::arg("point_format"), py::arg("extra_bytes") = 0, py::arg("stored") = false,
        "The structured dtype of a point format's points");
    // The one table of point fields: name, laspy's name, numpy type, the formats that hold it
    // and whether it is a stored integer (X, Y, Z).
    py::list dimensions;
    for (const Field& f : kFields) {
        py::list formats;
        for (uint8_t format = 0; format <= orv::kLasLastPointFormat; ++format)
            if (formatHas(format, f.has, true)) formats.append(format);
        dimensions.append(py::make_tuple(f.name,
                                         f.alias ? py::object(py::str(f.alias)) : py::none(),
                                         f.format, formats, f.has.stored));
    }
    m.attr("dimensions") = dimensions;
    py::list valueTypes;
    for (const char* type : kValueTypes) valueTypes.append(type);
    m.attr("extra_value_types") = valueTypes;
    m.def("extra_fields", &extraFields, py::arg("points"), py::arg("header"),
          "The extra dimensions of points as named arrays, as the header's descriptions say");
}

}  // namespace orvpy
