#include "escape_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace escape_special_detail {

namespace {

// For each 8-bit mask of special bytes, a pshufb pattern that spreads eight
// input bytes (register bytes 0 to 7) over 8 + popcount(mask) output bytes,
// putting a backslash (register bytes 8 to 15) before each marked byte.
struct spread_table {
    alignas(16) unsigned char pattern[256][16];
};

constexpr spread_table make_spread_table()
{
    spread_table t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned out = 0;
        for (unsigned j = 0; j < 8; ++j) {
            if (mask & (1u << j)) {
                t.pattern[mask][out++] = 8;
            }
            t.pattern[mask][out++] = static_cast<unsigned char>(j);
        }
        while (out < 16) {
            t.pattern[mask][out++] = 0x80;
        }
    }
    return t;
}

constexpr spread_table spread = make_spread_table();

#define ESCAPE_AVX2 __attribute__((target("avx2,popcnt")))

ESCAPE_AVX2 inline std::uint32_t special_mask(__m256i v)
{
    const __m256i low = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(special_nibbles.low.data())));
    const __m256i high = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(special_nibbles.high.data())));
    // pshufb gives 0 for bytes 0x80 to 0xFF, which are never special.
    const __m256i by_low = _mm256_shuffle_epi8(low, v);
    const __m256i by_high = _mm256_shuffle_epi8(
        high, _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)));
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(by_low, by_high),
                                           _mm256_setzero_si256());
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(none));
}

ESCAPE_AVX2 std::size_t count_avx2(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    std::size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        count += static_cast<std::size_t>(_mm_popcnt_u32(special_mask(v)));
    }
    return count + count_scalar(in + i, n - i);
}

// Each 32-byte block writes at most 64 bytes from its start, in 16-byte
// stores of which only the first 8 + popcount bytes count; the next store or
// the scalar tail overwrites the rest.
ESCAPE_AVX2 void escape_avx2(const unsigned char* in, std::size_t n, char* out,
                             std::size_t out_size)
{
    const __m128i backslashes = _mm_set1_epi8(static_cast<char>(escape_byte));
    std::size_t i = 0;
    std::size_t o = 0;
    for (; n - i >= 32 && out_size - o >= 64; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const std::uint32_t mask = special_mask(v);
        if (mask == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), v);
            o += 32;
            continue;
        }
        for (unsigned part = 0; part < 4; ++part) {
            const unsigned bits = (mask >> (8 * part)) & 0xFF;
            const __m128i eight = _mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i + 8 * part)), backslashes);
            const __m128i pattern =
                _mm_load_si128(reinterpret_cast<const __m128i*>(spread.pattern[bits]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_shuffle_epi8(eight, pattern));
            o += 8 + static_cast<std::size_t>(_mm_popcnt_u32(bits));
        }
    }
    escape_scalar(in + i, n - i, out + o, out_size - o);
}

}

const kernel avx2_kernel{"avx2", count_avx2, escape_avx2, nullptr};

}

#endif
