#ifndef AVX512_MODEL_H
#define AVX512_MODEL_H

// Plain C++ definitions of the AVX-512, BMI2 and POPCNT intrinsics that the
// AVX-512 kernel uses, each doing what Intel's reference says its instruction
// does, so that the kernel's code runs on any CPU.  A masked load or store
// touches only the bytes its mask selects.  The instructions suppress faults
// on the bytes left out, so a mask that reaches past the input or the output
// goes unseen on real hardware; here a sanitizer reports it.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace escape_special_detail {

struct __m512i {
    unsigned char byte[64];
};

inline bool selected(std::uint64_t mask, unsigned i)
{
    return (mask >> i & 1) != 0;
}

inline __m512i _mm512_set1_epi8(char c)
{
    __m512i r;
    std::memset(r.byte, static_cast<unsigned char>(c), sizeof r.byte);
    return r;
}

inline __m512i _mm512_loadu_si512(const void* p)
{
    __m512i r;
    std::memcpy(r.byte, p, sizeof r.byte);
    return r;
}

// The aligned load faults on an address that is not a multiple of 64.
inline __m512i _mm512_load_si512(const void* p)
{
    if (reinterpret_cast<std::uintptr_t>(p) % 64 != 0) {
        __builtin_trap();
    }
    return _mm512_loadu_si512(p);
}

// The kernel's own whole-register load within a page, which gets bytes
// past the input.  Here they are special bytes, so that any the kernel
// fails to leave out show in its result, and no sanitizer sees the read.
inline __m512i load_past(const void* p, std::size_t width)
{
    __m512i r = _mm512_set1_epi8('$');
    std::memcpy(r.byte, p, width);
    return r;
}

inline void _mm512_storeu_si512(void* p, __m512i a)
{
    std::memcpy(p, a.byte, sizeof a.byte);
}

inline __m512i _mm512_maskz_loadu_epi8(std::uint64_t k, const void* p)
{
    const auto* from = static_cast<const unsigned char*>(p);
    __m512i r{};
    for (unsigned i = 0; i < 64; ++i) {
        if (selected(k, i)) {
            r.byte[i] = from[i];
        }
    }
    return r;
}

inline void _mm512_mask_storeu_epi8(void* p, std::uint64_t k, __m512i a)
{
    auto* to = static_cast<unsigned char*>(p);
    for (unsigned i = 0; i < 64; ++i) {
        if (selected(k, i)) {
            to[i] = a.byte[i];
        }
    }
}

inline std::uint64_t _mm512_cmpeq_epi8_mask(__m512i a, __m512i b)
{
    std::uint64_t k = 0;
    for (unsigned i = 0; i < 64; ++i) {
        k |= std::uint64_t{a.byte[i] == b.byte[i]} << i;
    }
    return k;
}

// vpermb: each byte of `idx` picks a byte of `a` by its low six bits.
inline __m512i _mm512_mask_permutexvar_epi8(__m512i src, std::uint64_t k, __m512i idx, __m512i a)
{
    __m512i r = src;
    for (unsigned i = 0; i < 64; ++i) {
        if (selected(k, i)) {
            r.byte[i] = a.byte[idx.byte[i] & 63];
        }
    }
    return r;
}

// vpermt2b: the low six bits pick the byte, bit 6 picks `b` over `a`.
inline __m512i _mm512_permutex2var_epi8(__m512i a, __m512i idx, __m512i b)
{
    __m512i r;
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned pick = idx.byte[i];
        r.byte[i] = (pick & 64) != 0 ? b.byte[pick & 63] : a.byte[pick & 63];
    }
    return r;
}

// vpcompressb: the selected bytes, in order, at the low end; zeros above.
inline __m512i _mm512_maskz_compress_epi8(std::uint64_t k, __m512i a)
{
    __m512i r{};
    unsigned to = 0;
    for (unsigned i = 0; i < 64; ++i) {
        if (selected(k, i)) {
            r.byte[to++] = a.byte[i];
        }
    }
    return r;
}

// vpexpandb: the low bytes of `a`, in order, into the selected places; the
// other places keep `src`.
inline __m512i _mm512_mask_expand_epi8(__m512i src, std::uint64_t k, __m512i a)
{
    __m512i r = src;
    unsigned from = 0;
    for (unsigned i = 0; i < 64; ++i) {
        if (selected(k, i)) {
            r.byte[i] = a.byte[from++];
        }
    }
    return r;
}

// bzhi reads only the low byte of the index, and leaves `a` whole from 64 up.
inline std::uint64_t _bzhi_u64(std::uint64_t a, unsigned index)
{
    const unsigned n = index & 0xFF;
    return n >= 64 ? a : a & ((std::uint64_t{1} << n) - 1);
}

// pdep: the low bits of `a`, in order, into the set bits of `mask`.
inline std::uint64_t _pdep_u64(std::uint64_t a, std::uint64_t mask)
{
    std::uint64_t r = 0;
    for (unsigned i = 0, from = 0; i < 64; ++i) {
        if (selected(mask, i)) {
            r |= (a >> from++ & 1) << i;
        }
    }
    return r;
}

inline int _mm_popcnt_u32(std::uint32_t a)
{
    return std::popcount(a);
}

inline long long _mm_popcnt_u64(std::uint64_t a)
{
    return std::popcount(a);
}

}

#endif
