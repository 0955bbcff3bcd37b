// Extra bytes after the standard fields: pointwise in both versions, and layered, one layer
// per byte.
#pragma once

#include <cstdint>
#include <vector>

#include "laz/LazCoder.h"
#include "laz/items/Basics.h"
#include "laz/items/Layers.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

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

}  // namespace
}  // namespace orv::laz
