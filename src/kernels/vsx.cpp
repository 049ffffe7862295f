#include "escape_kernels.h"

// POWER8, Debian's ppc64el baseline, has VSX and vbpermq.
#if defined(__POWER8_VECTOR__) && defined(__LITTLE_ENDIAN__)

#include "kernels/nibble_tables.h"
#include "kernels/spread_table.h"

#include <altivec.h>

#include <cstddef>

// altivec.h makes these words keywords, which the library's headers use.
#undef vector
#undef pixel
#undef bool

namespace escape_special_detail {

namespace {

#define ESCAPE_BLOCKS16_TARGET
#include "kernels/blocks16.h"

using bytes = __vector unsigned char;
using doublewords = __vector unsigned long long;

// A table in reverse, for vperm itself.  In little-endian mode vec_perm
// numbers the bytes from the other end than the instruction does, and
// turns the index around with an instruction of its own; given the index
// turned around already, as vec_nor(v, v), the compiler drops both, and the
// reversed table gives the entries in order.
struct reversed_table {
    alignas(16) unsigned char entry[16];
};

constexpr reversed_table reversed(const unsigned char (&entries)[16])
{
    reversed_table t{};
    for (unsigned k = 0; k < 16; ++k) {
        t.entry[k] = entries[15 - k];
    }
    return t;
}

constexpr reversed_table primary_reversed = reversed(lookups.primary);
constexpr reversed_table folded_reversed = reversed(lookups.folded);

// For vbpermq: the bit number of each byte's top bit, so that bit k of
// the result is byte k's.
alignas(16) constexpr unsigned char top_bits[16] = {120, 112, 104, 96, 88, 80, 72, 64,
                                                    56,  48,  40,  32, 24, 16, 8,  0};

struct vsx_ops {
    using vector = bytes;
    static constexpr std::size_t blocks = 4;

    bytes primary = vec_ld(0, primary_reversed.entry);
    bytes folded = vec_ld(0, folded_reversed.entry);
    bytes bits = vec_ld(0, top_bits);
    bytes backslashes = vec_splats(static_cast<unsigned char>(escape_byte));
    bytes fold = vec_splats(fold_bit);

    bytes load(const unsigned char* in) const { return vec_xl(0, in); }

    void store(char* out, bytes v) const
    {
        vec_xst(v, 0, reinterpret_cast<unsigned char*>(out));
    }

    // The AVX2 kernel's two lookups by the low nibble.
    bytes classify(bytes v) const
    {
        const bytes index = vec_nor(v, v);
        const bytes exact = (bytes)vec_cmpeq(vec_perm(primary, primary, index), v);
        const bytes other = (bytes)vec_cmpeq(vec_perm(folded, folded, index), vec_or(v, fold));
        return vec_or(exact, other);
    }

    unsigned mask(bytes c) const
    {
        return static_cast<unsigned>(vec_extract((doublewords)vec_vbpermq(c, bits), 1));
    }

    // A compare that sets the condition register tests the four blocks at
    // once: 1.70 instructions a byte on prose against 1.73 through vbpermq.
    bool masks(const bytes (&c)[blocks], unsigned (&m)[blocks]) const
    {
        const bytes any = vec_or(vec_or(c[0], c[1]), vec_or(c[2], c[3]));
        if (vec_all_eq(any, vec_splats(static_cast<unsigned char>(0)))) {
            return false;
        }
        for (std::size_t b = 0; b < blocks; ++b) {
            m[b] = mask(c[b]);
        }
        return true;
    }

    void store_pairs(char* out, bytes v) const
    {
        store(out, vec_mergeh(backslashes, v));
        store(out + 16, vec_mergel(backslashes, v));
    }

    bytes subtract(bytes a, bytes b) const { return vec_sub(a, b); }

    std::size_t total(bytes v) const
    {
        const __vector unsigned int words = vec_sum4s(v, vec_splats(static_cast<unsigned int>(0)));
        return std::size_t{vec_extract(words, 0)} + vec_extract(words, 1) +
               vec_extract(words, 2) + vec_extract(words, 3);
    }

    // Each half beside eight backslashes, spread by its pattern.
    void spread(char* out, bytes v, unsigned mask) const
    {
        const bytes low = (bytes)vec_mergeh((doublewords)v, (doublewords)backslashes);
        const bytes high = (bytes)vec_mergel((doublewords)v, (doublewords)backslashes);
        const bytes low_pattern = vec_ld(0, escape_special_detail::spread.pattern[mask & 0xFF]);
        const bytes high_pattern = vec_ld(0, escape_special_detail::spread.pattern[mask >> 8]);
        store(out, vec_perm(low, low, low_pattern));
        store(out + escape_special_detail::spread.length[mask & 0xFF],
              vec_perm(high, high, high_pattern));
    }
};

std::size_t count_vsx(const unsigned char* in, std::size_t n)
{
    return count_blocks16<vsx_ops>(in, n);
}

escaped_prefix escape_vsx(const unsigned char* in, std::size_t n, char* out, std::size_t room)
{
    return escape_blocks16<vsx_ops>(in, n, out, room);
}

}

const kernel vsx_kernel{"vsx", count_vsx, escape_vsx, nullptr, nullptr};

}

#endif
