// GPS time: up to four interleaved time sequences, each predicted by its last step; the
// pointwise item of formats 1, 3, 4 and 5 in both versions (the layered one codes inside Point14).
#pragma once

#include <cstdint>

#include "laz/LazCoder.h"
#include "laz/items/Basics.h"
#include "platform/LittleEndian.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

using platform::load;
using platform::store;

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

}  // namespace
}  // namespace orv::laz
