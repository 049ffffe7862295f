#include "escape_kernels.h"

#if defined(__arm__) && defined(__ARM_FP)

#include "kernels/spread_table.h"

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

namespace escape_special_detail {

namespace {

// One bit of weight for each byte of a half.
constexpr std::uint8_t mask_weights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                           1, 2, 4, 8, 16, 32, 64, 128};

// Debian's armhf baseline promises VFPv3 but not NEON, which nearly every
// ARMv7-A CPU has; this is built for it whatever the baseline.
#define ESCAPE_ARMV7_NEON __attribute__((target("fpu=neon")))
#define ESCAPE_BLOCKS16_TARGET ESCAPE_ARMV7_NEON
#include "kernels/blocks16.h"

// The 64 bits of a d register in two core registers, by one vmov: g++ 12
// takes them through the stack, with a store and a load, and prose took
// 1.65 instructions a byte against 1.62.
ESCAPE_ARMV7_NEON inline std::uint64_t in_core(uint8x8_t d)
{
    std::uint64_t r;
    __asm__("vmov %Q0, %R0, %P1" : "=r"(r) : "w"(d));
    return r;
}

struct armv7_neon_ops {
    using vector = uint8x16_t;
    static constexpr std::size_t blocks = 4;

    uint8x8x4_t first;
    uint8x8x4_t second;
    vector weights;

    ESCAPE_ARMV7_NEON armv7_neon_ops()
        : first(half_table(low_six_bits.entry)), second(half_table(low_six_bits.entry + 32)),
          weights(vld1q_u8(mask_weights))
    {
    }

    ESCAPE_ARMV7_NEON static uint8x8x4_t half_table(const unsigned char* t)
    {
        return uint8x8x4_t{{vld1_u8(t), vld1_u8(t + 8), vld1_u8(t + 16), vld1_u8(t + 24)}};
    }

    ESCAPE_ARMV7_NEON vector load(const unsigned char* in) const { return vld1q_u8(in); }

    ESCAPE_ARMV7_NEON void store(char* out, vector v) const
    {
        vst1q_u8(reinterpret_cast<std::uint8_t*>(out), v);
    }

    // The 64-entry table by the low six bits that the other kernels use:
    // vtbl looks up at most 32 bytes, so its first half is looked up and
    // its second extends that, keeping the bytes whose index falls outside
    // it, which the index with bit 5 flipped does for the first half.  The
    // AVX2 kernel's two lookups by the low nibble, in 16-byte tables, took
    // prose to 3.13 instructions a byte against 2.89 for this.
    ESCAPE_ARMV7_NEON vector classify(vector v) const
    {
        const uint8x16_t index = vandq_u8(v, vdupq_n_u8(63));
        const uint8x16_t above = veorq_u8(index, vdupq_n_u8(32));
        const uint8x8_t low = vtbx4_u8(vtbl4_u8(first, vget_low_u8(index)), second,
                                       vget_low_u8(above));
        const uint8x8_t high = vtbx4_u8(vtbl4_u8(first, vget_high_u8(index)), second,
                                        vget_high_u8(above));
        return vceqq_u8(vcombine_u8(low, high), v);
    }

    // One bit of weight for each byte, summed in pairs three times.
    ESCAPE_ARMV7_NEON uint8x8_t weighed(vector c) const
    {
        const uint8x16_t bits = vandq_u8(c, weights);
        return vpadd_u8(vget_low_u8(bits), vget_high_u8(bits));
    }

    ESCAPE_ARMV7_NEON unsigned mask(vector c) const
    {
        uint8x8_t sums = weighed(c);
        sums = vpadd_u8(sums, sums);
        sums = vpadd_u8(sums, sums);
        return vget_lane_u16(vreinterpret_u16_u8(sums), 0);
    }

    // The four blocks' sums in pairs go on being summed together, so that
    // one register ends with all four masks.
    ESCAPE_ARMV7_NEON bool masks(const vector (&c)[blocks], unsigned (&m)[blocks]) const
    {
        const uint8x8_t sums = vpadd_u8(vpadd_u8(weighed(c[0]), weighed(c[1])),
                                        vpadd_u8(weighed(c[2]), weighed(c[3])));
        // Taken out whole: a lane of 32 bits at a time went through the
        // stack twice, and prose took 1.80 instructions a byte against 1.77.
        const std::uint64_t all = in_core(sums);
        const auto first = static_cast<std::uint32_t>(all);
        const auto second = static_cast<std::uint32_t>(all >> 32);
        m[0] = first & 0xFFFF;
        m[1] = first >> 16;
        m[2] = second & 0xFFFF;
        m[3] = second >> 16;
        return (first | second) != 0;
    }

    // Zipped in registers: vst2q's pair of registers went through the
    // stack, as g++ 12 built it, and every byte special took 2.49
    // instructions a byte against 2.21.
    ESCAPE_ARMV7_NEON void store_pairs(char* out, vector v) const
    {
        const uint8x16x2_t pairs = vzipq_u8(vdupq_n_u8(escape_byte), v);
        store(out, pairs.val[0]);
        store(out + 16, pairs.val[1]);
    }

    ESCAPE_ARMV7_NEON vector subtract(vector a, vector b) const { return vsubq_u8(a, b); }

    ESCAPE_ARMV7_NEON std::size_t total(vector v) const
    {
        const uint64x2_t wide = vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(v)));
        return static_cast<std::size_t>(vgetq_lane_u64(wide, 0) + vgetq_lane_u64(wide, 1));
    }

    ESCAPE_ARMV7_NEON void spread_half(char* out, uint8x8_t half, unsigned bits) const
    {
        const uint8x8x2_t source{{half, vdup_n_u8(escape_byte)}};
        const uint8x16_t pattern = vld1q_u8(escape_special_detail::spread.pattern[bits]);
        store(out, vcombine_u8(vtbl2_u8(source, vget_low_u8(pattern)),
                               vtbl2_u8(source, vget_high_u8(pattern))));
    }

    ESCAPE_ARMV7_NEON void spread(char* out, vector v, unsigned mask) const
    {
        spread_half(out, vget_low_u8(v), mask & 0xFF);
        spread_half(out + escape_special_detail::spread.length[mask & 0xFF], vget_high_u8(v),
                    mask >> 8);
    }
};

ESCAPE_ARMV7_NEON std::size_t count_armv7_neon(const unsigned char* in, std::size_t n)
{
    return count_blocks16<armv7_neon_ops>(in, n);
}

ESCAPE_ARMV7_NEON escaped_prefix escape_armv7_neon(const unsigned char* in, std::size_t n,
                                                   char* out, std::size_t room)
{
    return escape_blocks16<armv7_neon_ops>(in, n, out, room);
}

// The bytes of `v` that are zero, four bits for each byte, in two words.
ESCAPE_ARMV7_NEON inline std::uint64_t zeros_of(uint8x16_t v)
{
    const uint8x16_t zero = vceqq_u8(v, vdupq_n_u8(0));
    return in_core(vshrn_n_u16(vreinterpretq_u16_u8(zero), 4));
}

__attribute__((no_sanitize_address)) ESCAPE_ARMV7_NEON inline std::uint64_t zeros_in(
    const unsigned char* block)
{
    return zeros_of(vld1q_u8(static_cast<const std::uint8_t*>(__builtin_assume_aligned(block, 16))));
}

// glibc's strlen for armhf takes four bytes at a time: 0.99 instructions a
// byte, as many as the escaping.  This looks at 16, from the aligned block
// that holds the start up to a 64-byte boundary, and then at 64.  An
// aligned block never crosses a page, so reading past the terminator within
// the last one is safe, and the address sanitizer is told not to look.
__attribute__((no_sanitize_address)) ESCAPE_ARMV7_NEON std::size_t length_armv7_neon(
    const char* input)
{
    const auto start = reinterpret_cast<std::uintptr_t>(input);
    const auto* block = reinterpret_cast<const unsigned char*>(start - start % 16);
    const auto at = [&](std::uint64_t zeros) {
        return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(block) - start) +
               static_cast<std::size_t>(__builtin_ctzll(zeros) / 4);
    };
    const std::uint64_t first = zeros_in(block) >> (4 * (start % 16));
    if (first != 0) {
        return static_cast<std::size_t>(__builtin_ctzll(first) / 4);
    }
    for (block += 16; reinterpret_cast<std::uintptr_t>(block) % 64 != 0; block += 16) {
        if (const std::uint64_t zeros = zeros_in(block); zeros != 0) {
            return at(zeros);
        }
    }
    for (;; block += 64) {
        // The least of four blocks is zero where any of them is.
        const auto* aligned = static_cast<const std::uint8_t*>(__builtin_assume_aligned(block, 64));
        // vld4 takes the 64 bytes in two instructions, where vld1 takes
        // four and their addresses, and the order it leaves them in does
        // not matter here: 0.20 instructions a byte against 0.27.
        const uint8x16x4_t all = vld4q_u8(aligned);
        const uint8x16_t least = vminq_u8(vminq_u8(all.val[0], all.val[1]),
                                          vminq_u8(all.val[2], all.val[3]));
        if (zeros_of(least) != 0) {
            break;
        }
    }
    for (;; block += 16) {
        if (const std::uint64_t zeros = zeros_in(block); zeros != 0) {
            return at(zeros);
        }
    }
}

}

const kernel armv7_neon_kernel{"armv7-neon", count_armv7_neon, escape_armv7_neon, nullptr,
                                length_armv7_neon};

}

#endif
