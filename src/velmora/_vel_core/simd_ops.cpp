// ASCII case helpers: 16 bytes at a time with SSE2 on x86-64, 8 bytes at a
// time (SWAR) for the tail and on other processors, then byte by byte.
#include "simd_ops.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define VEL_HAVE_SSE2 1
#endif

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

inline bool byte_is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

// High bit of each byte set where the byte is 'A'..'Z'.  The additions never
// carry into the next byte because every operand byte is below 0x80.
inline uint64_t upper_mask(uint64_t w)
{
    uint64_t low7 = w & ~kHigh;
    uint64_t ge_a = low7 + kOnes * (0x80 - 'A');
    uint64_t gt_z = low7 + kOnes * (0x80 - 'Z' - 1);
    return ge_a & ~gt_z & ~w & kHigh;
}

inline uint64_t load64(const char *p)
{
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

#ifdef VEL_HAVE_SSE2
// 0xFF in each byte that is 'A'..'Z'.  Shifting by 0x80 - 'A' moves 'A' to
// the smallest signed byte, so one signed compare finds the whole range.
inline __m128i upper_mask16(__m128i v)
{
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'A'));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(-128 + 26));
    return _mm_cmplt_epi8(_mm_add_epi8(v, shift), limit);
}
#endif

}  // namespace

int simd_is_ascii_lowercase(const char *data, size_t length)
{
    size_t i = 0;
#ifdef VEL_HAVE_SSE2
    for (; i + 32 <= length; i += 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i + 16));
        if (_mm_movemask_epi8(_mm_or_si128(upper_mask16(a), upper_mask16(b))) != 0) {
            return 0;
        }
    }
    for (; i + 16 <= length; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i));
        if (_mm_movemask_epi8(upper_mask16(a)) != 0) {
            return 0;
        }
    }
#endif
    for (; i + 8 <= length; i += 8) {
        if (upper_mask(load64(data + i)) != 0) {
            return 0;
        }
    }
    for (; i < length; ++i) {
        if (byte_is_upper(static_cast<unsigned char>(data[i]))) {
            return 0;
        }
    }
    return 1;
}

void simd_lowercase_ascii(const char *src, char *dst, size_t length)
{
    size_t i = 0;
#ifdef VEL_HAVE_SSE2
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= length; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        v = _mm_or_si128(v, _mm_and_si128(upper_mask16(v), case_bit));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    }
#endif
    for (; i + 8 <= length; i += 8) {
        uint64_t w = load64(src + i);
        w |= upper_mask(w) >> 2;  // 0x80 >> 2 is the case bit 0x20
        std::memcpy(dst + i, &w, sizeof w);
    }
    for (; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        dst[i] = static_cast<char>(byte_is_upper(c) ? c | 0x20 : c);
    }
}
