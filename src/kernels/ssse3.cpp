#include "escape_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include "kernels/move_table.h"
#include "kernels/nibble_tables.h"
#include "kernels/spread_table.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace escape_special_detail {

namespace {

#define ESCAPE_SSSE3 __attribute__((target("ssse3")))
#define ESCAPE_BLOCKS16_TARGET ESCAPE_SSSE3
#include "kernels/blocks16.h"

// No POPCNT, which some CPUs with SSSE3 lack: the spread table has the
// counts.
struct ssse3_ops {
    using vector = __m128i;
    static constexpr std::size_t blocks = 4;

    __m128i primary;
    __m128i folded;

    ESCAPE_SSSE3 ssse3_ops()
        : primary(_mm_load_si128(reinterpret_cast<const __m128i*>(lookups.primary))),
          folded(_mm_load_si128(reinterpret_cast<const __m128i*>(lookups.folded)))
    {
    }

    ESCAPE_SSSE3 vector load(const unsigned char* in) const
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    }

    ESCAPE_SSSE3 void store(char* out, vector v) const
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    }

    // The AVX2 kernel's lookups at half width.  One lookup by each nibble,
    // ANDed, takes one instruction less but a copy more without AVX's
    // three operands, and was no faster.
    ESCAPE_SSSE3 vector classify(vector v) const
    {
        const __m128i exact = _mm_cmpeq_epi8(_mm_shuffle_epi8(primary, v), v);
        const __m128i other = _mm_cmpeq_epi8(
            _mm_shuffle_epi8(folded, v), _mm_or_si128(v, _mm_set1_epi8(static_cast<char>(fold_bit))));
        return _mm_or_si128(exact, other);
    }

    ESCAPE_SSSE3 unsigned mask(vector c) const
    {
        return static_cast<unsigned>(_mm_movemask_epi8(c));
    }

    ESCAPE_SSSE3 bool masks(const vector (&c)[blocks], unsigned (&m)[blocks]) const
    {
        vector any = c[0];
        for (std::size_t b = 1; b < blocks; ++b) {
            any = _mm_or_si128(any, c[b]);
        }
        if (_mm_movemask_epi8(any) == 0) {
            return false;
        }
        for (std::size_t b = 0; b < blocks; ++b) {
            m[b] = mask(c[b]);
        }
        return true;
    }

    ESCAPE_SSSE3 void store_pairs(char* out, vector v) const
    {
        const __m128i backslashes = _mm_set1_epi8(static_cast<char>(escape_byte));
        store(out, _mm_unpacklo_epi8(backslashes, v));
        store(out + 16, _mm_unpackhi_epi8(backslashes, v));
    }

    ESCAPE_SSSE3 vector subtract(vector a, vector b) const { return _mm_sub_epi8(a, b); }

    ESCAPE_SSSE3 std::size_t total(vector v) const
    {
        const __m128i wide = _mm_sad_epu8(v, _mm_setzero_si128());
        return static_cast<std::size_t>(_mm_cvtsi128_si32(wide)) +
               static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(wide, wide)));
    }

    ESCAPE_SSSE3 void spread(char* out, vector v, unsigned mask) const
    {
        const __m128i backslashes = _mm_set1_epi8(static_cast<char>(escape_byte));
        const auto* patterns = reinterpret_cast<const __m128i*>(escape_special_detail::spread.pattern);
        store(out, _mm_shuffle_epi8(_mm_unpacklo_epi64(v, backslashes),
                                    _mm_load_si128(patterns + (mask & 0xFF))));
        store(out + escape_special_detail::spread.length[mask & 0xFF],
              _mm_shuffle_epi8(_mm_unpackhi_epi64(v, backslashes),
                               _mm_load_si128(patterns + (mask >> 8))));
    }
};

ESCAPE_SSSE3 std::size_t count_ssse3(const unsigned char* in, std::size_t n)
{
    return count_blocks16<ssse3_ops>(in, n);
}

ESCAPE_SSSE3 escaped_prefix escape_ssse3(const unsigned char* in, std::size_t n, char* out,
                                         std::size_t room)
{
    return escape_blocks16<ssse3_ops>(in, n, out, room);
}

// The n (fewer than 16) bytes at `in` in a register, zero after them;
// reads nothing beyond them.
ESCAPE_SSSE3 inline __m128i load_part(const unsigned char* in, std::size_t n)
{
    if (n >= 8) {
        const __m128i both =
            _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + n - 8)));
        return _mm_shuffle_epi8(
            both, _mm_load_si128(reinterpret_cast<const __m128i*>(moves.pattern[n])));
    }
    return _mm_set_epi64x(0, static_cast<long long>(short_word(in, n)));
}

// The last n % 16 bytes of an input of n >= 16, from one load that ends at
// its end, moved down, zero after them.
ESCAPE_SSSE3 inline __m128i load_tail(const unsigned char* in, std::size_t n)
{
    const std::size_t rest = n % 16;
    return _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + n - 16)),
        _mm_load_si128(reinterpret_cast<const __m128i*>(moves.pattern[16 + rest])));
}

ESCAPE_SSSE3 inline std::size_t escaped_size(unsigned mask)
{
    return std::size_t{spread.length[mask & 0xFF]} + spread.length[mask >> 8];
}

// Escapes an input of up to short_limit bytes in one pass: the lookups that
// give the size also give the masks for the escaping, which goes to the
// stack until the string is allocated.  Against the loops, file paths
// escape at 0.46 of copy speed against 0.28, and package versions at 0.32
// against 0.21 (AMD Zen 5, escape_special_bench --ratios); a path of its
// own for inputs of one block made the short ones slower.
ESCAPE_SSSE3 std::string escape_short_ssse3(const unsigned char* in, std::size_t n)
{
    const ssse3_ops k;
    char escaped[2 * short_limit + 32];
    __m128i v[short_limit / 16 + 1];
    unsigned mask[short_limit / 16 + 1];
    const std::size_t whole = n / 16;
    const std::size_t blocks = whole + (n % 16 != 0);
    for (std::size_t b = 0; b < whole; ++b) {
        v[b] = k.load(in + 16 * b);
    }
    if (blocks > whole) {
        v[whole] = n < 16 ? load_part(in, n) : load_tail(in, n);
    }
    // The zeros after a short block are not special, and spread into
    // bytes past the size.
    std::size_t size = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        mask[b] = k.mask(k.classify(v[b]));
        size += escaped_size(mask[b]);
    }
    std::size_t o = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        k.spread(escaped + o, v[b], mask[b]);
        o += escaped_size(mask[b]);
    }
    size -= 16 * blocks - n;
    return string_of(escaped, size);
}

#if defined(__i386__)
// Debian's static C library for i386, which the tool links, has only a
// strlen that takes four bytes at a time: 2.25 instructions a byte, more
// than the escaping.  This looks at 16 bytes at a time, from the aligned
// block that holds the start, up to a 64-byte boundary, and then at 64.
// An aligned block never crosses a page, so reading past the terminator
// within the last block is safe, and the address sanitizer is told not to
// look.
__attribute__((no_sanitize_address)) ESCAPE_SSSE3 inline unsigned zeros_in(const __m128i* block)
{
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_load_si128(block), _mm_setzero_si128())));
}

__attribute__((no_sanitize_address)) ESCAPE_SSSE3 std::size_t length_ssse3(const char* input)
{
    const auto start = reinterpret_cast<std::uintptr_t>(input);
    const auto* block = reinterpret_cast<const __m128i*>(start - start % 16);
    const auto at = [&](const __m128i* b, unsigned zeros) {
        return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(b) - start) +
               static_cast<std::size_t>(__builtin_ctz(zeros));
    };
    const unsigned first = zeros_in(block) >> (start % 16);
    if (first != 0) {
        return static_cast<std::size_t>(__builtin_ctz(first));
    }
    for (++block; reinterpret_cast<std::uintptr_t>(block) % 64 != 0; ++block) {
        if (const unsigned zeros = zeros_in(block); zeros != 0) {
            return at(block, zeros);
        }
    }
    for (;; block += 4) {
        // The least of four blocks is zero where any of them is.
        const __m128i least =
            _mm_min_epu8(_mm_min_epu8(_mm_load_si128(block), _mm_load_si128(block + 1)),
                         _mm_min_epu8(_mm_load_si128(block + 2), _mm_load_si128(block + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(least, _mm_setzero_si128())) != 0) {
            break;
        }
    }
    for (;; ++block) {
        if (const unsigned zeros = zeros_in(block); zeros != 0) {
            return at(block, zeros);
        }
    }
}
#endif

}

#if defined(__i386__)
const kernel ssse3_kernel{"ssse3", count_ssse3, escape_ssse3, escape_short_ssse3, length_ssse3};
#else
const kernel ssse3_kernel{"ssse3", count_ssse3, escape_ssse3, escape_short_ssse3, nullptr};
#endif

}

#endif
