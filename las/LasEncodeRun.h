// The writer's per-point loop: encodes a run of points into format-0 records, keeping the
// running bounds and the points by return. Two versions that give the same bytes: a vector one
// for x86-64 (SSE2 is part of its baseline) and a plain one for everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "OrvBasic.h"
#include "las/LasCodec.h"
#include "las/LasLimits.h"

namespace orv::las {

// What a run did: the points it looked at and the records it wrote (the points it accepted).
struct RunCount {
    size_t taken;
    size_t written;
};

// Running bounds and return counters of a run of points.
struct RunState {
    double lo[3], hi[3];
    uint32_t byReturn[5];
};

// What a run keeps while it goes: bounds over the accepted points' floats, and a count per
// return number 0 to 7 (a number above 7 counts into slot 0, which is never folded).
// c = double(f) + shift never decreases as f grows for a fixed shift, so the bounds of the
// floats, converted once at the end, are exactly the bounds of the coordinates.
struct RunTally {
    float lo[3] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                   std::numeric_limits<float>::infinity()};
    float hi[3] = {-std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                   -std::numeric_limits<float>::infinity()};
    uint32_t byReturn[8] = {};
};

// Folds a run's tally into the state, as if its points had been taken one by one.
template <bool kShift>
inline void foldTally(const RunTally& tally, size_t written, const XPnt3d& shift, RunState& state) {
    if (written == 0) return;
    const double add[3] = {shift.x, shift.y, shift.z};
    for (int axis = 0; axis < 3; ++axis) {
        double lo = tally.lo[axis], hi = tally.hi[axis];
        if (kShift) lo += add[axis], hi += add[axis];
        state.lo[axis] = lo < state.lo[axis] ? lo : state.lo[axis];
        state.hi[axis] = hi > state.hi[axis] ? hi : state.hi[axis];
    }
    for (int k = 0; k < 5; ++k) state.byReturn[k] += tally.byReturn[k + 1];
}

// Slot of the return counters for a point's return number: return numbers 1 to 5 are counted.
inline unsigned returnSlot(uint8_t returnNumber) {
    return returnNumber < 8 ? returnNumber : 0u;
}

// The plain loop: records of the points pointAt(begin) ... pointAt(begin + count - 1) into
// `out`, one after another, refused points left out. With kStopAtNull the run ends early at the
// first null pointAt(i), which is not taken.
template <bool kShift, bool kStopAtNull = false, class PointAt>
RunCount encodeRunScalar(PointAt pointAt, size_t begin, size_t count, const double offset[3],
                         const XPnt3d& shift, uint8_t* out, RunState& state) {
    const double off[3] = {offset[0], offset[1], offset[2]};
    const double add[3] = {shift.x, shift.y, shift.z};
    RunTally tally;
    size_t written = 0;
    size_t i = begin;
    for (; i < begin + count; ++i) {
        const LasPnt* point = pointAt(i);
        if (kStopAtNull && !point) break;
        const XPnt3f p = point->pnt;
        const float f[3] = {p.x, p.y, p.z};
        double c[3] = {f[0], f[1], f[2]};
        if (kShift) c[0] += add[0], c[1] += add[1], c[2] += add[2];
        int32_t xyz[3];
        if (!toStoredInts(c, off, xyz)) continue;
        for (int axis = 0; axis < 3; ++axis) {
            tally.lo[axis] = f[axis] < tally.lo[axis] ? f[axis] : tally.lo[axis];
            tally.hi[axis] = f[axis] > tally.hi[axis] ? f[axis] : tally.hi[axis];
        }
        encodeRecord0(out + written * kWrittenRecordLength, xyz, *point);
        ++tally.byReturn[returnSlot(point->returnNumber)];
        ++written;
    }
    foldTally<kShift>(tally, written, shift, state);
    return {i - begin, written};
}

#if defined(__SSE2__)
// The vector loop reads these point bytes directly.
static_assert(offsetof(LasPnt, pnt) == 0 && offsetof(XPnt3f, attr) == 12 &&
                  offsetof(LasPnt, classification) == 16 && offsetof(LasPnt, returnNumber) == 17 &&
                  offsetof(LasPnt, pointSource) == 19,
              "the point layout the vector loop reads");

// The vector loop writes format-0 records as one 12-byte X, Y, Z store and one 8-byte tail store
// rearranged from the point: the record layout it restates.
static_assert(kLasXOffset == 0 && kLasYOffset == 4 && kLasZOffset == 8 &&
                  kLasIntensityOffset == 12 && kLasReturnByteOffset == 14 &&
                  kLasPointLayouts[0].classification == 15 && kLasPointLayouts[0].scanAngle == 16 &&
                  kLasPointLayouts[0].userData == 17 && kLasPointLayouts[0].pointSourceId == 18 &&
                  kLasPointLayouts[0].length == 20 && kWrittenRecordLength == 20,
              "the format-0 record layout the vector loop writes");

// One count in the 8-bit lane of each return number 0 to 7; a number above 7 counts nowhere.
struct ReturnLanes {
    uint64_t one[256];
    constexpr ReturnLanes() : one() {
        for (unsigned n = 0; n < 8; ++n) one[n] = uint64_t{1} << (8 * n);
    }
};
inline constexpr ReturnLanes kReturnLanes{};

// How far ahead of the point in hand the vector loop asks for memory.
constexpr size_t kPrefetchBytes = 1024;

// The vector loop. What keeps it short:
// - X, Y in one register and Z in another; truncation to int32 gives INT32_MIN for NaN and for
//   anything out of range, so only a point with INT32_MIN in a lane needs the exact range check
//   (INT32_MIN itself is a valid value).
// - Record bytes 12 to 19 are rearranged from point bytes 12 to 19 in a register, and the record
//   goes out in two overlapping stores: no byte is assembled in general registers.
// - Return numbers are counted in eight 8-bit lanes of one register, emptied every 255 points,
//   instead of by a memory increment per point whose store the next point may have to wait for.
template <bool kShift, bool kStopAtNull = false, class PointAt>
RunCount encodeRunSse2(PointAt pointAt, size_t begin, size_t count, const double offset[3],
                       const XPnt3d& shift, uint8_t* out, RunState& state) {
    // The attribute lane of a loaded point is cleared: its bits would be a denormal float.
    const __m128 xyzMask = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    const __m128d offXY = _mm_set_pd(offset[1], offset[0]);
    const __m128d offZ = _mm_set_pd(0.0, offset[2]);
    const __m128d addXY = _mm_set_pd(shift.y, shift.x);
    const __m128d addZ = _mm_set_pd(0.0, shift.z);
    const __m128d thousand = _mm_set1_pd(1000.0);
    const __m128i indefinite = _mm_set1_epi32(std::numeric_limits<int32_t>::min());
    // Truncation keeps every value strictly between these two; NaN fails both comparisons.
    const __m128d lowest = _mm_set1_pd(-2147483649.0);
    const __m128d highest = _mm_set1_pd(2147483648.0);
    // 16-bit words of record bytes 12 to 19 taken as they are (the intensity), and taken
    // byte-swapped: (return number & 7, classification), then 0, then (point source, 0).
    const __m128i keepWords = _mm_set_epi16(0, 0, 0, 0, 0, 0, 0, -1);
    const __m128i keepSwapped = _mm_set_epi16(0, 0, 0, 0, 0x00ff, 0, static_cast<short>(0xff07), 0);
    __m128 lo = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 hi = _mm_set1_ps(-std::numeric_limits<float>::infinity());
    uint32_t byReturn[8] = {};
    size_t written = 0;
    size_t end = begin + count;
    size_t i = begin;
    while (i < end) {
        const size_t stop = end - i < 255 ? end : i + 255;  // at most 255 counts per lane
        uint64_t lanes = 0;
        for (; i < stop; ++i) {
            const uint8_t* point = reinterpret_cast<const uint8_t*>(pointAt(i));
            if (kStopAtNull && !point) {
                end = i;  // leaves both loops once this block's counts are emptied
                break;
            }
            // Points usually lie one after another: asking for them well ahead hides the wait
            // for memory that the hardware's own prefetch leaves when the loop runs this fast.
            _mm_prefetch(
                reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(point) + kPrefetchBytes),
                _MM_HINT_T0);
            const __m128 f =
                _mm_and_ps(_mm_loadu_ps(reinterpret_cast<const float*>(point)), xyzMask);
            __m128d xy = _mm_cvtps_pd(f);
            __m128d zw = _mm_cvtps_pd(_mm_movehl_ps(f, f));
            if (kShift) xy = _mm_add_pd(xy, addXY), zw = _mm_add_pd(zw, addZ);
            xy = _mm_mul_pd(_mm_sub_pd(xy, offXY), thousand);
            zw = _mm_mul_pd(_mm_sub_pd(zw, offZ), thousand);
            const __m128i ints = _mm_unpacklo_epi64(_mm_cvttpd_epi32(xy), _mm_cvttpd_epi32(zw));
            if (__builtin_expect(_mm_movemask_epi8(_mm_cmpeq_epi32(ints, indefinite)) != 0, 0)) {
                const __m128d inside =
                    _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(xy, lowest), _mm_cmplt_pd(xy, highest)),
                               _mm_and_pd(_mm_cmpgt_pd(zw, lowest), _mm_cmplt_pd(zw, highest)));
                if (_mm_movemask_pd(inside) != 3) continue;
            }
            lo = _mm_min_ps(f, lo);  // f < lo ? f : lo, lane by lane
            hi = _mm_max_ps(f, hi);
            // Point bytes 12 to 19: intensity, padding, classification, return number, spare,
            // point source. As words: [intensity, (class, return), (class, return),
            // (spare, source)].
            const __m128i words =
                _mm_shufflelo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(point + 12)),
                                    _MM_SHUFFLE(3, 2, 2, 0));
            const __m128i swapped =
                _mm_or_si128(_mm_srli_epi16(words, 8), _mm_slli_epi16(words, 8));
            const __m128i tail =
                _mm_or_si128(_mm_and_si128(words, keepWords), _mm_and_si128(swapped, keepSwapped));
            uint8_t* at = out + written * kWrittenRecordLength;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at), ints);  // bytes 12 to 15 follow
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 12), tail);
            lanes += kReturnLanes.one[point[17]];
            ++written;
        }
        for (int k = 0; k < 8; ++k) byReturn[k] += static_cast<uint32_t>(lanes >> (8 * k)) & 0xffu;
    }
    RunTally tally;
    float l[4], h[4];
    _mm_storeu_ps(l, lo);
    _mm_storeu_ps(h, hi);
    for (int axis = 0; axis < 3; ++axis) tally.lo[axis] = l[axis], tally.hi[axis] = h[axis];
    std::memcpy(tally.byReturn, byReturn, sizeof byReturn);
    foldTally<kShift>(tally, written, shift, state);
    return {i - begin, written};
}
#endif

// The loop the writer uses.
template <bool kShift, bool kStopAtNull = false, class PointAt>
RunCount encodeRun(PointAt pointAt, size_t begin, size_t count, const double offset[3],
                   const XPnt3d& shift, uint8_t* out, RunState& state) {
#if defined(__SSE2__)
    return encodeRunSse2<kShift, kStopAtNull>(pointAt, begin, count, offset, shift, out, state);
#else
    return encodeRunScalar<kShift, kStopAtNull>(pointAt, begin, count, offset, shift, out, state);
#endif
}

}  // namespace orv::las
