#include "laz/LazItems.h"

#include <array>
#include <cstring>
#include <tuple>
#include <utility>

#include "laz/items/Bytes.h"
#include "laz/items/GpsTime.h"
#include "laz/items/Point10.h"
#include "laz/items/Point14.h"
#include "laz/items/Rgb.h"
#include "laz/items/WavePacket.h"
#include "platform/LittleEndian.h"

namespace orv::laz {

using platform::load;
using platform::store;

namespace {

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
