#include "escape_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdint>

namespace escape_special_detail {

namespace {

#define ESCAPE_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

// A 128-entry table for vpermb, which looks up the low seven bits of each
// byte: a special byte maps to itself and any other byte below 0x80 to a
// different value.  All entries are below 0x80, so a byte from 0x80 up
// never maps to itself either.
struct lookup_table {
    alignas(64) unsigned char entry[128];
};

constexpr lookup_table make_lookup_table()
{
    lookup_table t{};
    for (unsigned c = 0; c < 128; ++c) {
        t.entry[c] = static_cast<unsigned char>(special_table[c] != 0 ? c : c ^ 1);
    }
    return t;
}

constexpr lookup_table lookup = make_lookup_table();

ESCAPE_AVX512 inline __mmask64 special_mask(__m512i v)
{
    const __m512i low = _mm512_load_si512(lookup.entry);
    const __m512i high = _mm512_load_si512(lookup.entry + 64);
    return _mm512_cmpeq_epi8_mask(_mm512_permutex2var_epi8(low, v, high), v);
}

// Loads the `width` bytes at `in` into the low end of a register and zeroes
// the rest, touching no byte beyond them.
ESCAPE_AVX512 inline __m512i load_part(const unsigned char* in, std::size_t width)
{
    return _mm512_maskz_loadu_epi8(_bzhi_u64(~0ull, static_cast<unsigned>(width)), in);
}

// Full blocks of 64, then one block of 32 and one of 16 where they fit, so
// that at most 15 bytes are left for the scalar loop even in short strings.
ESCAPE_AVX512 std::size_t count_avx512(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        count += static_cast<std::size_t>(_mm_popcnt_u64(special_mask(_mm512_loadu_si512(in + i))));
    }
    for (std::size_t width = 32; width >= 16; width /= 2) {
        if (n - i >= width) {
            const auto part = _bzhi_u64(special_mask(load_part(in + i, width)),
                                        static_cast<unsigned>(width));
            count += static_cast<std::size_t>(_mm_popcnt_u64(part));
            i += width;
        }
    }
    return count + count_scalar(in + i, n - i);
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

// Spreads the first `width` (at most 32) bytes of `v` into byte pairs,
// backslash first, then drops the backslashes in front of ordinary bytes.
// Where 64 bytes of output room are left it stores a whole register, whose
// bytes past the escaped ones are overwritten later; nearer the end it
// stores exactly the escaped bytes.
ESCAPE_AVX512 inline std::size_t escape_part(__m512i v, __m512i pairs, std::uint32_t specials,
                                             std::size_t width, char* out, std::size_t room)
{
    const __m512i backslashes = _mm512_set1_epi8(static_cast<char>(escape_byte));
    const __m512i spread = _mm512_permutex2var_epi8(v, pairs, backslashes);
    const __mmask64 keep =
        (_pdep_u64(specials, 0x5555555555555555ull) | 0xAAAAAAAAAAAAAAAAull) &
        _bzhi_u64(~0ull, static_cast<unsigned>(2 * width));
    const __m512i escaped = _mm512_maskz_compress_epi8(keep, spread);
    const std::size_t written = width + static_cast<std::size_t>(_mm_popcnt_u32(specials));
    if (room >= 64) {
        _mm512_storeu_si512(out, escaped);
    } else {
        _mm512_mask_storeu_epi8(out, _bzhi_u64(~0ull, static_cast<unsigned>(written)), escaped);
    }
    return written;
}

ESCAPE_AVX512 void escape_avx512(const unsigned char* in, std::size_t n, char* out,
                                 std::size_t out_size)
{
    const __m512i low_pairs = _mm512_load_si512(low_half.index);
    const __m512i high_pairs = _mm512_load_si512(high_half.index);
    const __m512i backslashes = _mm512_set1_epi8(static_cast<char>(escape_byte));
    std::size_t i = 0;
    std::size_t o = 0;
    for (; n - i >= 64; i += 64) {
        const __m512i v = _mm512_loadu_si512(in + i);
        const __mmask64 mask = special_mask(v);
        if (mask == 0) {
            _mm512_storeu_si512(out + o, v);
            o += 64;
        } else if (mask == ~0ull) {
            _mm512_storeu_si512(out + o, _mm512_permutex2var_epi8(v, low_pairs, backslashes));
            _mm512_storeu_si512(out + o + 64, _mm512_permutex2var_epi8(v, high_pairs, backslashes));
            o += 128;
        } else {
            o += escape_part(v, low_pairs, static_cast<std::uint32_t>(mask), 32, out + o,
                             out_size - o);
            o += escape_part(v, high_pairs, static_cast<std::uint32_t>(mask >> 32), 32, out + o,
                             out_size - o);
        }
    }
    for (std::size_t width = 32; width >= 16; width /= 2) {
        if (n - i >= width) {
            const __m512i v = load_part(in + i, width);
            const auto specials = static_cast<std::uint32_t>(
                _bzhi_u64(special_mask(v), static_cast<unsigned>(width)));
            o += escape_part(v, low_pairs, specials, width, out + o, out_size - o);
            i += width;
        }
    }
    escape_scalar(in + i, n - i, out + o, out_size - o);
}

}

const kernel avx512_kernel{"avx512vbmi2", count_avx512, escape_avx512};

}

#endif
