// The 20-byte core of formats 0 to 5, in both versions of its coding.
#pragma once

#include <cstdint>
#include <cstring>

#include "laz/LazCoder.h"
#include "laz/items/Basics.h"
#include "platform/LittleEndian.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

using platform::load;
using platform::store;

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

}  // namespace
}  // namespace orv::laz
