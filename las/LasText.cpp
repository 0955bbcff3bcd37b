#include "OrvLasText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <string_view>

#include "OrvLasPoints.h"
#include "las/LasLimits.h"
#include "las/LasRecords.h"

namespace orv {
namespace {

// The fields whose values choose the point format or are not taken.
enum class Field {
    kX,
    kY,
    kZ,
    kStored,
    kReturn,
    kClass,
    kChannel,
    kOverlap,
    kScanAngle,
    kGpsTime,
    kRgb,
    kNir,
    kSkip,
    kOther
};

// A column name, and where its values go.
struct FieldName {
    const char* name;
    Field field;
    double max;  // the largest value of a whole-number field; 0 for a real number
    uint8_t* LasColumns::*u8;
    uint16_t* LasColumns::*u16;
    double* LasColumns::*real;
    int flag;  // the bit of the classification flags, or -1
};

// In the order `las to-text` lists them.
const FieldName kFields[] = {
    {"x", Field::kX, 0, nullptr, nullptr, &LasColumns::x, -1},
    {"y", Field::kY, 0, nullptr, nullptr, &LasColumns::y, -1},
    {"z", Field::kZ, 0, nullptr, nullptr, &LasColumns::z, -1},
    {"X", Field::kStored, 0, nullptr, nullptr, nullptr, -1},
    {"Y", Field::kStored, 0, nullptr, nullptr, nullptr, -1},
    {"Z", Field::kStored, 0, nullptr, nullptr, nullptr, -1},
    {"intensity", Field::kOther, 65535, nullptr, &LasColumns::intensity, nullptr, -1},
    {"return_number", Field::kReturn, 15, &LasColumns::returnNumber, nullptr, nullptr, -1},
    {"number_of_returns", Field::kReturn, 15, &LasColumns::numberOfReturns, nullptr, nullptr, -1},
    {"classification", Field::kClass, 255, &LasColumns::classification, nullptr, nullptr, -1},
    {"user_data", Field::kOther, 255, &LasColumns::userData, nullptr, nullptr, -1},
    {"point_source_id", Field::kOther, 65535, nullptr, &LasColumns::pointSourceId, nullptr, -1},
    {"scan_direction", Field::kOther, 1, &LasColumns::scanDirection, nullptr, nullptr, -1},
    {"edge_of_flight_line", Field::kOther, 1, &LasColumns::edgeOfFlightLine, nullptr, nullptr, -1},
    {"scanner_channel", Field::kChannel, 3, &LasColumns::scannerChannel, nullptr, nullptr, -1},
    {"red", Field::kRgb, 65535, nullptr, &LasColumns::red, nullptr, -1},
    {"green", Field::kRgb, 65535, nullptr, &LasColumns::green, nullptr, -1},
    {"blue", Field::kRgb, 65535, nullptr, &LasColumns::blue, nullptr, -1},
    {"nir", Field::kNir, 65535, nullptr, &LasColumns::nir, nullptr, -1},
    {"synthetic", Field::kOther, 1, nullptr, nullptr, nullptr, 0},
    {"key_point", Field::kOther, 1, nullptr, nullptr, nullptr, 1},
    {"withheld", Field::kOther, 1, nullptr, nullptr, nullptr, 2},
    {"overlap", Field::kOverlap, 1, nullptr, nullptr, nullptr, 3},
    {"scan_angle", Field::kScanAngle, 0, nullptr, nullptr, nullptr, -1},
    {"gps_time", Field::kGpsTime, 0, nullptr, nullptr, &LasColumns::gpsTime, -1},
    {"skip", Field::kSkip, 0, nullptr, nullptr, nullptr, -1},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The digits after the point a number's text gives ("1.25": 2, "1.5e-3": 4).
int decimalsOfText(std::string_view t) {
    const size_t e = t.find_first_of("eE");
    const std::string_view mantissa = t.substr(0, e);
    const size_t point = mantissa.find('.');
    int digits = point == std::string_view::npos ? 0 : int(mantissa.size() - point - 1);
    if (e != std::string_view::npos) {
        int exponent = 0;
        const char* first = t.data() + e + 1 + (e + 1 < t.size() && t[e + 1] == '+');
        std::from_chars(first, t.data() + t.size(), exponent);
        digits = exponent > 0 ? std::max(0, digits - std::min(exponent, 400))
                              : digits + std::min(-exponent, 400);
    }
    return digits;
}

// Point `i` of every column zero: the fields the text does not name.
void clearPoint(const LasColumns& c, size_t i) {
    las::forEachColumn(c, [i](auto* column) {
        if (column) column[i] = 0;
    });
}

}  // namespace

struct LasTextReader::Impl {
    std::ifstream in;
    std::vector<const FieldName*> fields;
    std::string names;  // the fields as given, comma-separated: a header line that repeats them
    char separator = 0;
    bool decided = false;  // whether automatic splitting has chosen commas or blanks
    LasFileHeader header;
    uint64_t points = 0, delivered = 0, line = 0;
    std::string error, warning, text;
    std::vector<std::string_view> tokens;
    std::vector<double> values;

    // Reads the next line that holds a point into `values`; false at the end or on a fault
    // (error set).
    bool next() {
        while (std::getline(in, text)) {
            ++line;
            if (text.size() > las::kMaxTextLineBytes)
                return fail("is longer than " + std::to_string(las::kMaxTextLineBytes) + " bytes");
            if (!text.empty() && text.back() == '\r') text.pop_back();
            const std::string_view t = trimmed(text);
            if (t.empty() || t.front() == '#') continue;
            split(t);
            if (line == 1 && joined() == names) continue;  // the header line to-text writes
            return parse();
        }
        return false;
    }

    bool fail(const std::string& why) {
        error = "line " + std::to_string(line) + " " + why;
        return false;
    }

    std::string joined() const {
        std::string s;
        for (const std::string_view t : tokens) s += (s.empty() ? "" : ",") + std::string(t);
        return s;
    }

    void split(std::string_view t) {
        if (!decided) {
            if (separator == 0 && t.find(',') != std::string_view::npos) separator = ',';
            decided = true;
        }
        tokens.clear();
        if (separator == 0) {
            size_t at = 0;
            while (at < t.size()) {
                const size_t end = std::min(t.size(), t.find_first_of(" \t", at));
                tokens.push_back(t.substr(at, end - at));
                at = t.find_first_not_of(" \t", end);
            }
            return;
        }
        for (size_t at = 0;;) {
            const size_t end = t.find(separator, at);
            tokens.push_back(trimmed(t.substr(at, end - at)));
            if (end == std::string_view::npos) break;
            at = end + 1;
        }
    }

    bool parse() {
        if (tokens.size() != fields.size())
            return fail("has " + std::to_string(tokens.size()) + " values where " +
                        std::to_string(fields.size()) + " fields are named (" + names + ")");
        values.resize(fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            const FieldName& f = *fields[i];
            if (f.field == Field::kSkip) continue;
            const std::string_view t = tokens[i];
            const std::string quoted = std::string(f.name) + " '" + std::string(t) + "'";
            if (f.max > 0) {
                unsigned long long v = 0;
                const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
                if (t.empty() || r.ec == std::errc::invalid_argument ||
                    r.ptr != t.data() + t.size())
                    return fail("has " + quoted + ", not a whole number");
                if (r.ec == std::errc::result_out_of_range || double(v) > f.max)
                    return fail("has " + quoted + ", beyond its largest value " +
                                std::to_string(static_cast<unsigned>(f.max)));
                values[i] = double(v);
            } else {
                // A leading '+' is not taken by from_chars: every other number text is.
                const char* first = t.data() + (!t.empty() && t[0] == '+');
                double v = 0;
                const auto r = std::from_chars(first, t.data() + t.size(), v);
                // A time is stored as it is, NaN too (as to-text writes it); coordinates and
                // angles become integers.
                if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size() ||
                    (!std::isfinite(v) && f.field != Field::kGpsTime))
                    return fail("has " + quoted + ", not a finite number");
                values[i] = v;
            }
        }
        return true;
    }
};

LasTextReader::LasTextReader() : m_impl(std::make_unique<Impl>()) {}
LasTextReader::~LasTextReader() = default;

const std::vector<std::string>& LasTextReader::fieldNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const FieldName& f : kFields) v.push_back(f.name);
        return v;
    }();
    return names;
}

const std::string& LasTextReader::error() const {
    return m_impl->error;
}

const std::string& LasTextReader::warning() const {
    return m_impl->warning;
}

const LasFileHeader& LasTextReader::header() const {
    return m_impl->header;
}

uint64_t LasTextReader::pointCount() const {
    return m_impl->points;
}

int LasTextReader::open(const char* path, const std::vector<std::string>& names, char separator) {
    Impl& m = *m_impl;
    m.in.close();
    m.in.clear();
    m.fields.clear();
    m.names.clear();
    m.separator = separator;
    m.decided = separator != 0;
    m.header = LasFileHeader();
    m.points = m.delivered = m.line = 0;
    m.error.clear();
    m.warning.clear();
    bool axes[3] = {false, false, false};
    uint32_t needs = 0;  // the field groups the fields and their values ask for
    for (const std::string& name : names) {
        const FieldName* found = nullptr;
        for (const FieldName& f : kFields)
            if (name == f.name) found = &f;
        if (!found) {
            m.error = "unknown field '" + name + "' (known: ";
            for (const std::string& n : fieldNames())
                m.error += n + (&n == &fieldNames().back() ? ")" : ",");
            return -2;
        }
        if (found->field == Field::kStored) {
            m.error =
                "X, Y and Z are stored integers, which mean nothing without the scale and "
                "offset they were stored with: give x, y and z";
            return -2;
        }
        if (found->field <= Field::kZ) axes[static_cast<int>(found->field)] = true;
        if (found->field == Field::kGpsTime) needs |= kLasGpsTimeGroup;
        if (found->field == Field::kRgb) needs |= kLasRgbGroup;
        if (found->field == Field::kNir) needs |= kLasNirGroup;
        m.fields.push_back(found);
        m.names += (m.names.empty() ? "" : ",") + name;
    }
    if (!axes[0] || !axes[1] || !axes[2]) {
        m.error = "the fields must name x, y and z";
        return -2;
    }
    if (!path) return -1;  // the fields alone were to be checked
    m.in.open(path, std::ios::binary);
    if (!m.in) {
        m.error = "cannot open the file";
        return -1;
    }
    int decimals[3] = {0, 0, 0};
    bool extended = false;  // a value only formats 6 to 10 hold
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) lo[a] = HUGE_VAL, hi[a] = -HUGE_VAL;
    while (m.next()) {
        ++m.points;
        for (size_t i = 0; i < m.fields.size(); ++i) {
            const double v = m.values[i];
            switch (m.fields[i]->field) {
                case Field::kX:
                case Field::kY:
                case Field::kZ: {
                    const int a = static_cast<int>(m.fields[i]->field);
                    decimals[a] = std::max(decimals[a], decimalsOfText(m.tokens[i]));
                    lo[a] = std::min(lo[a], v), hi[a] = std::max(hi[a], v);
                    break;
                }
                case Field::kReturn:
                    extended |= v > 7;
                    break;
                case Field::kClass:
                    extended |= v > 31;
                    break;
                case Field::kChannel:
                case Field::kOverlap:
                    extended |= v != 0;
                    break;
                case Field::kScanAngle:
                    extended |= v != std::round(v) || std::fabs(v) > 90;
                    break;
                default:
                    break;
            }
        }
    }
    if (!m.error.empty()) return -2;
    if (m.in.bad()) {
        m.error = "cannot read the file";
        return -1;
    }
    LasFileHeader& h = m.header;
    h.pointFormat = lasPointFormatFor(needs | (extended ? kLasExtendedGroup : 0u));
    h.versionMinor = h.pointFormat >= 6 ? 4 : 2;
    h.recordLength = lasStandardRecordLength(h.pointFormat);
    const char axisName[3] = {'x', 'y', 'z'};
    for (int a = 0; a < 3; ++a) {
        const double middle = m.points ? std::round((lo[a] + hi[a]) / 2) : 0.0;
        const double half = m.points ? std::max(hi[a] - middle, middle - lo[a]) : 0.0;
        // The finest scale whose steps from the offset stay within 32-bit integers.
        int d = std::min(decimals[a], las::kMaxTextDecimals);
        while (d > 0 && half * std::pow(10.0, d) >= 2147483647.0) --d;
        if (half >= 2147483647.0) {
            m.error = std::string("the ") + axisName[a] +
                      " values span more than 32-bit integers "
                      "hold in whole units";
            return -2;
        }
        if (d < decimals[a])
            m.warning += std::string(m.warning.empty() ? "" : "; ") + axisName[a] + " has " +
                         std::to_string(decimals[a]) + " digits after the point, of which " +
                         std::to_string(d) + " fit 32-bit integers over its range";
        h.scale[a] = 1.0 / std::pow(10.0, d);  // the double nearest 10^-d
        h.offset[a] = middle + 0.0;  // never -0
    }
    m.in.clear();
    m.in.seekg(0);
    m.line = 0;
    m.decided = separator != 0;
    m.separator = separator;
    return 0;
}

size_t LasTextReader::read(const LasColumns& c, size_t max) {
    Impl& m = *m_impl;
    size_t n = 0;
    while (n < max && m.delivered < m.points) {
        if (!m.next()) {
            if (m.error.empty()) m.error = "the file ended before the points it held at open";
            return n;
        }
        clearPoint(c, n);
        for (size_t i = 0; i < m.fields.size(); ++i) {
            const FieldName& f = *m.fields[i];
            const double v = m.values[i];
            if (f.u8 && c.*f.u8) (c.*f.u8)[n] = static_cast<uint8_t>(v);
            if (f.u16 && c.*f.u16) (c.*f.u16)[n] = static_cast<uint16_t>(v);
            if (f.real && c.*f.real) (c.*f.real)[n] = v;
            if (f.flag >= 0 && c.classificationFlags)
                c.classificationFlags[n] |=
                    static_cast<uint8_t>(static_cast<unsigned>(v) << f.flag);
            if (f.field == Field::kScanAngle && c.scanAngleDegrees)
                c.scanAngleDegrees[n] = static_cast<float>(v);
        }
        ++n;
        ++m.delivered;
    }
    return n;
}

}  // namespace orv
