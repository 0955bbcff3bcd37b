// The 30-byte core of formats 6 to 10, a layer per field group.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "laz/LazCoder.h"
#include "laz/items/Basics.h"
#include "laz/items/GpsTime.h"
#include "laz/items/Layers.h"
#include "platform/LittleEndian.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

using platform::load;
using platform::store;

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

}  // namespace
}  // namespace orv::laz
