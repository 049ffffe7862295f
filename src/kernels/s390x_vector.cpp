#include "escape_kernels.h"

#if defined(__s390x__)

#include "kernels/spread_table.h"

#include <cstddef>

namespace escape_special_detail {

namespace {

// The vector facility came with z13; Debian's s390x baseline is z196,
// which lacks it, so this is built for z13 whatever the baseline.  GCC's
// vector types and s390 builtins need no -mzvector.
#define ESCAPE_S390X_VECTOR __attribute__((target("arch=z13")))
#define ESCAPE_BLOCKS16_TARGET ESCAPE_S390X_VECTOR
#include "kernels/blocks16.h"

using bytes = unsigned char __attribute__((vector_size(16)));
using words = unsigned int __attribute__((vector_size(16)));
using doublewords = unsigned long long __attribute__((vector_size(16)));

// The fourteen special bytes, and two of them again, for "find any element
// equal", which compares each byte with all sixteen at once.
struct special_set {
    alignas(16) unsigned char byte[16];
};

constexpr special_set specials = [] {
    special_set s{};
    for (std::size_t k = 0; k < 16; ++k) {
        s.byte[k] = static_cast<unsigned char>(special_bytes[k % (sizeof special_bytes - 1)]);
    }
    return s;
}();

static_assert(sizeof special_bytes - 1 <= 16);

// One bit of weight for each byte of a half, big-endian as the machine is.
alignas(16) constexpr unsigned char mask_weights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                        1, 2, 4, 8, 16, 32, 64, 128};

// vfaeb's flag for a result of 0xFF in each byte that matched.
constexpr int vfae_mask_result = 4;

struct s390x_vector_ops {
    using vector = bytes;
    static constexpr std::size_t blocks = 4;

    bytes set;
    bytes weights;
    bytes backslashes;

    ESCAPE_S390X_VECTOR s390x_vector_ops()
        : set(load(specials.byte)), weights(load(mask_weights)),
          backslashes(bytes{} + static_cast<unsigned char>(escape_byte))
    {
    }

    // The builtin, since the C library's fortified memcpy is built for the
    // baseline and cannot be inlined here.
    ESCAPE_S390X_VECTOR bytes load(const unsigned char* in) const
    {
        bytes v;
        __builtin_memcpy(&v, in, sizeof v);
        return v;
    }

    ESCAPE_S390X_VECTOR void store(char* out, bytes v) const
    {
        __builtin_memcpy(out, &v, sizeof v);
    }

    ESCAPE_S390X_VECTOR bytes classify(bytes v) const
    {
        return __builtin_s390_vfaeb(v, set, vfae_mask_result);
    }

    // With no instruction to gather each byte's top bit before z14, each
    // byte's weight is summed by word, then by doubleword: the two halves'
    // masks.
    ESCAPE_S390X_VECTOR unsigned mask(bytes c) const
    {
        const words by_word = __builtin_s390_vsumb(c & weights, bytes{});
        const doublewords halves = __builtin_s390_vsumgf(by_word, words{});
        return static_cast<unsigned>(halves[0] | halves[1] << 8);
    }

    ESCAPE_S390X_VECTOR bool masks(const bytes (&c)[blocks], unsigned (&m)[blocks]) const
    {
        const bytes any = (c[0] | c[1]) | (c[2] | c[3]);
        if (__builtin_s390_vtm(any, any) == 0) {
            return false;
        }
        for (std::size_t b = 0; b < blocks; ++b) {
            m[b] = mask(c[b]);
        }
        return true;
    }

    ESCAPE_S390X_VECTOR bytes subtract(bytes a, bytes b) const { return a - b; }

    ESCAPE_S390X_VECTOR std::size_t total(bytes v) const
    {
        const doublewords halves =
            __builtin_s390_vsumgf(__builtin_s390_vsumb(v, bytes{}), words{});
        return static_cast<std::size_t>(halves[0] + halves[1]);
    }

    ESCAPE_S390X_VECTOR void store_pairs(char* out, bytes v) const
    {
        store(out, __builtin_s390_vmrhb(backslashes, v));
        store(out + 16, __builtin_s390_vmrlb(backslashes, v));
    }

    // Each half beside eight backslashes, spread by its pattern.
    ESCAPE_S390X_VECTOR void spread(char* out, bytes v, unsigned mask) const
    {
        const auto low = reinterpret_cast<bytes>(__builtin_s390_vmrhg(
            reinterpret_cast<doublewords>(v), reinterpret_cast<doublewords>(backslashes)));
        const auto high = reinterpret_cast<bytes>(__builtin_s390_vmrlg(
            reinterpret_cast<doublewords>(v), reinterpret_cast<doublewords>(backslashes)));
        store(out, __builtin_s390_vperm(low, low,
                                        load(escape_special_detail::spread.pattern[mask & 0xFF])));
        store(out + escape_special_detail::spread.length[mask & 0xFF],
              __builtin_s390_vperm(high, high,
                                   load(escape_special_detail::spread.pattern[mask >> 8])));
    }
};

ESCAPE_S390X_VECTOR std::size_t count_s390x_vector(const unsigned char* in, std::size_t n)
{
    return count_blocks16<s390x_vector_ops>(in, n);
}

ESCAPE_S390X_VECTOR escaped_prefix escape_s390x_vector(const unsigned char* in, std::size_t n,
                                                       char* out, std::size_t room)
{
    return escape_blocks16<s390x_vector_ops>(in, n, out, room);
}

}

const kernel s390x_vector_kernel{"s390x-vector", count_s390x_vector, escape_s390x_vector,
                                 nullptr, nullptr};

}

#endif
