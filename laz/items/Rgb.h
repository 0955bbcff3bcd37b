// Colour (and near infrared): the pointwise item of formats 2, 3 and 5 in both versions, and
// the layered one of formats 7, 8 and 10.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "laz/LazCoder.h"
#include "laz/items/Basics.h"
#include "laz/items/Layers.h"
#include "platform/LittleEndian.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

using platform::load;
using platform::store;

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

}  // namespace
}  // namespace orv::laz
