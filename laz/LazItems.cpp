#include "laz/LazItems.h"

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "platform/LittleEndian.h"

namespace orv::laz {

using platform::load;
using platform::store;

namespace {

// Whether a VLR entry names this type, version and size.
bool is(const ItemDescriptor& s, uint16_t type, uint16_t version, uint16_t size) {
    return s.type == type && s.version == version && s.size == size;
}

uint8_t fold8(int32_t n) {
    return static_cast<uint8_t>(n);
}  // wraps into 0..255
int32_t clamp8(int32_t n) {
    return n < 0 ? 0 : (n > 255 ? 255 : n);
}
uint32_t zeroBit0(uint32_t n) {
    return n & ~1u;
}

// Running median of the last five values, cheap to update one value at a time.
struct Median5 {
    int32_t v[5] = {0, 0, 0, 0, 0};
    bool high = true;
    int32_t get() const { return v[2]; }
    ORV_LAZ_HOT void add(int32_t x) {
        if (high) {
            if (x < v[2]) {
                v[4] = v[3];
                v[3] = v[2];
                if (x < v[0]) {
                    v[2] = v[1];
                    v[1] = v[0];
                    v[0] = x;
                } else if (x < v[1]) {
                    v[2] = v[1];
                    v[1] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (x < v[3]) {
                    v[4] = v[3];
                    v[3] = x;
                } else {
                    v[4] = x;
                }
                high = false;
            }
        } else {
            if (v[2] < x) {
                v[0] = v[1];
                v[1] = v[2];
                if (v[4] < x) {
                    v[2] = v[3];
                    v[3] = v[4];
                    v[4] = x;
                } else if (v[3] < x) {
                    v[2] = v[3];
                    v[3] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (v[1] < x) {
                    v[0] = v[1];
                    v[1] = x;
                } else {
                    v[0] = x;
                }
                high = true;
            }
        }
    }
};

// Return number r and number of returns n (3 bits each) to a context (map) and to a distance
// from the last return (level); combinations real files get wrong keep contexts of their own.
constexpr uint8_t kReturnMap[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},
    {13, 1, 2, 4, 7, 11, 11, 10},    {12, 3, 4, 5, 8, 12, 12, 11},
    {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15}};
uint32_t returnLevel(uint32_t n, uint32_t r) {
    return n > r ? n - r : r - n;
}

// The same for 4-bit return fields, folded into 6 contexts and 8 levels.
constexpr uint8_t kReturnMap6[16][16] = {{0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5},
                                         {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
                                         {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3},
                                         {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
                                         {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
                                         {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5},
                                         {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};
uint32_t returnLevel8(uint32_t n, uint32_t r) {
    const uint32_t d = n > r ? n - r : r - n;
    return d > 7 ? 7 : d;
}

// ---- GPS time: up to four interleaved time sequences, each predicted by its last step ----

constexpr int32_t kMulti = 500;
constexpr int32_t kMultiMinus = -10;

struct GpsState {
    uint32_t last = 0, next = 0;
    uint64_t time[4] = {0, 0, 0, 0};
    int32_t diff[4] = {0, 0, 0, 0};
    int32_t extreme[4] = {0, 0, 0, 0};
};

// The coding of GPS times. The pointwise form also codes "unchanged" (its symbols sit one
// higher); the layered form knows from the core item whether the time changed.
class GpsCodec {
public:
    explicit GpsCodec(bool pointwise)
        : m_u(pointwise ? 1 : 0), m_multiModel(515 + m_u), m_zeroModel(5 + m_u), m_ic(32, 9) {}
    void init() {
        m_multiModel.init();
        m_zeroModel.init();
        m_ic.init();
    }
    int32_t codeFull() const { return 511 + m_u; }

    // Decodes the next time into s.time[s.last]. Sequence switches are bounded: a stream that
    // keeps switching is damaged.
    void decode(Decoder& dec, GpsState& s) {
        for (int round = 0; round < 8; ++round) {
            uint64_t& t = s.time[s.last];
            if (s.diff[s.last] == 0) {
                const int32_t multi = int32_t(dec.decodeSymbol(m_zeroModel));
                if (multi == m_u - 1) return;  // pointwise "unchanged"
                if (multi == m_u) {
                    s.diff[s.last] = m_ic.decompress(dec, 0, 0);
                    t += uint64_t(int64_t(s.diff[s.last]));
                    s.extreme[s.last] = 0;
                } else if (multi == m_u + 1) {
                    full(dec, s);
                } else {
                    s.last = (s.last + uint32_t(multi - m_u - 1)) & 3;
                    continue;
                }
                return;
            }
            const int32_t multi = int32_t(dec.decodeSymbol(m_multiModel));
            if (multi == 1) {
                t += uint64_t(int64_t(m_ic.decompress(dec, s.diff[s.last], 1)));
                s.extreme[s.last] = 0;
            } else if (multi < 511) {
                int32_t d;
                const uint32_t last = uint32_t(s.diff[s.last]);
                if (multi == 0) {
                    d = m_ic.decompress(dec, 0, 7);
                    extreme(s, d);
                } else if (multi < kMulti) {
                    d = m_ic.decompress(dec, int32_t(uint32_t(multi) * last), multi < 10 ? 2 : 3);
                } else if (multi == kMulti) {
                    d = m_ic.decompress(dec, int32_t(uint32_t(kMulti) * last), 4);
                    extreme(s, d);
                } else {
                    const int32_t m = kMulti - multi;
                    if (m > kMultiMinus) {
                        d = m_ic.decompress(dec, int32_t(uint32_t(m) * last), 5);
                    } else {
                        d = m_ic.decompress(dec, int32_t(uint32_t(kMultiMinus) * last), 6);
                        extreme(s, d);
                    }
                }
                t += uint64_t(int64_t(d));
            } else if (multi == codeFull()) {
                full(dec, s);
            } else if (multi > codeFull()) {
                s.last = (s.last + uint32_t(multi - codeFull())) & 3;
                continue;
            }
            return;  // multi 511 in the pointwise form: unchanged
        }
    }

    void encode(Encoder& enc, GpsState& s, uint64_t now) {
        for (int round = 0; round < 2; ++round) {
            const uint64_t t = s.time[s.last];
            if (s.diff[s.last] == 0) {
                if (m_u && now == t) {
                    enc.encodeSymbol(m_zeroModel, 0);
                    return;
                }
                const int64_t d64 = int64_t(now - t);
                if (d64 == int64_t(int32_t(d64))) {
                    enc.encodeSymbol(m_zeroModel, uint32_t(m_u));
                    m_ic.compress(enc, 0, int32_t(d64), 0);
                    s.diff[s.last] = int32_t(d64);
                    s.extreme[s.last] = 0;
                    s.time[s.last] = now;
                    return;
                }
                const int other = otherSequence(s, now);
                if (other && round == 0) {
                    enc.encodeSymbol(m_zeroModel, uint32_t(m_u + 1 + other));
                    s.last = (s.last + uint32_t(other)) & 3;
                    continue;
                }
                enc.encodeSymbol(m_zeroModel, uint32_t(m_u + 1));
                encodeFull(enc, s, now);
                return;
            }
            if (m_u && now == t) {
                enc.encodeSymbol(m_multiModel, 511);
                return;
            }
            const int64_t d64 = int64_t(now - t);
            if (d64 == int64_t(int32_t(d64))) {
                const int32_t d = int32_t(d64);
                const uint32_t last = uint32_t(s.diff[s.last]);
                float f = float(d) / float(s.diff[s.last]);
                if (f > 1e6f) f = 1e6f;
                if (f < -1e6f) f = -1e6f;
                const int32_t multi = f >= 0 ? int32_t(f + 0.5f) : int32_t(f - 0.5f);
                if (multi == 1) {
                    enc.encodeSymbol(m_multiModel, 1);
                    m_ic.compress(enc, s.diff[s.last], d, 1);
                    s.extreme[s.last] = 0;
                } else if (multi > 0) {
                    if (multi < kMulti) {
                        enc.encodeSymbol(m_multiModel, uint32_t(multi));
                        m_ic.compress(enc, int32_t(uint32_t(multi) * last), d, multi < 10 ? 2 : 3);
                    } else {
                        enc.encodeSymbol(m_multiModel, uint32_t(kMulti));
                        m_ic.compress(enc, int32_t(uint32_t(kMulti) * last), d, 4);
                        extreme(s, d);
                    }
                } else if (multi < 0) {
                    if (multi > kMultiMinus) {
                        enc.encodeSymbol(m_multiModel, uint32_t(kMulti - multi));
                        m_ic.compress(enc, int32_t(uint32_t(multi) * last), d, 5);
                    } else {
                        enc.encodeSymbol(m_multiModel, uint32_t(kMulti - kMultiMinus));
                        m_ic.compress(enc, int32_t(uint32_t(kMultiMinus) * last), d, 6);
                        extreme(s, d);
                    }
                } else {
                    enc.encodeSymbol(m_multiModel, 0);
                    m_ic.compress(enc, 0, d, 7);
                    extreme(s, d);
                }
                s.time[s.last] = now;
                return;
            }
            const int other = otherSequence(s, now);
            if (other && round == 0) {
                enc.encodeSymbol(m_multiModel, uint32_t(codeFull() + other));
                s.last = (s.last + uint32_t(other)) & 3;
                continue;
            }
            enc.encodeSymbol(m_multiModel, uint32_t(codeFull()));
            encodeFull(enc, s, now);
            return;
        }
    }

private:
    static void extreme(GpsState& s, int32_t d) {
        if (++s.extreme[s.last] > 3) {
            s.diff[s.last] = d;
            s.extreme[s.last] = 0;
        }
    }
    void full(Decoder& dec, GpsState& s) {
        s.next = (s.next + 1) & 3;
        const uint64_t high =
            uint32_t(m_ic.decompress(dec, int32_t(uint32_t(s.time[s.last] >> 32)), 8));
        s.time[s.next] = (high << 32) | dec.readInt();
        s.last = s.next;
        s.diff[s.last] = 0;
        s.extreme[s.last] = 0;
    }
    void encodeFull(Encoder& enc, GpsState& s, uint64_t now) {
        m_ic.compress(enc, int32_t(uint32_t(s.time[s.last] >> 32)), int32_t(uint32_t(now >> 32)),
                      8);
        enc.writeInt(uint32_t(now));
        s.next = (s.next + 1) & 3;
        s.last = s.next;
        s.diff[s.last] = 0;
        s.extreme[s.last] = 0;
        s.time[s.last] = now;
    }
    // 1 to 3: the sequence, counted on from the current one, whose last time is within 32 bits.
    static int otherSequence(const GpsState& s, uint64_t now) {
        for (int i = 1; i < 4; ++i) {
            const int64_t d = int64_t(now - s.time[(s.last + uint32_t(i)) & 3]);
            if (d == int64_t(int32_t(d))) return i;
        }
        return 0;
    }

    int32_t m_u;
    SymbolModel m_multiModel, m_zeroModel;
    IntegerCodec m_ic;
};

// ---- Pointwise items ----

// The 20-byte core of formats 0 to 5:
//   0 X i32 | 4 Y i32 | 8 Z i32 | 12 intensity u16 | 14 return bits: r 0-2, n 3-5, scan
//   direction 6, edge 7 | 15 classification | 16 scan angle rank i8 | 17 user data |
//   18 point source ID u16
class Point10 final : public PointwiseItem {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemPoint10, 2, 20); }
    explicit Point10(const ItemDescriptor&)
        : m_changed(64),
          m_scanAngle{SymbolModel(256), SymbolModel(256)},
          m_intensity(16, 4),
          m_source(16, 1),
          m_dx(32, 2),
          m_dy(32, 22),
          m_z(32, 20) {}

    void init(const uint8_t* first) override {
        for (int i = 0; i < 16; ++i) {
            m_medX[i] = Median5();
            m_medY[i] = Median5();
            m_lastIntensity[i] = 0;
            m_lastHeight[i / 2] = 0;
        }
        m_changed.init();
        m_intensity.init();
        m_scanAngle[0].init();
        m_scanAngle[1].init();
        m_source.init();
        m_dx.init();
        m_dy.init();
        m_z.init();
        for (int i = 0; i < 256; ++i) {
            m_bitByte[i].reset();
            m_class[i].reset();
            m_user[i].reset();
        }
        std::memcpy(m_last, first, 20);
        store<uint16_t>(m_last + 12,
                        0);  // intensity is predicted from its own history, not the raw point
    }

    void decode(Decoder& dec, uint8_t* out) override {
        const uint32_t changed = dec.decodeSymbol(m_changed);
        uint32_t r, n, m, l;
        if (changed) {
            if (changed & 32)
                m_last[14] = uint8_t(dec.decodeSymbol(m_bitByte[m_last[14]].get(256)));
            r = m_last[14] & 7;
            n = (m_last[14] >> 3) & 7;
            m = kReturnMap[n][r];
            l = returnLevel(n, r);
            if (changed & 16) {
                m_lastIntensity[m] =
                    uint16_t(m_intensity.decompress(dec, m_lastIntensity[m], m < 3 ? m : 3));
            }
            store<uint16_t>(m_last + 12, m_lastIntensity[m]);
            if (changed & 8) m_last[15] = uint8_t(dec.decodeSymbol(m_class[m_last[15]].get(256)));
            if (changed & 4) {
                const uint32_t v = dec.decodeSymbol(m_scanAngle[(m_last[14] >> 6) & 1]);
                m_last[16] = fold8(int32_t(v + m_last[16]));
            }
            if (changed & 2) m_last[17] = uint8_t(dec.decodeSymbol(m_user[m_last[17]].get(256)));
            if (changed & 1)
                store<uint16_t>(m_last + 18,
                                uint16_t(m_source.decompress(dec, load<uint16_t>(m_last + 18), 0)));
        } else {
            r = m_last[14] & 7;
            n = (m_last[14] >> 3) & 7;
            m = kReturnMap[n][r];
            l = returnLevel(n, r);
        }
        int32_t diff = m_dx.decompress(dec, m_medX[m].get(), n == 1);
        store<int32_t>(m_last, int32_t(uint32_t(load<int32_t>(m_last)) + uint32_t(diff)));
        m_medX[m].add(diff);
        uint32_t k = m_dx.k();
        diff = m_dy.decompress(dec, m_medY[m].get(), (n == 1) + (k < 20 ? zeroBit0(k) : 20));
        store<int32_t>(m_last + 4, int32_t(uint32_t(load<int32_t>(m_last + 4)) + uint32_t(diff)));
        m_medY[m].add(diff);
        k = (m_dx.k() + m_dy.k()) / 2;
        const int32_t z =
            m_z.decompress(dec, m_lastHeight[l], (n == 1) + (k < 18 ? zeroBit0(k) : 18));
        store<int32_t>(m_last + 8, z);
        m_lastHeight[l] = z;
        std::memcpy(out, m_last, 20);
    }

    void encode(Encoder& enc, const uint8_t* item) override {
        const uint32_t r = item[14] & 7, n = (item[14] >> 3) & 7;
        const uint32_t m = kReturnMap[n][r], l = returnLevel(n, r);
        const uint16_t intensity = load<uint16_t>(item + 12);
        const uint32_t changed = (uint32_t(m_last[14] != item[14]) << 5) |
                                 (uint32_t(m_lastIntensity[m] != intensity) << 4) |
                                 (uint32_t(m_last[15] != item[15]) << 3) |
                                 (uint32_t(m_last[16] != item[16]) << 2) |
                                 (uint32_t(m_last[17] != item[17]) << 1) |
                                 uint32_t(load<uint16_t>(m_last + 18) != load<uint16_t>(item + 18));
        enc.encodeSymbol(m_changed, changed);
        if (changed & 32) enc.encodeSymbol(m_bitByte[m_last[14]].get(256), item[14]);
        if (changed & 16) {
            m_intensity.compress(enc, m_lastIntensity[m], intensity, m < 3 ? m : 3);
            m_lastIntensity[m] = intensity;
        }
        if (changed & 8) enc.encodeSymbol(m_class[m_last[15]].get(256), item[15]);
        if (changed & 4)
            enc.encodeSymbol(m_scanAngle[(item[14] >> 6) & 1],
                             fold8(int32_t(item[16]) - m_last[16]));
        if (changed & 2) enc.encodeSymbol(m_user[m_last[17]].get(256), item[17]);
        if (changed & 1)
            m_source.compress(enc, load<uint16_t>(m_last + 18), load<uint16_t>(item + 18), 0);
        int32_t diff = int32_t(uint32_t(load<int32_t>(item)) - uint32_t(load<int32_t>(m_last)));
        m_dx.compress(enc, m_medX[m].get(), diff, n == 1);
        m_medX[m].add(diff);
        uint32_t k = m_dx.k();
        diff = int32_t(uint32_t(load<int32_t>(item + 4)) - uint32_t(load<int32_t>(m_last + 4)));
        m_dy.compress(enc, m_medY[m].get(), diff, (n == 1) + (k < 20 ? zeroBit0(k) : 20));
        m_medY[m].add(diff);
        k = (m_dx.k() + m_dy.k()) / 2;
        const int32_t z = load<int32_t>(item + 8);
        m_z.compress(enc, m_lastHeight[l], z, (n == 1) + (k < 18 ? zeroBit0(k) : 18));
        m_lastHeight[l] = z;
        std::memcpy(m_last, item, 20);
        store<uint16_t>(m_last + 12, m_lastIntensity[m]);
    }

private:
    uint8_t m_last[20] = {};
    uint16_t m_lastIntensity[16] = {};
    Median5 m_medX[16], m_medY[16];
    int32_t m_lastHeight[8] = {};
    SymbolModel m_changed;
    SymbolModel m_scanAngle[2];
    LazyModel m_bitByte[256], m_class[256], m_user[256];
    IntegerCodec m_intensity, m_source, m_dx, m_dy, m_z;
};

class GpsTime11 final : public PointwiseItem {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemGpsTime11, 2, 8); }
    explicit GpsTime11(const ItemDescriptor&) : m_codec(true) {}
    void init(const uint8_t* first) override {
        m_state = GpsState();
        m_state.time[0] = load<uint64_t>(first);
        m_codec.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        m_codec.decode(dec, m_state);
        store<uint64_t>(out, m_state.time[m_state.last]);
    }
    void encode(Encoder& enc, const uint8_t* item) override {
        m_codec.encode(enc, m_state, load<uint64_t>(item));
    }

private:
    GpsState m_state;
    GpsCodec m_codec;
};

// Colour: each byte of R is coded against the last point; G and B against the last point
// moved by R's change, since the channels tend to change together.
struct RgbCodec {
    SymbolModel used{128};
    std::array<SymbolModel, 6> diff{SymbolModel(256), SymbolModel(256), SymbolModel(256),
                                    SymbolModel(256), SymbolModel(256), SymbolModel(256)};
    void init() {
        used.init();
        for (auto& d : diff) d.init();
    }
    void decode(Decoder& dec, const uint16_t* last, uint16_t* item) {
        const uint32_t sym = dec.decodeSymbol(used);
        item[0] = (sym & 1) ? fold8(int32_t(dec.decodeSymbol(diff[0]) + (last[0] & 255)))
                            : uint16_t(last[0] & 0xFF);
        if (sym & 2)
            item[0] |= uint16_t(fold8(int32_t(dec.decodeSymbol(diff[1]) + (last[0] >> 8))) << 8);
        else
            item[0] |= uint16_t(last[0] & 0xFF00);
        if (sym & 64) {
            int32_t d = int32_t(item[0] & 255) - int32_t(last[0] & 255);
            item[1] =
                (sym & 4)
                    ? fold8(int32_t(dec.decodeSymbol(diff[2])) + clamp8(d + int32_t(last[1] & 255)))
                    : uint16_t(last[1] & 0xFF);
            if (sym & 16) {
                d = (d + int32_t(item[1] & 255) - int32_t(last[1] & 255)) / 2;
                item[2] =
                    fold8(int32_t(dec.decodeSymbol(diff[4])) + clamp8(d + int32_t(last[2] & 255)));
            } else {
                item[2] = uint16_t(last[2] & 0xFF);
            }
            d = int32_t(item[0] >> 8) - int32_t(last[0] >> 8);
            if (sym & 8)
                item[1] |= uint16_t(
                    fold8(int32_t(dec.decodeSymbol(diff[3])) + clamp8(d + int32_t(last[1] >> 8)))
                    << 8);
            else
                item[1] |= uint16_t(last[1] & 0xFF00);
            if (sym & 32) {
                d = (d + int32_t(item[1] >> 8) - int32_t(last[1] >> 8)) / 2;
                item[2] |= uint16_t(
                    fold8(int32_t(dec.decodeSymbol(diff[5])) + clamp8(d + int32_t(last[2] >> 8)))
                    << 8);
            } else {
                item[2] |= uint16_t(last[2] & 0xFF00);
            }
        } else {
            item[1] = item[0];
            item[2] = item[0];
        }
    }
    void encode(Encoder& enc, const uint16_t* last, const uint16_t* item) {
        uint32_t sym = uint32_t((last[0] & 0xFF) != (item[0] & 0xFF));
        sym |= uint32_t((last[0] & 0xFF00) != (item[0] & 0xFF00)) << 1;
        sym |= uint32_t((last[1] & 0xFF) != (item[1] & 0xFF)) << 2;
        sym |= uint32_t((last[1] & 0xFF00) != (item[1] & 0xFF00)) << 3;
        sym |= uint32_t((last[2] & 0xFF) != (item[2] & 0xFF)) << 4;
        sym |= uint32_t((last[2] & 0xFF00) != (item[2] & 0xFF00)) << 5;
        sym |= uint32_t(item[0] != item[1] || item[0] != item[2]) << 6;
        enc.encodeSymbol(used, sym);
        int32_t dl = 0, dh = 0;
        if (sym & 1) {
            dl = int32_t(item[0] & 255) - int32_t(last[0] & 255);
            enc.encodeSymbol(diff[0], fold8(dl));
        }
        if (sym & 2) {
            dh = int32_t(item[0] >> 8) - int32_t(last[0] >> 8);
            enc.encodeSymbol(diff[1], fold8(dh));
        }
        if (sym & 64) {
            if (sym & 4)
                enc.encodeSymbol(
                    diff[2], fold8(int32_t(item[1] & 255) - clamp8(dl + int32_t(last[1] & 255))));
            if (sym & 16) {
                dl = (dl + int32_t(item[1] & 255) - int32_t(last[1] & 255)) / 2;
                enc.encodeSymbol(
                    diff[4], fold8(int32_t(item[2] & 255) - clamp8(dl + int32_t(last[2] & 255))));
            }
            if (sym & 8)
                enc.encodeSymbol(diff[3],
                                 fold8(int32_t(item[1] >> 8) - clamp8(dh + int32_t(last[1] >> 8))));
            if (sym & 32) {
                dh = (dh + int32_t(item[1] >> 8) - int32_t(last[1] >> 8)) / 2;
                enc.encodeSymbol(diff[5],
                                 fold8(int32_t(item[2] >> 8) - clamp8(dh + int32_t(last[2] >> 8))));
            }
        }
    }
};

void loadRgb(const uint8_t* p, uint16_t* v, int n) {
    std::memcpy(v, p, size_t(n) * 2);
}

class Rgb12 final : public PointwiseItem {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemRgb12, 2, 6); }
    explicit Rgb12(const ItemDescriptor&) {}
    void init(const uint8_t* first) override {
        loadRgb(first, m_last, 3);
        m_codec.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        uint16_t item[3];
        m_codec.decode(dec, m_last, item);
        std::memcpy(m_last, item, 6);
        std::memcpy(out, item, 6);
    }
    void encode(Encoder& enc, const uint8_t* p) override {
        uint16_t item[3];
        loadRgb(p, item, 3);
        m_codec.encode(enc, m_last, item);
        std::memcpy(m_last, item, 6);
    }

private:
    uint16_t m_last[3] = {};
    RgbCodec m_codec;
};

// Extra bytes: each byte coded as its difference to the same byte of the last point.
class Bytes final : public PointwiseItem {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemByte, 2, s.size) && s.size; }
    explicit Bytes(const ItemDescriptor& s) : m_last(s.size) {
        for (size_t i = 0; i < s.size; ++i) m_models.emplace_back(256);
    }
    void init(const uint8_t* first) override {
        std::memcpy(m_last.data(), first, m_last.size());
        for (auto& m : m_models) m.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        for (size_t i = 0; i < m_last.size(); ++i)
            m_last[i] = fold8(int32_t(m_last[i] + dec.decodeSymbol(m_models[i])));
        std::memcpy(out, m_last.data(), m_last.size());
    }
    void encode(Encoder& enc, const uint8_t* item) override {
        for (size_t i = 0; i < m_last.size(); ++i)
            enc.encodeSymbol(m_models[i], fold8(int32_t(item[i]) - m_last[i]));
        std::memcpy(m_last.data(), item, m_last.size());
    }

private:
    std::vector<uint8_t> m_last;
    std::vector<SymbolModel> m_models;
};

// ---- The first versions of the pointwise items, as files of unchunked compression hold
// them. The writer never chooses them: they are decoded only.

class DecodedOnly : public PointwiseItem {
public:
    void encode(Encoder&, const uint8_t*) final {}
};

// Median of the last three values.
int32_t median3(const int32_t* v) {
    if (v[0] < v[1]) return v[1] < v[2] ? v[1] : (v[0] < v[2] ? v[2] : v[0]);
    return v[0] < v[2] ? v[0] : (v[1] < v[2] ? v[2] : v[1]);
}

class Point10v1 final : public DecodedOnly {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemPoint10, 1, 20); }
    explicit Point10v1(const ItemDescriptor&) {}
    void init(const uint8_t* first) override {
        std::memcpy(m_last, first, 20);
        std::memset(m_lastDx, 0, sizeof m_lastDx);
        std::memset(m_lastDy, 0, sizeof m_lastDy);
        m_next = 0;
        for (IntegerCodec* ic : {&m_dx, &m_dy, &m_z, &m_intensity, &m_angle, &m_source}) ic->init();
        m_changed.init();
        for (int i = 0; i < 256; ++i) {
            m_bitByte[i].reset();
            m_class[i].reset();
            m_user[i].reset();
        }
    }
    void decode(Decoder& dec, uint8_t* out) override {
        const int32_t dx = m_dx.decompress(dec, median3(m_lastDx), 0);
        store<int32_t>(m_last, int32_t(uint32_t(load<int32_t>(m_last)) + uint32_t(dx)));
        uint32_t k = m_dx.k();
        const int32_t dy = m_dy.decompress(dec, median3(m_lastDy), k < 19 ? k : 19);
        store<int32_t>(m_last + 4, int32_t(uint32_t(load<int32_t>(m_last + 4)) + uint32_t(dy)));
        k = (k + m_dy.k()) / 2;
        store<int32_t>(m_last + 8, m_z.decompress(dec, load<int32_t>(m_last + 8), k < 19 ? k : 19));
        const uint32_t changed = dec.decodeSymbol(m_changed);
        if (changed & 32)
            store<uint16_t>(m_last + 12,
                            uint16_t(m_intensity.decompress(dec, load<uint16_t>(m_last + 12), 0)));
        if (changed & 16) m_last[14] = uint8_t(dec.decodeSymbol(m_bitByte[m_last[14]].get(256)));
        if (changed & 8) m_last[15] = uint8_t(dec.decodeSymbol(m_class[m_last[15]].get(256)));
        if (changed & 4) m_last[16] = uint8_t(m_angle.decompress(dec, m_last[16], k < 3));
        if (changed & 2) m_last[17] = uint8_t(dec.decodeSymbol(m_user[m_last[17]].get(256)));
        if (changed & 1)
            store<uint16_t>(m_last + 18,
                            uint16_t(m_source.decompress(dec, load<uint16_t>(m_last + 18), 0)));
        m_lastDx[m_next] = dx;
        m_lastDy[m_next] = dy;
        m_next = (m_next + 1) % 3;
        std::memcpy(out, m_last, 20);
    }

private:
    uint8_t m_last[20] = {};
    int32_t m_lastDx[3] = {}, m_lastDy[3] = {};
    uint32_t m_next = 0;
    IntegerCodec m_dx{32, 1}, m_dy{32, 20}, m_z{32, 20}, m_intensity{16, 1}, m_angle{8, 2},
        m_source{16, 1};
    SymbolModel m_changed{64};
    LazyModel m_bitByte[256], m_class[256], m_user[256];
};

class GpsTime11v1 final : public DecodedOnly {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemGpsTime11, 1, 8); }
    explicit GpsTime11v1(const ItemDescriptor&) {}
    void init(const uint8_t* first) override {
        m_last = load<uint64_t>(first);
        m_lastDiff = 0;
        m_extreme = 0;
        m_multi.init();
        m_zero.init();
        m_ic.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        if (m_lastDiff == 0) {
            const uint32_t multi = dec.decodeSymbol(m_zero);
            if (multi == 1) {
                m_lastDiff = m_ic.decompress(dec, 0, 0);
                m_last += uint64_t(int64_t(m_lastDiff));
            } else if (multi == 2) {
                m_last = readInt64(dec);
            }
        } else {
            const uint32_t multi = dec.decodeSymbol(m_multi);
            if (multi < kMultiMax - 2) {
                const uint32_t last = uint32_t(m_lastDiff);
                int32_t diff;
                if (multi == 1) {
                    diff = m_ic.decompress(dec, m_lastDiff, 1);
                    m_lastDiff = diff;
                    m_extreme = 0;
                } else if (multi == 0) {
                    diff = m_ic.decompress(dec, m_lastDiff / 4, 2);
                    extreme(diff);
                } else {
                    diff = m_ic.decompress(dec, int32_t(multi * last),
                                           multi < 10 ? 3 : (multi < 50 ? 4 : 5));
                    if (multi == kMultiMax - 3) extreme(diff);
                }
                m_last += uint64_t(int64_t(diff));
            } else if (multi < kMultiMax - 1) {
                m_last = readInt64(dec);
            }
        }
        store<uint64_t>(out, m_last);
    }

private:
    static constexpr uint32_t kMultiMax = 512;
    static uint64_t readInt64(Decoder& dec) {
        const uint64_t low = dec.readInt();
        return (uint64_t(dec.readInt()) << 32) | low;
    }
    void extreme(int32_t diff) {
        if (++m_extreme > 3) {
            m_lastDiff = diff;
            m_extreme = 0;
        }
    }

    uint64_t m_last = 0;
    int32_t m_lastDiff = 0;
    int32_t m_extreme = 0;
    SymbolModel m_multi{kMultiMax}, m_zero{3};
    IntegerCodec m_ic{32, 6};
};

// Colour: each byte that changed, against the same byte of the last point.
class Rgb12v1 final : public DecodedOnly {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemRgb12, 1, 6); }
    explicit Rgb12v1(const ItemDescriptor&) {}
    void init(const uint8_t* first) override {
        std::memcpy(m_last, first, 6);
        m_used.init();
        m_ic.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        const uint32_t sym = dec.decodeSymbol(m_used);
        for (uint32_t i = 0; i < 6; ++i)
            if (sym & (1u << i)) m_last[i] = uint8_t(m_ic.decompress(dec, m_last[i], i));
        std::memcpy(out, m_last, 6);
    }

private:
    uint8_t m_last[6] = {};
    SymbolModel m_used{64};
    IntegerCodec m_ic{8, 6};
};

class Bytes1 final : public DecodedOnly {
public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemByte, 1, s.size) && s.size; }
    explicit Bytes1(const ItemDescriptor& s) : m_last(s.size), m_ic(8, s.size) {}
    void init(const uint8_t* first) override {
        std::memcpy(m_last.data(), first, m_last.size());
        m_ic.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        for (size_t i = 0; i < m_last.size(); ++i)
            m_last[i] = uint8_t(m_ic.decompress(dec, m_last[i], uint32_t(i)));
        std::memcpy(out, m_last.data(), m_last.size());
    }

private:
    std::vector<uint8_t> m_last;
    IntegerCodec m_ic;
};

// Wave packets: a descriptor index, then 28 bytes: the packet's offset in the waveform data
// (u64), its size (u32), the return point's place in it and the direction (four 32-bit
// floats, coded as integers). The offset mostly stays or moves on by the last packet's size.
class WaveCodec {
public:
    static constexpr size_t kSize = 29;

    void init() {
        m_index.init();
        for (auto& m : m_offsetSym) m.init();
        m_offset.init();
        m_packetSize.init();
        m_returnPoint.init();
        m_xyz.init();
        m_lastDiff = 0;
        m_lastSym = 0;
    }
    void decode(Decoder& dec, const uint8_t* last, uint8_t* out) {
        out[0] = uint8_t(dec.decodeSymbol(m_index));
        const uint64_t lastOffset = load<uint64_t>(last + 1);
        const uint32_t lastSize = load<uint32_t>(last + 9);
        m_lastSym = dec.decodeSymbol(m_offsetSym[m_lastSym]);
        uint64_t offset;
        if (m_lastSym == 0) {
            offset = lastOffset;
        } else if (m_lastSym == 1) {
            offset = lastOffset + lastSize;
        } else if (m_lastSym == 2) {
            m_lastDiff = m_offset.decompress(dec, m_lastDiff, 0);
            offset = lastOffset + uint64_t(int64_t(m_lastDiff));
        } else {
            offset = dec.readInt();
            offset |= uint64_t(dec.readInt()) << 32;
        }
        store<uint64_t>(out + 1, offset);
        store<uint32_t>(out + 9, uint32_t(m_packetSize.decompress(dec, int32_t(lastSize), 0)));
        store<int32_t>(out + 13, m_returnPoint.decompress(dec, load<int32_t>(last + 13), 0));
        for (uint32_t i = 0; i < 3; ++i) {
            const size_t at = 17 + 4 * i;
            store<int32_t>(out + at, m_xyz.decompress(dec, load<int32_t>(last + at), i));
        }
    }
    void encode(Encoder& enc, const uint8_t* last, const uint8_t* item) {
        enc.encodeSymbol(m_index, item[0]);
        const uint64_t offset = load<uint64_t>(item + 1);
        const uint32_t lastSize = load<uint32_t>(last + 9);
        const int64_t diff = int64_t(offset - load<uint64_t>(last + 1));
        uint32_t sym = 3;
        if (diff == int64_t(int32_t(diff)))
            sym = diff == 0 ? 0 : (diff == int32_t(lastSize) ? 1 : 2);
        enc.encodeSymbol(m_offsetSym[m_lastSym], sym);
        m_lastSym = sym;
        if (sym == 2) {
            m_offset.compress(enc, m_lastDiff, int32_t(diff), 0);
            m_lastDiff = int32_t(diff);
        } else if (sym == 3) {
            enc.writeInt(uint32_t(offset));
            enc.writeInt(uint32_t(offset >> 32));
        }
        m_packetSize.compress(enc, int32_t(lastSize), load<int32_t>(item + 9), 0);
        m_returnPoint.compress(enc, load<int32_t>(last + 13), load<int32_t>(item + 13), 0);
        for (uint32_t i = 0; i < 3; ++i) {
            const size_t at = 17 + 4 * i;
            m_xyz.compress(enc, load<int32_t>(last + at), load<int32_t>(item + at), i);
        }
    }

private:
    SymbolModel m_index{256};
    SymbolModel m_offsetSym[4] = {SymbolModel(4), SymbolModel(4), SymbolModel(4), SymbolModel(4)};
    IntegerCodec m_offset{32, 1}, m_packetSize{32, 1}, m_returnPoint{32, 1}, m_xyz{32, 3};
    int32_t m_lastDiff = 0;
    uint32_t m_lastSym = 0;
};

class WavePacket13 final : public PointwiseItem {
public:
    // Wave packets have only the first version of their coding.
    static bool accepts(const ItemDescriptor& s) {
        return is(s, kItemWavePacket13, 1, WaveCodec::kSize);
    }
    explicit WavePacket13(const ItemDescriptor&) {}
    void init(const uint8_t* first) override {
        std::memcpy(m_last, first, WaveCodec::kSize);
        m_codec.init();
    }
    void decode(Decoder& dec, uint8_t* out) override {
        m_codec.decode(dec, m_last, out);
        std::memcpy(m_last, out, WaveCodec::kSize);
    }
    void encode(Encoder& enc, const uint8_t* item) override {
        m_codec.encode(enc, m_last, item);
        std::memcpy(m_last, item, WaveCodec::kSize);
    }

private:
    uint8_t m_last[WaveCodec::kSize] = {};
    WaveCodec m_codec;
};

// ---- Layered items ----

// One layer: its bytes while decoding, its coder and output while encoding.
struct Layer {
    Decoder dec;
    Encoder enc;
    std::vector<uint8_t> out;
    bool present = false;  // decoding: the layer has bytes; encoding: its field changed
    void setBytes(const uint8_t* data, size_t size) {
        present = size > 0;
        dec.init(data, size);
    }
    void startEncoding() {
        out.clear();
        enc.init(&out);
        present = false;
    }
    void finish() {
        enc.done();
        if (!present) out.clear();
    }
};

// What every layered item does with its layers alike. Layers is a fixed array of them, or a
// vector when the count comes from the file.
template <class Layers>
class LayersOf : public LayeredItem {
public:
    template <class... Args>
    explicit LayersOf(Args&&... args) : m_layers(std::forward<Args>(args)...) {}
    void setLayer(size_t layer, const uint8_t* data, size_t size) override {
        m_layers[layer].setBytes(data, size);
    }
    bool overrun() const override {
        bool any = false;  // asked after every point: no branch per layer
        for (const Layer& l : m_layers) any |= l.present & l.dec.overrun();
        return any;
    }
    bool layersIntact() const override {
        for (const Layer& l : m_layers)
            if (l.present && !l.dec.atEnd()) return false;
        return true;
    }
    void finishLayers() override {
        for (Layer& l : m_layers) l.finish();
    }
    const std::vector<uint8_t>& layerBytes(size_t layer) const override {
        return m_layers[layer].out;
    }

protected:
    void startLayers() {
        for (Layer& l : m_layers) l.startEncoding();
    }

    Layers m_layers{};
};

// The unpacked fields of a 30-byte core record of formats 6 to 10:
//   0 X | 4 Y | 8 Z | 12 intensity | 14 return r 0-3, n 4-7 | 15 classification flags 0-3,
//   scanner channel 4-5, scan direction 6, edge 7 | 16 classification | 17 user data |
//   18 scan angle i16 | 20 point source ID | 22 GPS time f64
struct Point14Fields {
    int32_t x = 0, y = 0, z = 0;
    uint16_t intensity = 0;
    uint8_t r = 0, n = 0, flags = 0, channel = 0, cls = 0, user = 0;  // flags: edge 5, dir 4, 0-3
    int16_t angle = 0;
    uint16_t source = 0;
    uint64_t gps = 0;
    bool gpsChange = false;

    void unpack(const uint8_t* p) {
        x = load<int32_t>(p);
        y = load<int32_t>(p + 4);
        z = load<int32_t>(p + 8);
        intensity = load<uint16_t>(p + 12);
        r = p[14] & 15;
        n = p[14] >> 4;
        flags = uint8_t(((p[15] >> 7) << 5) | (((p[15] >> 6) & 1) << 4) | (p[15] & 15));
        channel = (p[15] >> 4) & 3;
        cls = p[16];
        user = p[17];
        angle = int16_t(load<uint16_t>(p + 18));
        source = load<uint16_t>(p + 20);
        gps = load<uint64_t>(p + 22);
    }
    void pack(uint8_t* p) const {
        store<int32_t>(p, x);
        store<int32_t>(p + 4, y);
        store<int32_t>(p + 8, z);
        store<uint16_t>(p + 12, intensity);
        p[14] = uint8_t(r | (n << 4));
        p[15] = uint8_t((flags & 15) | (channel << 4) | (((flags >> 4) & 1) << 6) |
                        (((flags >> 5) & 1) << 7));
        p[16] = cls;
        p[17] = user;
        store<uint16_t>(p + 18, uint16_t(angle));
        store<uint16_t>(p + 20, source);
        store<uint64_t>(p + 22, gps);
    }
};

class Point14 final : public LayersOf<std::array<Layer, 9>> {
    enum { kXY, kZ, kClass, kFlags, kIntensity, kAngle, kUser, kSource, kGps, kLayers };
    static_assert(kLayers == 9, "one layer for each field group");

    // A channel's models and history, made when the channel first occurs in a chunk: models
    // start fresh from their constructors, and the channels a chunk never uses cost nothing.
    struct Context {
        Point14Fields last;
        uint16_t lastIntensity[8] = {};
        Median5 medX[12], medY[12];
        int32_t lastZ[8] = {};
        std::vector<SymbolModel> changed;
        SymbolModel channel{3};
        LazyModel nReturns[16], rNumber[16];
        SymbolModel rGpsSame{13};
        LazyModel cls[64], flags[64], user[64];
        IntegerCodec dx{32, 2}, dy{32, 22}, z{32, 20}, intensity{16, 4}, angle{16, 2},
            source{16, 1};
        GpsState gps;
        GpsCodec gpsCodec{false};
        // Starts this channel's history from the point before it.
        explicit Context(const Point14Fields& from) : last(from), changed(8, SymbolModel(128)) {
            for (auto& v : lastIntensity) v = from.intensity;
            for (auto& v : lastZ) v = from.z;
            last.gpsChange = false;
            gps.time[0] = from.gps;
        }
    };
    Context& start(uint32_t channel, const Point14Fields& from) {
        m_ctx[channel] = std::make_unique<Context>(from);
        return *m_ctx[channel];
    }

public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemPoint14, 3, 30); }
    explicit Point14(const ItemDescriptor&) {}
    size_t layerCount() const override { return kLayers; }

    void init(const uint8_t* first, uint32_t& context) override {
        for (auto& c : m_ctx) c.reset();
        Point14Fields f;
        f.unpack(first);
        m_cur = f.channel;
        context = m_cur;
        start(m_cur, f);
        startLayers();
    }
    void setLayer(size_t layer, const uint8_t* data, size_t size) override {
        LayersOf::setLayer(layer, data, size);
        if (layer == kXY) m_layers[layer].present = true;
    }

    void decode(uint8_t* out, uint32_t& context) override {
        Decoder& xy = m_layers[kXY].dec;
        Context* c = m_ctx[m_cur].get();
        const uint32_t lpr = uint32_t(c->last.r == 1) + (c->last.r >= c->last.n ? 2u : 0u) +
                             (c->last.gpsChange ? 4u : 0u);
        const uint32_t changed = xy.decodeSymbol(c->changed[lpr]);
        if (changed & 64) {
            const uint32_t channel = (m_cur + xy.decodeSymbol(c->channel) + 1) % 4;
            c = m_ctx[channel] ? m_ctx[channel].get() : &start(channel, c->last);
            m_cur = channel;
            c->last.channel = uint8_t(channel);
            context = m_cur;
        }
        Point14Fields& p = c->last;
        const bool sourceChange = changed & 32, gpsChange = changed & 16, angleChange = changed & 8;
        uint32_t n = p.n, r = p.r;
        if (changed & 4) n = xy.decodeSymbol(c->nReturns[p.n].get(16));
        switch (changed & 3) {
            case 0:
                break;
            case 1:
                r = (r + 1) % 16;
                break;
            case 2:
                r = (r + 15) % 16;
                break;
            default:
                if (gpsChange)
                    r = xy.decodeSymbol(c->rNumber[p.r].get(16));
                else
                    r = (r + xy.decodeSymbol(c->rGpsSame) + 2) % 16;
        }
        p.n = uint8_t(n & 15);
        p.r = uint8_t(r & 15);
        n = p.n;
        r = p.r;
        const uint32_t m = kReturnMap6[n][r], l = returnLevel8(n, r);
        const uint32_t cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
        const uint32_t idx = (m << 1) | uint32_t(gpsChange);

        int32_t diff = c->dx.decompress(xy, c->medX[idx].get(), n == 1);
        p.x = int32_t(uint32_t(p.x) + uint32_t(diff));
        c->medX[idx].add(diff);
        uint32_t k = c->dx.k();
        diff = c->dy.decompress(xy, c->medY[idx].get(), (n == 1) + (k < 20 ? zeroBit0(k) : 20));
        p.y = int32_t(uint32_t(p.y) + uint32_t(diff));
        c->medY[idx].add(diff);

        if (m_layers[kZ].present) {
            k = (c->dx.k() + c->dy.k()) / 2;
            p.z = c->z.decompress(m_layers[kZ].dec, c->lastZ[l],
                                  (n == 1) + (k < 18 ? zeroBit0(k) : 18));
            c->lastZ[l] = p.z;
        }
        if (m_layers[kClass].present) {
            const uint32_t ccc = ((p.cls & 0x1Fu) << 1) + (cpr == 3 ? 1u : 0u);
            p.cls = uint8_t(m_layers[kClass].dec.decodeSymbol(c->cls[ccc].get(256)));
        }
        if (m_layers[kFlags].present)
            p.flags = uint8_t(m_layers[kFlags].dec.decodeSymbol(c->flags[p.flags & 63].get(64)));
        if (m_layers[kIntensity].present) {
            const uint32_t i = (cpr << 1) | uint32_t(gpsChange);
            p.intensity = uint16_t(
                c->intensity.decompress(m_layers[kIntensity].dec, c->lastIntensity[i], cpr));
            c->lastIntensity[i] = p.intensity;
        }
        if (m_layers[kAngle].present && angleChange)
            p.angle = int16_t(c->angle.decompress(m_layers[kAngle].dec, p.angle, gpsChange));
        if (m_layers[kUser].present)
            p.user = uint8_t(m_layers[kUser].dec.decodeSymbol(c->user[p.user / 4].get(256)));
        if (m_layers[kSource].present && sourceChange)
            p.source = uint16_t(c->source.decompress(m_layers[kSource].dec, p.source, 0));
        if (m_layers[kGps].present && gpsChange) {
            c->gpsCodec.decode(m_layers[kGps].dec, c->gps);
            p.gps = c->gps.time[c->gps.last];
        }
        p.gpsChange = gpsChange;
        p.pack(out);
    }

    void encode(const uint8_t* item, uint32_t& context) override {
        Encoder& xy = m_layers[kXY].enc;
        Point14Fields q;
        q.unpack(item);
        Context* c = m_ctx[m_cur].get();
        const uint32_t lpr = uint32_t(c->last.r == 1) + (c->last.r >= c->last.n ? 2u : 0u) +
                             (c->last.gpsChange ? 4u : 0u);
        SymbolModel& changedModel = c->changed[lpr];
        const bool channelChange = q.channel != m_cur;
        Context* t = c;
        if (channelChange) {
            t = m_ctx[q.channel] ? m_ctx[q.channel].get() : &start(q.channel, c->last);
        }
        Point14Fields& p = t->last;
        const bool sourceChange = q.source != p.source, gpsChange = q.gps != p.gps,
                   angleChange = q.angle != p.angle;
        uint32_t changed = (uint32_t(channelChange) << 6) | (uint32_t(sourceChange) << 5) |
                           (uint32_t(gpsChange) << 4) | (uint32_t(angleChange) << 3) |
                           (uint32_t(q.n != p.n) << 2);
        if (q.r != p.r) {
            if (q.r == (p.r + 1) % 16)
                changed |= 1;
            else if (q.r == (p.r + 15) % 16)
                changed |= 2;
            else
                changed |= 3;
        }
        xy.encodeSymbol(changedModel, changed);
        if (channelChange) {
            xy.encodeSymbol(c->channel, (q.channel + 4 - m_cur - 1) % 4);
            m_cur = q.channel;
            c = t;
            context = m_cur;
        }
        if (q.n != p.n) xy.encodeSymbol(c->nReturns[p.n].get(16), q.n);
        if ((changed & 3) == 3) {
            if (gpsChange)
                xy.encodeSymbol(c->rNumber[p.r].get(16), q.r);
            else
                xy.encodeSymbol(c->rGpsSame, (q.r + 16 - p.r - 2) % 16);
        }
        const uint32_t n = q.n, r = q.r;
        const uint32_t m = kReturnMap6[n][r], l = returnLevel8(n, r);
        const uint32_t cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
        const uint32_t idx = (m << 1) | uint32_t(gpsChange);

        int32_t diff = int32_t(uint32_t(q.x) - uint32_t(p.x));
        c->dx.compress(xy, c->medX[idx].get(), diff, n == 1);
        c->medX[idx].add(diff);
        uint32_t k = c->dx.k();
        diff = int32_t(uint32_t(q.y) - uint32_t(p.y));
        c->dy.compress(xy, c->medY[idx].get(), diff, (n == 1) + (k < 20 ? zeroBit0(k) : 20));
        c->medY[idx].add(diff);

        k = (c->dx.k() + c->dy.k()) / 2;
        c->z.compress(m_layers[kZ].enc, c->lastZ[l], q.z, (n == 1) + (k < 18 ? zeroBit0(k) : 18));
        c->lastZ[l] = q.z;
        m_layers[kZ].present |= q.z != p.z;

        const uint32_t ccc = ((p.cls & 0x1Fu) << 1) + (cpr == 3 ? 1u : 0u);
        m_layers[kClass].enc.encodeSymbol(c->cls[ccc].get(256), q.cls);
        m_layers[kClass].present |= q.cls != p.cls;

        m_layers[kFlags].enc.encodeSymbol(c->flags[p.flags & 63].get(64), q.flags);
        m_layers[kFlags].present |= q.flags != p.flags;

        const uint32_t i = (cpr << 1) | uint32_t(gpsChange);
        c->intensity.compress(m_layers[kIntensity].enc, c->lastIntensity[i], q.intensity, cpr);
        c->lastIntensity[i] = q.intensity;
        m_layers[kIntensity].present |= q.intensity != p.intensity;

        if (angleChange) {
            c->angle.compress(m_layers[kAngle].enc, p.angle, q.angle, gpsChange);
            m_layers[kAngle].present = true;
        }
        m_layers[kUser].enc.encodeSymbol(c->user[p.user / 4].get(256), q.user);
        m_layers[kUser].present |= q.user != p.user;
        if (sourceChange) {
            c->source.compress(m_layers[kSource].enc, p.source, q.source, 0);
            m_layers[kSource].present = true;
        }
        if (gpsChange) {
            c->gpsCodec.encode(m_layers[kGps].enc, c->gps, q.gps);
            m_layers[kGps].present = true;
        }
        p = q;
        p.gpsChange = gpsChange;
    }

    void finishLayers() override {
        m_layers[kXY].present = true;
        LayersOf::finishLayers();
    }

private:
    std::unique_ptr<Context> m_ctx[4];
    uint32_t m_cur = 0;
};

// The four scanner channel contexts of a layered item beside the core one. Each holds the
// item's models and its last value; `context` is what the core item passed (see LayeredItem).
template <class Context>
class Channels {
public:
    Context* begin() { return m_ctx; }
    Context* end() { return m_ctx + 4; }
    template <class Value>
    void init(uint32_t context, const Value& first) {
        for (Context& c : m_ctx) c.unused = true;
        m_cur = context & 3;
        m_ctx[m_cur].start(first);
    }
    // Moves to the context's models and returns the context whose last value this point is
    // predicted from and replaces. That is the one in use before, except where the move starts
    // a context unused in this chunk: that one starts from a copy of the last value. A move to
    // a context used before keeps predicting from the previous one, as the files are written.
    Context& follow(uint32_t context) {
        Context& from = m_ctx[m_cur];
        context &= 3;
        if (context == m_cur) return from;
        m_cur = context;
        if (!m_ctx[m_cur].unused) return from;
        m_ctx[m_cur].start(from.last);
        return m_ctx[m_cur];
    }
    Context& current() { return m_ctx[m_cur]; }

private:
    Context m_ctx[4];
    uint32_t m_cur = 0;
};

// Colour (and near infrared) of formats 7, 8 and 10.
class Rgb14 final : public LayersOf<std::array<Layer, 2>> {
    struct Context {
        bool unused = true;
        uint16_t last[4] = {};
        RgbCodec rgb;
        SymbolModel nirUsed{4};
        SymbolModel nirDiff[2] = {SymbolModel(256), SymbolModel(256)};
        void start(const uint16_t* from) {
            std::memcpy(last, from, sizeof last);
            rgb.init();
            nirUsed.init();
            nirDiff[0].init();
            nirDiff[1].init();
            unused = false;
        }
    };

public:
    static bool accepts(const ItemDescriptor& s) {
        return is(s, kItemRgb14, 3, 6) || is(s, kItemRgbNir14, 3, 8);
    }
    explicit Rgb14(const ItemDescriptor& s) : m_nir(s.type == kItemRgbNir14) {}
    size_t layerCount() const override { return m_nir ? 2 : 1; }
    void init(const uint8_t* first, uint32_t& context) override {
        uint16_t v[4] = {};
        loadRgb(first, v, m_nir ? 4 : 3);
        m_channels.init(context, v);
        startLayers();
    }
    void decode(uint8_t* out, uint32_t& context) override {
        uint16_t* last = m_channels.follow(context).last;
        Context& c = m_channels.current();
        if (m_layers[0].present) {
            uint16_t item[3];
            c.rgb.decode(m_layers[0].dec, last, item);
            std::memcpy(last, item, 6);
        }
        if (m_nir && m_layers[1].present) {
            Decoder& dec = m_layers[1].dec;
            const uint32_t sym = dec.decodeSymbol(c.nirUsed);
            uint16_t v = (sym & 1)
                             ? fold8(int32_t(dec.decodeSymbol(c.nirDiff[0]) + (last[3] & 255)))
                             : uint16_t(last[3] & 0xFF);
            if (sym & 2)
                v |= uint16_t(fold8(int32_t(dec.decodeSymbol(c.nirDiff[1]) + (last[3] >> 8))) << 8);
            else
                v |= uint16_t(last[3] & 0xFF00);
            last[3] = v;
        }
        std::memcpy(out, last, m_nir ? 8 : 6);
    }
    void encode(const uint8_t* p, uint32_t& context) override {
        uint16_t* last = m_channels.follow(context).last;
        Context& c = m_channels.current();
        uint16_t item[4] = {};
        loadRgb(p, item, m_nir ? 4 : 3);
        c.rgb.encode(m_layers[0].enc, last, item);
        m_layers[0].present |= std::memcmp(last, item, 6) != 0;
        if (m_nir) {
            Encoder& enc = m_layers[1].enc;
            const uint32_t sym = uint32_t((last[3] & 0xFF) != (item[3] & 0xFF)) |
                                 (uint32_t((last[3] & 0xFF00) != (item[3] & 0xFF00)) << 1);
            enc.encodeSymbol(c.nirUsed, sym);
            if (sym & 1)
                enc.encodeSymbol(c.nirDiff[0],
                                 fold8(int32_t(item[3] & 255) - int32_t(last[3] & 255)));
            if (sym & 2)
                enc.encodeSymbol(c.nirDiff[1],
                                 fold8(int32_t(item[3] >> 8) - int32_t(last[3] >> 8)));
            m_layers[1].present |= sym != 0;
        }
        std::memcpy(last, item, m_nir ? 8 : 6);
    }

private:
    bool m_nir;
    Channels<Context> m_channels;
};

// Extra bytes of formats 6 to 10: one layer per byte.
class Bytes14 final : public LayersOf<std::vector<Layer>> {
    struct Context {
        bool unused = true;
        std::vector<uint8_t> last;
        std::vector<SymbolModel> models;
        void start(const uint8_t* from) {
            std::memcpy(last.data(), from, last.size());
            for (auto& m : models) m.init();
            unused = false;
        }
        void start(const std::vector<uint8_t>& from) { start(from.data()); }
    };

public:
    static bool accepts(const ItemDescriptor& s) { return is(s, kItemByte14, 3, s.size) && s.size; }
    explicit Bytes14(const ItemDescriptor& s) : LayersOf(s.size), m_n(s.size) {
        for (Context& c : m_channels) {
            c.last.resize(m_n);
            for (size_t i = 0; i < m_n; ++i) c.models.emplace_back(256);
        }
    }
    size_t layerCount() const override { return m_n; }
    void init(const uint8_t* first, uint32_t& context) override {
        m_channels.init(context, first);
        startLayers();
    }
    void decode(uint8_t* out, uint32_t& context) override {
        uint8_t* last = m_channels.follow(context).last.data();
        Context& c = m_channels.current();
        for (size_t i = 0; i < m_n; ++i)
            if (m_layers[i].present)
                last[i] = fold8(int32_t(last[i] + m_layers[i].dec.decodeSymbol(c.models[i])));
        std::memcpy(out, last, m_n);
    }
    void encode(const uint8_t* item, uint32_t& context) override {
        uint8_t* last = m_channels.follow(context).last.data();
        Context& c = m_channels.current();
        for (size_t i = 0; i < m_n; ++i) {
            m_layers[i].enc.encodeSymbol(c.models[i], fold8(int32_t(item[i]) - last[i]));
            m_layers[i].present |= item[i] != last[i];
        }
        std::memcpy(last, item, m_n);
    }

private:
    size_t m_n;
    Channels<Context> m_channels;
};

// Wave packets of formats 9 and 10.
class WavePacket14 final : public LayersOf<std::array<Layer, 1>> {
    struct Context {
        bool unused = true;
        uint8_t last[WaveCodec::kSize] = {};
        WaveCodec codec;
        void start(const uint8_t* from) {
            std::memcpy(last, from, sizeof last);
            codec.init();
            unused = false;
        }
    };

public:
    static bool accepts(const ItemDescriptor& s) {
        return is(s, kItemWavePacket14, 3, WaveCodec::kSize);
    }
    explicit WavePacket14(const ItemDescriptor&) {}
    size_t layerCount() const override { return 1; }
    void init(const uint8_t* first, uint32_t& context) override {
        m_channels.init(context, first);
        startLayers();
    }
    void decode(uint8_t* out, uint32_t& context) override {
        uint8_t* last = m_channels.follow(context).last;
        if (m_layers[0].present) {
            uint8_t item[WaveCodec::kSize];
            m_channels.current().codec.decode(m_layers[0].dec, last, item);
            std::memcpy(last, item, WaveCodec::kSize);
        }
        std::memcpy(out, last, WaveCodec::kSize);
    }
    void encode(const uint8_t* item, uint32_t& context) override {
        uint8_t* last = m_channels.follow(context).last;
        m_channels.current().codec.encode(m_layers[0].enc, last, item);
        m_layers[0].present |= std::memcmp(last, item, WaveCodec::kSize) != 0;
        std::memcpy(last, item, WaveCodec::kSize);
    }

private:
    Channels<Context> m_channels;
};

// The first of the item classes that codes a VLR entry.
template <class Base, class... Items>
std::unique_ptr<Base> firstAccepting(const ItemDescriptor& s) {
    std::unique_ptr<Base> out;
    ((Items::accepts(s) && (out = std::make_unique<Items>(s), true)) || ...);
    return out;
}

// The items of a chunk combined at compile time: the calls per point go straight to each item.
template <class Base, class... Items>
class Combined : public Base {
public:
    static bool accepts(const std::vector<ItemDescriptor>& s) {
        size_t i = 0;
        return s.size() == sizeof...(Items) && (Items::accepts(s[i++]) && ...);
    }
    explicit Combined(const std::vector<ItemDescriptor>& s)
        : Combined(s, std::index_sequence_for<Items...>()) {}

protected:
    template <class F>
    void each(F&& f) {
        eachOf(f, std::index_sequence_for<Items...>());
    }

private:
    template <size_t... I>
    Combined(const std::vector<ItemDescriptor>& s, std::index_sequence<I...>) : m_items(s[I]...) {
        size_t at = 0;
        ((m_offsets[I] = at, at += s[I].size), ...);
        (this->m_list.push_back(&std::get<I>(m_items)), ...);
    }
    template <class F, size_t... I>
    void eachOf(F& f, std::index_sequence<I...>) {
        (f(std::get<I>(m_items), m_offsets[I]), ...);
    }

    std::tuple<Items...> m_items;
    size_t m_offsets[sizeof...(Items)] = {};
};

template <class... Items>
class PointwiseOf final : public Combined<PointwiseChunk, Items...> {
public:
    using Combined<PointwiseChunk, Items...>::Combined;
    void init(const uint8_t* first) override {
        this->each([&](auto& item, size_t at) { item.init(first + at); });
    }
    size_t decodeNext(Decoder& dec, uint8_t* out, size_t count, size_t rl) override {
        for (size_t p = 0; p < count; ++p) {
            uint8_t* rec = out + p * rl;
            this->each([&](auto& item, size_t at) { item.decode(dec, rec + at); });
            if (dec.overrun()) return p;
        }
        return count;
    }
    void encode(Encoder& enc, const uint8_t* records, size_t points, size_t rl) override {
        for (size_t p = 1; p < points; ++p) {
            const uint8_t* rec = records + p * rl;
            this->each([&](auto& item, size_t at) { item.encode(enc, rec + at); });
        }
    }
};

template <class... Items>
class LayeredOf final : public Combined<LayeredChunk, Items...> {
public:
    using Combined<LayeredChunk, Items...>::Combined;
    void init(const uint8_t* first) override {
        uint32_t context = 0;
        this->each([&](auto& item, size_t at) { item.init(first + at, context); });
    }
    size_t decodeNext(uint8_t* out, size_t count, size_t rl) override {
        for (size_t p = 0; p < count; ++p) {
            uint8_t* rec = out + p * rl;
            uint32_t context = 0;  // only a channel switch names the channel (see LayeredItem)
            bool overrun = false;
            this->each([&](auto& item, size_t at) {
                item.decode(rec + at, context);
                overrun |= item.overrun();
            });
            if (overrun) return p;
        }
        return count;
    }
    void encode(const uint8_t* records, size_t points, size_t rl) override {
        for (size_t p = 1; p < points; ++p) {
            const uint8_t* rec = records + p * rl;
            uint32_t context = 0;
            this->each([&](auto& item, size_t at) { item.encode(rec + at, context); });
        }
    }
};

// Any other list of items: one call through the table per item per point.
template <class Base, class Item>
class Listed : public Base {
public:
    using Chunk = Base;
    explicit Listed(const std::vector<ItemDescriptor>& s) {
        size_t at = 0;
        for (const ItemDescriptor& item : s) {
            m_items.push_back(makeItem(item));
            m_offsets.push_back(at);
            at += item.size;
            this->m_list.push_back(m_items.back().get());
        }
    }

    bool complete() const {
        for (const auto& item : m_items)
            if (!item) return false;
        return true;
    }

protected:
    static std::unique_ptr<Item> makeItem(const ItemDescriptor& s);
    std::vector<std::unique_ptr<Item>> m_items;
    std::vector<size_t> m_offsets;
};

class PointwiseListed final : public Listed<PointwiseChunk, PointwiseItem> {
public:
    using Listed::Listed;
    void init(const uint8_t* first) override {
        for (size_t i = 0; i < m_items.size(); ++i) m_items[i]->init(first + m_offsets[i]);
    }
    size_t decodeNext(Decoder& dec, uint8_t* out, size_t count, size_t rl) override {
        for (size_t p = 0; p < count; ++p) {
            for (size_t i = 0; i < m_items.size(); ++i)
                m_items[i]->decode(dec, out + p * rl + m_offsets[i]);
            if (dec.overrun()) return p;
        }
        return count;
    }
    void encode(Encoder& enc, const uint8_t* records, size_t points, size_t rl) override {
        for (size_t p = 1; p < points; ++p)
            for (size_t i = 0; i < m_items.size(); ++i)
                m_items[i]->encode(enc, records + p * rl + m_offsets[i]);
    }
};

class LayeredListed final : public Listed<LayeredChunk, LayeredItem> {
public:
    using Listed::Listed;
    void init(const uint8_t* first) override {
        uint32_t context = 0;
        for (size_t i = 0; i < m_items.size(); ++i) m_items[i]->init(first + m_offsets[i], context);
    }
    size_t decodeNext(uint8_t* out, size_t count, size_t rl) override {
        for (size_t p = 0; p < count; ++p) {
            uint32_t context = 0;
            bool overrun = false;
            for (size_t i = 0; i < m_items.size(); ++i) {
                m_items[i]->decode(out + p * rl + m_offsets[i], context);
                overrun |= m_items[i]->overrun();
            }
            if (overrun) return p;
        }
        return count;
    }
    void encode(const uint8_t* records, size_t points, size_t rl) override {
        for (size_t p = 1; p < points; ++p) {
            uint32_t context = 0;
            for (size_t i = 0; i < m_items.size(); ++i)
                m_items[i]->encode(records + p * rl + m_offsets[i], context);
        }
    }
};

template <>
std::unique_ptr<PointwiseItem> Listed<PointwiseChunk, PointwiseItem>::makeItem(
    const ItemDescriptor& s) {
    return makePointwiseItem(s);
}
template <>
std::unique_ptr<LayeredItem> Listed<LayeredChunk, LayeredItem>::makeItem(const ItemDescriptor& s) {
    return makeLayeredItem(s);
}

// The first combination that codes the list, else the list item by item.
template <class Fallback, class... Combos>
std::unique_ptr<typename Fallback::Chunk> combine(const std::vector<ItemDescriptor>& s) {
    std::unique_ptr<typename Fallback::Chunk> out;
    ((Combos::accepts(s) && (out = std::make_unique<Combos>(s), true)) || ...);
    if (!out) {
        auto listed = std::make_unique<Fallback>(s);
        if (!listed->complete()) return nullptr;
        out = std::move(listed);
    }
    return out;
}

}  // namespace

std::unique_ptr<PointwiseItem> makePointwiseItem(const ItemDescriptor& s) {
    return firstAccepting<PointwiseItem, Point10, GpsTime11, Rgb12, Bytes, WavePacket13, Point10v1,
                          GpsTime11v1, Rgb12v1, Bytes1>(s);
}

std::unique_ptr<LayeredItem> makeLayeredItem(const ItemDescriptor& s) {
    return firstAccepting<LayeredItem, Point14, Rgb14, Bytes14, WavePacket14>(s);
}

std::unique_ptr<PointwiseChunk> makePointwiseChunk(const std::vector<ItemDescriptor>& s) {
    using P = Point10;
    using G = GpsTime11;
    using R = Rgb12;
    using W = WavePacket13;
    using B = Bytes;
    // The item lists of formats 0 to 5, with and without extra bytes.
    return combine<PointwiseListed, PointwiseOf<P>, PointwiseOf<P, G>, PointwiseOf<P, R>,
                   PointwiseOf<P, G, R>, PointwiseOf<P, G, W>, PointwiseOf<P, G, R, W>,
                   PointwiseOf<P, B>, PointwiseOf<P, G, B>, PointwiseOf<P, R, B>,
                   PointwiseOf<P, G, R, B>, PointwiseOf<P, G, W, B>, PointwiseOf<P, G, R, W, B>>(s);
}

std::unique_ptr<LayeredChunk> makeLayeredChunk(const std::vector<ItemDescriptor>& s) {
    using P = Point14;
    using R = Rgb14;  // with or without NIR
    using W = WavePacket14;
    using B = Bytes14;
    // The item lists of formats 6 to 10, with and without extra bytes.
    return combine<LayeredListed, LayeredOf<P>, LayeredOf<P, R>, LayeredOf<P, W>,
                   LayeredOf<P, R, W>, LayeredOf<P, B>, LayeredOf<P, R, B>, LayeredOf<P, W, B>,
                   LayeredOf<P, R, W, B>>(s);
}

}  // namespace orv::laz
