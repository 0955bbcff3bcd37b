// The item codecs: how each part of a point record (the core fields, GPS time, colour, wave
// packet, extra bytes) is predicted from the points before it and coded. Pointwise items share one
// coder for the whole chunk; layered items code each field group into a layer of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "laz/LazCoder.h"

namespace orv::laz {

// Item type numbers as the compression VLR lists them.
enum ItemType : uint16_t {
    kItemByte = 0,
    kItemPoint10 = 6,
    kItemGpsTime11 = 7,
    kItemRgb12 = 8,
    kItemWavePacket13 = 9,
    kItemPoint14 = 10,
    kItemRgb14 = 11,
    kItemRgbNir14 = 12,
    kItemWavePacket14 = 13,
    kItemByte14 = 14,
};

struct ItemDescriptor {
    uint16_t type = 0;
    uint16_t size = 0;
    uint16_t version = 0;
};

// One item of a pointwise chunk: all items of a point share the chunk's one coder.
class PointwiseItem {
public:
    virtual ~PointwiseItem() = default;
    // Starts a chunk from its first record's bytes of this item (stored raw).
    virtual void init(const uint8_t* first) = 0;
    virtual void decode(Decoder& dec, uint8_t* out) = 0;
    virtual void encode(Encoder& enc, const uint8_t* item) = 0;
};

// One item of a layered chunk: it owns one coder per layer, and models and a last value per
// scanner channel. `context` passes the channel from the core item to the others as the files
// are written: the core item sets it at a chunk's first point and at each point that switches
// channel, and the caller resets it to 0 before every other point. So on a point that does not
// switch, the other items code with channel 0's models.
class LayeredItem {
public:
    virtual ~LayeredItem() = default;
    virtual size_t layerCount() const = 0;
    virtual void init(const uint8_t* first, uint32_t& context) = 0;
    // Decoding: hands each layer its bytes (empty for a layer that never changes).
    virtual void setLayer(size_t layer, const uint8_t* data, size_t size) = 0;
    virtual void decode(uint8_t* out, uint32_t& context) = 0;
    // True when a layer's decoder ran past its bytes.
    virtual bool overrun() const = 0;
    // After a chunk's last record: true when every layer took exactly its stated bytes. A layer
    // that stops short of them or runs past them holds a changed byte.
    virtual bool layersIntact() const = 0;
    // Encoding: codes one record, then, at the chunk's end, closes every layer.
    virtual void encode(const uint8_t* item, uint32_t& context) = 0;
    virtual void finishLayers() = 0;
    // A finished layer's bytes; empty for a layer whose field never changed in the chunk.
    virtual const std::vector<uint8_t>& layerBytes(size_t layer) const = 0;
};

// The item for a VLR entry; null when it is not one we code.
std::unique_ptr<PointwiseItem> makePointwiseItem(const ItemDescriptor& item);
std::unique_ptr<LayeredItem> makeLayeredItem(const ItemDescriptor& item);

// The items of a chunk's records, coding all its points in one call. The item lists writers
// use are combined at compile time, so no call goes through a table per item per point.
class PointwiseChunk {
public:
    virtual ~PointwiseChunk() = default;
    // Starts every item from the chunk's first record (stored raw).
    virtual void init(const uint8_t* first) = 0;
    // Decodes records 1 to points - 1 into `out` (record 0 is the first); returns the records
    // that decoded before the coder ran past its bytes.
    size_t decode(Decoder& dec, uint8_t* out, size_t points, size_t recordLength) {
        if (points < 2) return points;
        return 1 + decodeNext(dec, out + recordLength, points - 1, recordLength);
    }
    // Decodes the next `count` records into `out`, so a chunk can be decoded a slice at a time;
    // returns those that decoded before the coder ran past its bytes.
    virtual size_t decodeNext(Decoder& dec, uint8_t* out, size_t count, size_t recordLength) = 0;
    virtual void encode(Encoder& enc, const uint8_t* records, size_t points,
                        size_t recordLength) = 0;

protected:
    std::vector<PointwiseItem*> m_list;
};

class LayeredChunk {
public:
    virtual ~LayeredChunk() = default;
    // The items in VLR order, for handing out and collecting their layers.
    const std::vector<LayeredItem*>& items() const { return m_list; }
    virtual void init(const uint8_t* first) = 0;
    // As for pointwise chunks; a layer that ran past its bytes ends the records.
    size_t decode(uint8_t* out, size_t points, size_t recordLength) {
        if (points < 2) return points;
        return 1 + decodeNext(out + recordLength, points - 1, recordLength);
    }
    virtual size_t decodeNext(uint8_t* out, size_t count, size_t recordLength) = 0;
    virtual void encode(const uint8_t* records, size_t points, size_t recordLength) = 0;

protected:
    std::vector<LayeredItem*> m_list;
};

// Null when an item is not one we code.
std::unique_ptr<PointwiseChunk> makePointwiseChunk(const std::vector<ItemDescriptor>& items);
std::unique_ptr<LayeredChunk> makeLayeredChunk(const std::vector<ItemDescriptor>& items);

}  // namespace orv::laz
