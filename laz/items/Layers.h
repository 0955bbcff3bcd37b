// What the layered items of formats 6 to 10 share: one coder per layer, and the models and
// last value of each scanner channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "laz/LazCoder.h"
#include "laz/LazItems.h"

// Included by LazItems.cpp alone, where the items are combined: internal there, so the
// compiler sees every use and inlines as it would in one file.
namespace orv::laz {
namespace {

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

}  // namespace
}  // namespace orv::laz
