#include "escape_kernels.h"

// The tests build this file a second time against plain C++ definitions of
// the same intrinsics, so that the kernel's code runs on CPUs without
// AVX-512 too, as a kernel of its own name.
#if defined(ESCAPE_SPECIAL_AVX512_MODEL)
#include "avx512_model.h"
#define ESCAPE_AVX512
#define ESCAPE_AVX512_KERNEL avx512_model_kernel
#define ESCAPE_AVX512_NAME "avx512-model"
#elif defined(__x86_64__)
#include <immintrin.h>
#define ESCAPE_AVX512                                                                        \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))
#define ESCAPE_AVX512_KERNEL avx512_kernel
#define ESCAPE_AVX512_NAME "avx512vbmi2"
#endif

#if defined(ESCAPE_AVX512_KERNEL)

#include <cstdint>

namespace escape_special_detail {

namespace {

ESCAPE_AVX512 inline std::uint64_t special_mask(__m512i v)
{
    // vpermb looks up the low six bits of each byte.  The masked form with
    // every lane selected is plain vpermb; the unmasked intrinsic trips
    // g++ 12's -Wmaybe-uninitialized inside its own header.
    const __m512i table = _mm512_load_si512(low_six_bits.entry);
    const __m512i entries = _mm512_mask_permutexvar_epi8(table, ~0ull, v, table);
    return _mm512_cmpeq_epi8_mask(entries, v);
}

// Loads the `width` (at most 64) bytes at `in` into the low end of a
// register and zeroes the rest, touching no byte beyond them.
ESCAPE_AVX512 inline __m512i load_part(const unsigned char* in, std::size_t width)
{
    return _mm512_maskz_loadu_epi8(_bzhi_u64(~0ull, static_cast<unsigned>(width)), in);
}

#if !defined(ESCAPE_SPECIAL_AVX512_MODEL)
// The 64 bytes at `in`, all in one page, of which the input holds only the
// first `width`.  A read within a page cannot fault; a sanitizer would still
// report the bytes past the input.
__attribute__((no_sanitize_address)) ESCAPE_AVX512 inline __m512i
load_past(const unsigned char* in, std::size_t)
{
    return _mm512_loadu_si512(in);
}
#endif

// The `width` (at most 64) bytes at `in` in the low end of a register,
// with whatever follows them in their page above, or zeros where the 64
// bytes would leave a 4 KiB page, the smallest there is; callers use only
// the first `width`.  A load without a mask does not wait for the length
// that strlen has just found, so the lookups start while strlen finishes.
// Against load_part alone, in three paired --ratios runs on AMD Zen 5,
// 100-byte prose went from 0.54-0.59 of copy speed to 0.63-0.66, 16-byte
// prose from 0.68-0.69 to 0.70-0.75, and real paths and URLs from
// 0.68-0.70 to 0.71-0.73.
ESCAPE_AVX512 inline __m512i load_in_page(const unsigned char* in, std::size_t width)
{
    if ((reinterpret_cast<std::uintptr_t>(in) & 4095) <= 4096 - 64) {
        return load_past(in, width);
    }
    return load_part(in, width);
}

ESCAPE_AVX512 std::size_t count_avx512(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        count += static_cast<std::size_t>(_mm_popcnt_u64(special_mask(_mm512_loadu_si512(in + i))));
    }
    // The last bytes go through one masked load, which costs less than the
    // scalar loop even for a single byte.
    if (i < n) {
        const auto width = static_cast<unsigned>(n - i);
        count += static_cast<std::size_t>(
            _mm_popcnt_u64(_bzhi_u64(special_mask(load_part(in + i, width)), width)));
    }
    return count;
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

// Spreads 32 bytes of `v`, chosen by `pairs`, into (backslash, byte) pairs
// and keeps the backslash only in front of the bytes marked in `specials`.
// The escaped bytes come first in the result, 32 + popcount(specials) of
// them.
ESCAPE_AVX512 inline __m512i escape_half(__m512i v, __m512i pairs, std::uint32_t specials)
{
    const __m512i spread =
        _mm512_permutex2var_epi8(v, pairs, _mm512_set1_epi8(static_cast<char>(escape_byte)));
    const std::uint64_t keep =
        _pdep_u64(specials, 0x5555555555555555ull) | 0xAAAAAAAAAAAAAAAAull;
    return _mm512_maskz_compress_epi8(keep, spread);
}

ESCAPE_AVX512 inline void store_part(char* out, std::size_t width, __m512i v)
{
    _mm512_mask_storeu_epi8(out, _bzhi_u64(~0ull, static_cast<unsigned>(width)), v);
}

// Escapes the `width` (at most 64) bytes in `v`, whose special bytes are
// marked in `mask`, storing exactly the escaped bytes.  Returns how many
// there are.
ESCAPE_AVX512 std::size_t escape_part(__m512i v, std::uint64_t mask, std::size_t width, char* out)
{
    if (mask == 0) {
        store_part(out, width, v);
        return width;
    }
    const __m512i low_pairs = _mm512_load_si512(low_half.index);
    const std::size_t low_width = width < 32 ? width : 32;
    const auto low_mask = static_cast<std::uint32_t>(mask);
    const std::size_t low = low_width + static_cast<std::size_t>(_mm_popcnt_u32(low_mask));
    store_part(out, low, escape_half(v, low_pairs, low_mask));
    if (width <= 32) {
        return low;
    }
    const __m512i high_pairs = _mm512_load_si512(high_half.index);
    const auto high_mask = static_cast<std::uint32_t>(mask >> 32);
    const std::size_t high = width - 32 + static_cast<std::size_t>(_mm_popcnt_u32(high_mask));
    store_part(out + low, high, escape_half(v, high_pairs, high_mask));
    return low + high;
}

// Escapes the whole 64-byte block `v` read from `in`, whose special bytes
// are marked in `mask`, with whole-register stores that may run past its
// escaped bytes, up to 128 bytes from `out`; the next block overwrites
// those.  Returns how many escaped bytes there are.
ESCAPE_AVX512 inline std::size_t escape_block(const unsigned char* in, __m512i v,
                                              std::uint64_t mask, char* out)
{
    const __m512i low_pairs = _mm512_load_si512(low_half.index);
    const __m512i high_pairs = _mm512_load_si512(high_half.index);
    const __m512i backslashes = _mm512_set1_epi8(static_cast<char>(escape_byte));
    if (mask == 0) {
        _mm512_storeu_si512(out, v);
        return 64;
    }
    if ((mask & (mask - 1)) == 0) {
        // Sparse text mostly has one special byte in a dirty block: open a
        // gap for its backslash, which pushes the last byte out to 64.
        _mm512_storeu_si512(out, _mm512_mask_expand_epi8(backslashes, ~mask, v));
        out[64] = static_cast<char>(in[63]);
        return 65;
    }
    if (mask == ~0ull) {
        _mm512_storeu_si512(out, _mm512_permutex2var_epi8(v, low_pairs, backslashes));
        _mm512_storeu_si512(out + 64, _mm512_permutex2var_epi8(v, high_pairs, backslashes));
        return 128;
    }
    const auto low_mask = static_cast<std::uint32_t>(mask);
    const auto high_mask = static_cast<std::uint32_t>(mask >> 32);
    const std::size_t low = 32 + static_cast<std::size_t>(_mm_popcnt_u32(low_mask));
    _mm512_storeu_si512(out, escape_half(v, low_pairs, low_mask));
    _mm512_storeu_si512(out + low, escape_half(v, high_pairs, high_mask));
    return low + 32 + static_cast<std::size_t>(_mm_popcnt_u32(high_mask));
}

ESCAPE_AVX512 escaped_prefix escape_avx512(const unsigned char* in, std::size_t n, char* out,
                                           std::size_t room)
{
    std::size_t i = 0;
    std::size_t o = 0;
    // A block's stores wait for the counts of every block before it, and
    // loads that come after them in the program wait behind them.  Loading
    // and looking up two blocks ahead of the one being stored makes dense
    // input about a quarter faster.
    if (n >= 192) {
        __m512i v = _mm512_loadu_si512(in);
        __m512i next = _mm512_loadu_si512(in + 64);
        std::uint64_t mask = special_mask(v);
        std::uint64_t next_mask = special_mask(next);
        for (; n - i >= 192 && room - o >= 128; i += 64) {
            const __m512i after = _mm512_loadu_si512(in + i + 128);
            const std::uint64_t after_mask = special_mask(after);
            o += escape_block(in + i, v, mask, out + o);
            v = next;
            mask = next_mask;
            next = after;
            next_mask = after_mask;
        }
    }
    for (; n - i >= 64 && room - o >= 128; i += 64) {
        const __m512i v = _mm512_loadu_si512(in + i);
        o += escape_block(in + i, v, special_mask(v), out + o);
    }
    // The rest, at most a few blocks unless the room ran out, with masked
    // loads and stores that touch exactly the bytes of the input and of the
    // output.  A block that does not fit is left to the scalar loop, which
    // escapes as much of it as fits.
    while (i < n) {
        const std::size_t width = n - i < 64 ? n - i : 64;
        const __m512i v = load_part(in + i, width);
        const std::uint64_t mask = _bzhi_u64(special_mask(v), static_cast<unsigned>(width));
        if (room - o < width + static_cast<std::size_t>(_mm_popcnt_u64(mask))) {
            return escaped_prefix{i, o} + escape_scalar(in + i, n - i, out + o, room - o);
        }
        o += escape_part(v, mask, width, out + o);
        i += width;
    }
    return {i, o};
}

// Stores the escaped halves in order onto the stack, each whole and over
// the stray bytes of the one before, while the string is allocated, and
// copies them into it (see string_of).
template <std::size_t count>
ESCAPE_AVX512 std::string join_halves(const __m512i (&half)[count],
                                      const std::size_t (&length)[count], std::size_t size)
{
    char escaped[64 * count];
    std::size_t o = 0;
    for (std::size_t k = 0; k < count; ++k) {
        _mm512_storeu_si512(escaped + o, half[k]);
        o += length[k];
    }
    return string_of(escaped, size);
}

// Escapes a short input in registers and allocates once it knows the size.
// Against the two passes this saves the second load and lookup, and it has
// no branch on the bytes, which in short strings of sparse text would be
// mispredicted about every other call.  As written, g++ 12 does the
// escaping before the allocation, where it overlaps the call; in other
// shapes of this code it moved it after, and 100-byte calls took half as
// long again.
ESCAPE_AVX512 std::string escape_short_avx512(const unsigned char* in, std::size_t n)
{
    const __m512i low_pairs = _mm512_load_si512(low_half.index);
    const __m512i high_pairs = _mm512_load_si512(high_half.index);
    if (n <= 64) {
        const __m512i v = load_in_page(in, n);
        const std::uint64_t m = _bzhi_u64(special_mask(v), static_cast<unsigned>(n));
        const auto low = static_cast<std::uint32_t>(m);
        const std::size_t l0 =
            (n < 32 ? n : 32) + static_cast<std::size_t>(_mm_popcnt_u32(low));
        if (n <= 32) {
            return join_halves({escape_half(v, low_pairs, low)}, {l0}, l0);
        }
        const std::size_t size = n + static_cast<std::size_t>(_mm_popcnt_u64(m));
        return join_halves({escape_half(v, low_pairs, low),
                            escape_half(v, high_pairs, static_cast<std::uint32_t>(m >> 32))},
                           {l0, size - l0}, size);
    }
    const __m512i v0 = _mm512_loadu_si512(in);
    const std::uint64_t m0 = special_mask(v0);
    const std::size_t second = n - 64;
    const __m512i v1 = load_in_page(in + 64, second);
    const std::uint64_t m1 = _bzhi_u64(special_mask(v1), static_cast<unsigned>(second));
    const std::size_t size = n + static_cast<std::size_t>(_mm_popcnt_u64(m0)) +
                             static_cast<std::size_t>(_mm_popcnt_u64(m1));
    const auto m00 = static_cast<std::uint32_t>(m0);
    const auto m10 = static_cast<std::uint32_t>(m1);
    const std::size_t l00 = 32 + static_cast<std::size_t>(_mm_popcnt_u32(m00));
    const std::size_t l01 = 64 + static_cast<std::size_t>(_mm_popcnt_u64(m0)) - l00;
    const std::size_t l10 =
        (second < 32 ? second : 32) + static_cast<std::size_t>(_mm_popcnt_u32(m10));
    const std::size_t l11 = size - l00 - l01 - l10;
    return join_halves({escape_half(v0, low_pairs, m00),
                        escape_half(v0, high_pairs, static_cast<std::uint32_t>(m0 >> 32)),
                        escape_half(v1, low_pairs, m10),
                        escape_half(v1, high_pairs, static_cast<std::uint32_t>(m1 >> 32))},
                       {l00, l01, l10, l11}, size);
}

}

extern const kernel ESCAPE_AVX512_KERNEL{ESCAPE_AVX512_NAME, count_avx512, escape_avx512,
                                        escape_short_avx512, nullptr};

}

#endif
