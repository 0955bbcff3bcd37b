// The entropy coder of compressed point data: an adaptive binary arithmetic coder with bit and
// symbol models, and the integer codec that codes a value as a corrector to a prediction.
// Decoder and encoder are mirror images; any change to one must be made to the other, or the
// files we write stop reading in other programs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orv::laz {

// The per-symbol paths are inlined into the item coders; the rare model updates stay out of
// line so that the hot code stays small.
#define ORV_LAZ_HOT inline __attribute__((always_inline))
#define ORV_LAZ_COLD __attribute__((noinline))

// Interval sizes: a length below kMinLength is renormalised by shifting out a byte.
constexpr uint32_t kMinLength = 0x01000000u;
constexpr uint32_t kMaxLength = 0xFFFFFFFFu;
constexpr uint32_t kBitLengthShift = 13;  // precision of a bit model's probability
constexpr uint32_t kBitMaxCount = 1u << kBitLengthShift;
constexpr uint32_t kSymLengthShift = 15;  // precision of a symbol model's distribution
constexpr uint32_t kSymMaxCount = 1u << kSymLengthShift;

// An adaptive model of one binary decision.
struct BitModel {
    uint32_t bit0Count = 1, bitCount = 2, bit0Prob = 1u << (kBitLengthShift - 1);
    uint32_t untilUpdate = 4, updateCycle = 4;

    void init() { *this = BitModel(); }
    ORV_LAZ_COLD void update() {
        if ((bitCount += updateCycle) > kBitMaxCount) {
            bitCount = (bitCount + 1) >> 1;
            bit0Count = (bit0Count + 1) >> 1;
            if (bit0Count == bitCount) ++bitCount;
        }
        const uint32_t scale = 0x80000000u / bitCount;
        bit0Prob = (bit0Count * scale) >> (31 - kBitLengthShift);
        updateCycle = (5 * updateCycle) >> 2;
        if (updateCycle > 64) updateCycle = 64;
        untilUpdate = updateCycle;
    }
};

// An adaptive model of a symbol among `symbols` (2 to 2048). Models of more than 16 symbols
// keep a lookup table that narrows the decoder's search.
class SymbolModel {
public:
    explicit SymbolModel(uint32_t symbols) : m_symbols(symbols), m_last(symbols - 1) {
        if (symbols > 16) {
            uint32_t bits = 3;
            while (symbols > (1u << (bits + 2))) ++bits;
            m_tableSize = 1u << bits;
            m_tableShift = kSymLengthShift - bits;
            m_table.resize(m_tableSize + 2);
        }
        m_dist.resize(symbols);
        m_count.resize(symbols);
        init();
    }
    void init() {
        for (auto& c : m_count) c = 1;
        m_total = 0;
        m_updateCycle = m_symbols;
        update();
        m_untilUpdate = m_updateCycle = (m_symbols + 6) >> 1;
    }
    ORV_LAZ_COLD void update() {
        if ((m_total += m_updateCycle) > kSymMaxCount) {
            m_total = 0;
            for (auto& c : m_count) {
                c = uint16_t((c + 1) >> 1);
                m_total += c;
            }
        }
        const uint32_t scale = 0x80000000u / m_total;
        uint32_t sum = 0;
        if (m_tableSize == 0) {
            for (uint32_t k = 0; k < m_symbols; ++k) {
                m_dist[k] = (scale * sum) >> (31 - kSymLengthShift);
                sum += m_count[k];
            }
        } else {
            uint32_t s = 0;
            for (uint32_t k = 0; k < m_symbols; ++k) {
                m_dist[k] = (scale * sum) >> (31 - kSymLengthShift);
                sum += m_count[k];
                const uint32_t w = m_dist[k] >> m_tableShift;
                while (s < w) m_table[++s] = k - 1;
            }
            m_table[0] = 0;
            while (s <= m_tableSize) m_table[++s] = m_symbols - 1;
        }
        m_updateCycle = (5 * m_updateCycle) >> 2;
        const uint32_t maxCycle = (m_symbols + 6) << 3;
        if (m_updateCycle > maxCycle) m_updateCycle = maxCycle;
        m_untilUpdate = m_updateCycle;
    }
    uint32_t symbols() const { return m_symbols; }

private:
    friend class Decoder;
    friend class Encoder;
    uint32_t m_symbols, m_last;
    uint32_t m_total = 0, m_updateCycle = 0, m_untilUpdate = 0;
    uint32_t m_tableSize = 0, m_tableShift = 0;
    std::vector<uint32_t> m_dist, m_table;
    // Counts stay below 2^16: a total above kSymMaxCount is halved at the next update, and at
    // most an update cycle (below 2^15) is counted in between. Being 16-bit, a count's store
    // cannot alias the coders' 32-bit state, which then stays in registers across symbols.
    std::vector<uint16_t> m_count;
};

// Decodes from a byte range. Reading beyond its end yields zeros and marks the decoder as
// overrun: the caller treats every value decoded after that as damaged.
class Decoder {
public:
    void init(const uint8_t* data, size_t size) {
        m_p = data;
        m_end = data + size;
        m_overrun = false;
        m_length = kMaxLength;
        m_value = (uint32_t(byte()) << 24) | (uint32_t(byte()) << 16) | (uint32_t(byte()) << 8) |
                  uint32_t(byte());
    }
    bool overrun() const { return m_overrun; }
    // Bytes consumed so far (a decoder that was in sync with its encoder stops exactly at the
    // end of what the encoder wrote).
    const uint8_t* position() const { return m_p; }
    // True when it took exactly its bytes: what an intact stream does once fully decoded.
    bool atEnd() const { return m_p == m_end && !m_overrun; }

    ORV_LAZ_HOT uint32_t decodeBit(BitModel& m) {
        const uint32_t x = m.bit0Prob * (m_length >> kBitLengthShift);
        uint32_t sym;
        if (m_value < x) {
            sym = 0;
            m_length = x;
            ++m.bit0Count;
        } else {
            sym = 1;
            m_value -= x;
            m_length -= x;
        }
        if (m_length < kMinLength) renorm();
        if (--m.untilUpdate == 0) m.update();
        return sym;
    }

    ORV_LAZ_HOT uint32_t decodeSymbol(SymbolModel& m) {
        uint32_t n, sym, x, y = m_length;
        if (m.m_tableSize) {
            m_length >>= kSymLengthShift;
            const uint32_t dv = m_value / m_length;
            uint32_t t = dv >> m.m_tableShift;
            if (t > m.m_tableSize) t = m.m_tableSize;  // only damaged input gets here
            sym = m.m_table[t];
            n = m.m_table[t + 1] + 1;
            while (n > sym + 1) {
                const uint32_t k = (sym + n) >> 1;
                if (m.m_dist[k] > dv)
                    n = k;
                else
                    sym = k;
            }
            x = m.m_dist[sym] * m_length;
            if (sym != m.m_last) y = m.m_dist[sym + 1] * m_length;
        } else {
            x = sym = 0;
            m_length >>= kSymLengthShift;
            n = m.m_symbols;
            uint32_t k = n >> 1;
            do {
                const uint32_t z = m_length * m.m_dist[k];
                if (z > m_value) {
                    n = k;
                    y = z;
                } else {
                    sym = k;
                    x = z;
                }
            } while ((k = (sym + n) >> 1) != sym);
        }
        m_value -= x;
        m_length = y - x;
        if (m_length < kMinLength) renorm();
        ++m.m_count[sym];
        if (--m.m_untilUpdate == 0) m.update();
        return sym;
    }

    uint32_t readBits(uint32_t bits) {
        if (bits > 19) {
            const uint32_t low = readShort();
            return (readBits(bits - 16) << 16) | low;
        }
        const uint32_t sym = m_value / (m_length >>= bits);
        m_value -= m_length * sym;
        if (m_length < kMinLength) renorm();
        return sym;
    }
    uint32_t readShort() {
        const uint32_t sym = m_value / (m_length >>= 16);
        m_value -= m_length * sym;
        if (m_length < kMinLength) renorm();
        return sym;
    }
    uint32_t readInt() {
        const uint32_t low = readShort();
        return (readShort() << 16) | low;
    }

private:
    ORV_LAZ_HOT uint8_t byte() {
        if (m_p < m_end) return *m_p++;
        m_overrun = true;
        return 0;
    }
    ORV_LAZ_HOT void renorm() {
        do {
            m_value = (m_value << 8) | byte();
        } while ((m_length <<= 8) < kMinLength);
    }

    const uint8_t* m_p = nullptr;
    const uint8_t* m_end = nullptr;
    uint32_t m_value = 0, m_length = kMaxLength;
    bool m_overrun = false;
};

// Encodes onto the end of a byte vector. Bytes go straight into room made ahead in the vector,
// checked against its end byte by byte; done() cuts the vector to what was written.
class Encoder {
public:
    void init(std::vector<uint8_t>* out) {
        m_out = out;
        m_first = out->size();
        out->resize(std::max(out->capacity(), m_first + 4096));
        m_p = out->data() + m_first;
        m_end = out->data() + out->size();
        m_base = 0;
        m_length = kMaxLength;
    }

    ORV_LAZ_HOT void encodeBit(BitModel& m, uint32_t bit) {
        const uint32_t x = m.bit0Prob * (m_length >> kBitLengthShift);
        if (bit == 0) {
            m_length = x;
            ++m.bit0Count;
        } else {
            const uint32_t before = m_base;
            m_base += x;
            m_length -= x;
            if (before > m_base) carry();
        }
        if (m_length < kMinLength) renorm();
        if (--m.untilUpdate == 0) m.update();
    }

    ORV_LAZ_HOT void encodeSymbol(SymbolModel& m, uint32_t sym) {
        uint32_t x;
        const uint32_t before = m_base;
        if (sym == m.m_last) {
            x = m.m_dist[sym] * (m_length >> kSymLengthShift);
            m_base += x;
            m_length -= x;
        } else {
            x = m.m_dist[sym] * (m_length >>= kSymLengthShift);
            m_base += x;
            m_length = m.m_dist[sym + 1] * m_length - x;
        }
        if (before > m_base) carry();
        if (m_length < kMinLength) renorm();
        ++m.m_count[sym];
        if (--m.m_untilUpdate == 0) m.update();
    }

    void writeBits(uint32_t bits, uint32_t sym) {
        if (bits > 19) {
            writeShort(sym & 0xFFFFu);
            sym >>= 16;
            bits -= 16;
        }
        const uint32_t before = m_base;
        m_base += sym * (m_length >>= bits);
        if (before > m_base) carry();
        if (m_length < kMinLength) renorm();
    }
    void writeShort(uint32_t sym) {
        const uint32_t before = m_base;
        m_base += sym * (m_length >>= 16);
        if (before > m_base) carry();
        if (m_length < kMinLength) renorm();
    }
    void writeInt(uint32_t sym) {
        writeShort(sym & 0xFFFFu);
        writeShort(sym >> 16);
    }

    // Flushes the interval, then pads so that the decoder's look-ahead stays inside the bytes.
    void done() {
        const uint32_t before = m_base;
        bool anotherByte = true;
        if (m_length > 2 * kMinLength) {
            m_base += kMinLength;
            m_length = kMinLength >> 1;
        } else {
            m_base += kMinLength >> 1;
            m_length = kMinLength >> 9;
            anotherByte = false;
        }
        if (before > m_base) carry();
        renorm();
        put(0);
        put(0);
        if (anotherByte) put(0);
        m_out->resize(size_t(m_p - m_out->data()));
    }

private:
    // Adds one to the bytes written: a carry never runs past this coder's first byte.
    void carry() {
        for (uint8_t* b = m_p; b-- > m_out->data() + m_first;) {
            if (*b != 0xFF) {
                ++*b;
                return;
            }
            *b = 0;
        }
    }
    ORV_LAZ_HOT void put(uint8_t byte) {
        if (m_p == m_end) grow();
        *m_p++ = byte;
    }
    ORV_LAZ_COLD void grow() {
        const size_t at = size_t(m_p - m_out->data());
        m_out->resize(2 * at);
        m_p = m_out->data() + at;
        m_end = m_out->data() + m_out->size();
    }
    ORV_LAZ_HOT void renorm() {
        do {
            put(static_cast<uint8_t>(m_base >> 24));
            m_base <<= 8;
        } while ((m_length <<= 8) < kMinLength);
    }

    std::vector<uint8_t>* m_out = nullptr;
    size_t m_first = 0;  // where this coder's bytes start in the vector
    uint8_t* m_p = nullptr;
    uint8_t* m_end = nullptr;
    uint32_t m_base = 0, m_length = kMaxLength;
};

// Codes integers as correctors to a prediction: the corrector's bit length k is coded with a
// symbol model chosen by a context, then the corrector's low bits within that length.
class IntegerCodec {
public:
    IntegerCodec(uint32_t bits, uint32_t contexts, uint32_t bitsHigh = 8, uint32_t range = 0)
        : m_bitsHigh(bitsHigh) {
        if (range) {
            m_corrBits = 0;
            m_corrRange = range;
            while (range) {
                range >>= 1;
                ++m_corrBits;
            }
            if (m_corrRange == (1u << (m_corrBits - 1))) --m_corrBits;
            m_corrMin = -int32_t(m_corrRange / 2);
        } else if (bits && bits < 32) {
            m_corrBits = bits;
            m_corrRange = 1u << bits;
            m_corrMin = -int32_t(m_corrRange / 2);
        } else {
            m_corrBits = 32;
            m_corrRange = 0;
            m_corrMin = INT32_MIN;
        }
        m_corrMax = int32_t(uint32_t(m_corrMin) + m_corrRange - 1);
        for (uint32_t i = 0; i < contexts; ++i) m_bits.emplace_back(m_corrBits + 1);
        for (uint32_t i = 1; i <= m_corrBits; ++i)
            m_corr.emplace_back(i <= m_bitsHigh ? (1u << i) : (1u << m_bitsHigh));
    }
    void init() {
        for (auto& m : m_bits) m.init();
        m_corr0.init();
        for (auto& m : m_corr) m.init();
    }
    // The bit length of the last corrector, which neighbouring fields use as a context.
    uint32_t k() const { return m_k; }

    ORV_LAZ_HOT int32_t decompress(Decoder& dec, int32_t pred, uint32_t context) {
        uint32_t real = uint32_t(pred) + uint32_t(readCorrector(dec, m_bits[context]));
        if (m_corrRange) {
            if (int32_t(real) < 0)
                real += m_corrRange;
            else if (real >= m_corrRange)
                real -= m_corrRange;
        }
        return int32_t(real);
    }

    ORV_LAZ_HOT void compress(Encoder& enc, int32_t pred, int32_t real, uint32_t context) {
        int32_t corr = int32_t(uint32_t(real) - uint32_t(pred));
        if (corr < m_corrMin)
            corr = int32_t(uint32_t(corr) + m_corrRange);
        else if (corr > m_corrMax)
            corr = int32_t(uint32_t(corr) - m_corrRange);
        writeCorrector(enc, corr, m_bits[context]);
    }

private:
    ORV_LAZ_HOT int32_t readCorrector(Decoder& dec, SymbolModel& mBits) {
        int32_t c;
        m_k = dec.decodeSymbol(mBits);
        if (m_k) {
            if (m_k < 32) {
                uint32_t u;
                if (m_k <= m_bitsHigh) {
                    u = dec.decodeSymbol(m_corr[m_k - 1]);
                } else {
                    const uint32_t k1 = m_k - m_bitsHigh;
                    u = dec.decodeSymbol(m_corr[m_k - 1]);
                    u = (u << k1) | (dec.readBits(k1) & ((1u << k1) - 1));
                }
                if (u >= (1u << (m_k - 1)))
                    c = int32_t(u + 1);
                else
                    c = int32_t(u - ((1u << m_k) - 1));
            } else {
                c = m_corrMin;
            }
        } else {
            c = int32_t(dec.decodeBit(m_corr0));
        }
        return c;
    }

    ORV_LAZ_HOT void writeCorrector(Encoder& enc, int32_t c, SymbolModel& mBits) {
        // k is the bit length of c1: the corrector's magnitude, less one when positive.
        const uint32_t c1 = c <= 0 ? uint32_t(0) - uint32_t(c) : uint32_t(c) - 1;
        m_k = c1 ? 32 - uint32_t(__builtin_clz(c1)) : 0;
        enc.encodeSymbol(mBits, m_k);
        if (m_k) {
            if (m_k < 32) {
                uint32_t u = c < 0 ? uint32_t(c) + ((1u << m_k) - 1) : uint32_t(c) - 1;
                if (m_k <= m_bitsHigh) {
                    enc.encodeSymbol(m_corr[m_k - 1], u);
                } else {
                    const uint32_t k1 = m_k - m_bitsHigh;
                    const uint32_t low = u & ((1u << k1) - 1);
                    u >>= k1;
                    enc.encodeSymbol(m_corr[m_k - 1], u);
                    enc.writeBits(k1, low);
                }
            }
        } else {
            enc.encodeBit(m_corr0, uint32_t(c));
        }
    }

    uint32_t m_bitsHigh;
    uint32_t m_corrBits = 0, m_corrRange = 0;
    int32_t m_corrMin = 0, m_corrMax = 0;
    uint32_t m_k = 0;
    std::vector<SymbolModel> m_bits;
    BitModel m_corr0;
    std::vector<SymbolModel> m_corr;  // index k-1 for corrector length k
};

// A symbol model made on first use, as a context first occurs; later chunks re-initialise it.
class LazyModel {
public:
    ORV_LAZ_HOT SymbolModel& get(uint32_t symbols) { return m_fresh ? *m_model : start(symbols); }
    // Marks the model for re-initialisation at its next use.
    void reset() { m_fresh = false; }

private:
    ORV_LAZ_COLD SymbolModel& start(uint32_t symbols) {
        if (!m_model)
            m_model = std::make_unique<SymbolModel>(symbols);
        else
            m_model->init();
        m_fresh = true;
        return *m_model;
    }

    bool m_fresh = false;
    std::unique_ptr<SymbolModel> m_model;
};

}  // namespace orv::laz
