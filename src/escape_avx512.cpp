#include "escape_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace escape_special_detail {

namespace {

#define ESCAPE_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

// The nibble tables repeated in all four 128-bit lanes, since pshufb looks
// up within each lane.
struct lane_tables {
    alignas(64) unsigned char low[64];
    alignas(64) unsigned char high[64];
};

constexpr lane_tables make_lane_tables()
{
    lane_tables t{};
    for (unsigned i = 0; i < 64; ++i) {
        t.low[i] = special_nibbles.low[i % 16];
        t.high[i] = special_nibbles.high[i % 16];
    }
    return t;
}

constexpr lane_tables nibbles = make_lane_tables();

ESCAPE_AVX512 inline __mmask64 special_mask(__m512i v)
{
    const __m512i low = _mm512_load_si512(nibbles.low);
    const __m512i high = _mm512_load_si512(nibbles.high);
    // pshufb gives 0 for bytes 0x80 to 0xFF, which are never special.
    const __m512i by_low = _mm512_shuffle_epi8(low, v);
    const __m512i by_high = _mm512_shuffle_epi8(
        high, _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F)));
    return _mm512_test_epi8_mask(by_low, by_high);
}

ESCAPE_AVX512 std::size_t count_avx512(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        const __m512i v = _mm512_loadu_si512(in + i);
        count += static_cast<std::size_t>(_mm_popcnt_u64(special_mask(v)));
    }
    return count + count_scalar(in + i, n - i);
}

// Spreads the 32 bytes of one half of a block into 32 byte pairs, backslash
// first, then drops the backslashes in front of ordinary bytes.  The stores
// are masked to the bytes that count, so the output needs no slack.
ESCAPE_AVX512 inline std::size_t escape_half(__m512i v, __m512i pairs, std::uint32_t specials,
                                             char* out)
{
    const __m512i backslashes = _mm512_set1_epi8(static_cast<char>(escape_byte));
    const __m512i spread = _mm512_permutex2var_epi8(v, pairs, backslashes);
    const __mmask64 keep = _pdep_u64(specials, 0x5555555555555555ull) | 0xAAAAAAAAAAAAAAAAull;
    const std::size_t written = 32 + static_cast<std::size_t>(_mm_popcnt_u32(specials));
    _mm512_mask_storeu_epi8(out, _bzhi_u64(~0ull, static_cast<unsigned>(written)),
                            _mm512_maskz_compress_epi8(keep, spread));
    return written;
}

// Byte 2k of a pair pattern picks a backslash (index 64 and up selects the
// second source); byte 2k + 1 picks input byte `first + k`.
struct pair_pattern {
    alignas(64) unsigned char index[64];
};

constexpr pair_pattern make_pair_pattern(unsigned first)
{
    pair_pattern p{};
    for (unsigned k = 0; k < 32; ++k) {
        p.index[2 * k] = 64;
        p.index[2 * k + 1] = static_cast<unsigned char>(first + k);
    }
    return p;
}

constexpr pair_pattern low_half = make_pair_pattern(0);
constexpr pair_pattern high_half = make_pair_pattern(32);

ESCAPE_AVX512 void escape_avx512(const unsigned char* in, std::size_t n, char* out,
                                 std::size_t out_size)
{
    const __m512i low_pairs = _mm512_load_si512(low_half.index);
    const __m512i high_pairs = _mm512_load_si512(high_half.index);
    std::size_t i = 0;
    std::size_t o = 0;
    for (; n - i >= 64; i += 64) {
        const __m512i v = _mm512_loadu_si512(in + i);
        const __mmask64 mask = special_mask(v);
        if (mask == 0) {
            _mm512_storeu_si512(out + o, v);
            o += 64;
            continue;
        }
        o += escape_half(v, low_pairs, static_cast<std::uint32_t>(mask), out + o);
        o += escape_half(v, high_pairs, static_cast<std::uint32_t>(mask >> 32), out + o);
    }
    escape_scalar(in + i, n - i, out + o, out_size - o);
}

}

const kernel avx512_kernel{"avx512vbmi2", count_avx512, escape_avx512};

}

#endif
