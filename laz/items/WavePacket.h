// Wave packets of formats 4, 5, 9 and 10: pointwise and layered.
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

}  // namespace
}  // namespace orv::laz
