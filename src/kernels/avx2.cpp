#include "escape_kernels.h"

#if defined(__x86_64__)

#include "kernels/move_table.h"
#include "kernels/nibble_tables.h"
#include "kernels/spread_table.h"

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace escape_special_detail {

namespace {

#define ESCAPE_AVX2 __attribute__((target("avx2,bmi,popcnt")))

// 0xFF in each special byte, 0 elsewhere.
ESCAPE_AVX2 inline __m256i classify(__m256i v)
{
    const __m256i primary = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(lookups.primary)));
    const __m256i folded = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(lookups.folded)));
    const __m256i exact = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(primary, v), v);
    const __m256i other = _mm256_cmpeq_epi8(
        _mm256_shuffle_epi8(folded, v),
        _mm256_or_si256(v, _mm256_set1_epi8(static_cast<char>(fold_bit))));
    return _mm256_or_si256(exact, other);
}

ESCAPE_AVX2 inline std::uint32_t special_mask(__m256i v)
{
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(classify(v)));
}

ESCAPE_AVX2 inline __m256i load(const unsigned char* in)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
}

// The n (at most 32) bytes at `in` in a register, zero after them; reads
// nothing beyond them.
ESCAPE_AVX2 inline __m256i load_short(const unsigned char* in, std::size_t n)
{
    const __m128i pattern = _mm_load_si128(reinterpret_cast<const __m128i*>(moves.pattern[n]));
    if (n >= 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + n - 16));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(first),
                                       _mm_shuffle_epi8(last, pattern), 1);
    }
    if (n >= 8) {
        const __m128i both =
            _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + n - 8)));
        return _mm256_castsi128_si256(_mm_shuffle_epi8(both, pattern));
    }
    // Fewer than 8 bytes in a word.  Through a zeroed block on the stack and
    // a call of memcpy, the short path took 24 ns on up to 4 bytes against
    // 14, and package versions 0.33 of copy speed against 0.36 (AMD Zen 5).
    const auto word = static_cast<long long>(short_word(in, n));
    return _mm256_castsi128_si256(_mm_cvtsi64_si128(word));
}

ESCAPE_AVX2 std::size_t count_avx2(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    std::size_t i = 0;
    // Per-byte counters, four blocks a round, summed before any can pass
    // 255: a fifth faster than a movemask and a popcount for each block.
    // classify gives -1 for each special byte, so the counters subtract.
    while (n - i >= 128) {
        const std::size_t rounds = (n - i) / 128 < 63 ? (n - i) / 128 : 63;
        __m256i sums = _mm256_setzero_si256();
        for (std::size_t r = 0; r < rounds; ++r, i += 128) {
            const __m256i a =
                _mm256_add_epi8(classify(load(in + i)), classify(load(in + i + 32)));
            const __m256i b =
                _mm256_add_epi8(classify(load(in + i + 64)), classify(load(in + i + 96)));
            sums = _mm256_sub_epi8(sums, _mm256_add_epi8(a, b));
        }
        const __m256i wide = _mm256_sad_epu8(sums, _mm256_setzero_si256());
        count += static_cast<std::size_t>(_mm256_extract_epi64(wide, 0) +
                                          _mm256_extract_epi64(wide, 1) +
                                          _mm256_extract_epi64(wide, 2) +
                                          _mm256_extract_epi64(wide, 3));
    }
    for (; n - i >= 32; i += 32) {
        count += static_cast<std::size_t>(_mm_popcnt_u32(special_mask(load(in + i))));
    }
    if (i == n) {
        return count;
    }
    // The last block again, of which only the bytes not yet counted count,
    // or the whole of a short input.
    const std::uint32_t last = n >= 32 ? special_mask(load(in + n - 32)) >> (32 - (n - i))
                                       : special_mask(load_short(in, n));
    return count + static_cast<std::size_t>(_mm_popcnt_u32(last));
}

// Spreads the eight bytes at `in`, whose special bytes are marked in `bits`,
// over one 16-byte store of which the first 8 + popcount(bits) bytes count.
ESCAPE_AVX2 inline void spread_eight(const unsigned char* in, std::uint32_t bits, char* out)
{
    const __m128i eight =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)),
                           _mm_set1_epi8(static_cast<char>(escape_byte)));
    const __m128i pattern =
        _mm_load_si128(reinterpret_cast<const __m128i*>(spread.pattern[bits & 0xFF]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(eight, pattern));
}

// Writes the escaped form of the 32 bytes at `in`, whose special bytes are
// marked in `mask`, in four spreads: up to 64 bytes from `out`.  Each
// spread's offset comes from the mask directly rather than from the one
// before it, so the four stores do not wait on each other.  Returns how many
// escaped bytes there are.
ESCAPE_AVX2 inline std::size_t spread_block(const unsigned char* in, std::uint32_t mask,
                                            char* out)
{
    spread_eight(in, mask, out);
    spread_eight(in + 8, mask >> 8, out + 8 + _mm_popcnt_u32(mask & 0xFF));
    spread_eight(in + 16, mask >> 16, out + 16 + _mm_popcnt_u32(mask & 0xFFFF));
    spread_eight(in + 24, mask >> 24, out + 24 + _mm_popcnt_u32(mask & 0xFFFFFF));
    return 32 + static_cast<std::size_t>(_mm_popcnt_u32(mask));
}

// Copies the `width` (at most 32) bytes at `in` to `block`, zero-padded, and
// returns the mask of their special bytes.
ESCAPE_AVX2 inline std::uint32_t copy_part(const unsigned char* in, std::size_t width,
                                           unsigned char* block)
{
    const __m256i v = load_short(in, width);
    _mm256_store_si256(reinterpret_cast<__m256i*>(block), v);
    return special_mask(v);
}

// Escapes the 32 bytes `v` read from `in`, whose special bytes are marked in
// `mask`, with stores that may run past the escaped bytes, up to 65 bytes
// from `out`, and reloads of up to 64 bytes from `in`.  Returns how many
// escaped bytes there are.
ESCAPE_AVX2 inline std::size_t escape_block(const unsigned char* in, __m256i v,
                                            std::uint32_t mask, char* out)
{
    if ((mask & (mask - 1)) == 0) {
        // No special byte or one, at p (32 for none): copy the block, then
        // copy it again from p one byte further on, behind a backslash.  No
        // branch on where the byte is or whether there is one, which in
        // sparse text no predictor could guess.  Blending the block with
        // itself one byte back instead, in one store, was slower: 0.40 of
        // copy speed on prose against 0.55, and 0.36 on UTF-8 against 0.51.
        const auto p = static_cast<std::size_t>(__builtin_ctzll(mask | (1ull << 32)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        out[p] = static_cast<char>(escape_byte);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p + 1), load(in + p));
        return 32 + (mask != 0);
    }
    if (mask == ~0u) {
        // Every byte special: interleave with backslashes.
        const __m256i backslashes = _mm256_set1_epi8(static_cast<char>(escape_byte));
        const __m256i low = _mm256_unpacklo_epi8(backslashes, v);
        const __m256i high = _mm256_unpackhi_epi8(backslashes, v);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                            _mm256_permute2x128_si256(low, high, 0x31));
        return 64;
    }
    return spread_block(in, mask, out);
}

ESCAPE_AVX2 escaped_prefix escape_avx2(const unsigned char* in, std::size_t n, char* out,
                                       std::size_t room)
{
    std::size_t i = 0;
    std::size_t o = 0;
    // Two blocks at a time, each stored once when neither holds a special
    // byte, as in prose about every other time.  Against escape_block on
    // every block, this takes text with no special byte from 0.48 to 0.84
    // of copy speed, prose from 0.44 to 0.55 and UTF-8 text from 0.40 to
    // 0.52; against a branch for each clean block, from 0.71, 0.51 and
    // 0.33.  The stray bytes past a block's escaped ones are overwritten by
    // the blocks after it.
    for (; n - i >= 96 && room - o >= 129; i += 64) {
        const __m256i v0 = load(in + i);
        const __m256i v1 = load(in + i + 32);
        const std::uint32_t m0 = special_mask(v0);
        const std::uint32_t m1 = special_mask(v1);
        if ((m0 | m1) == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), v0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 32), v1);
            o += 64;
            continue;
        }
        o += escape_block(in + i, v0, m0, out + o);
        o += escape_block(in + i + 32, v1, m1, out + o);
    }
    for (; n - i >= 64 && room - o >= 65; i += 32) {
        const __m256i v = load(in + i);
        o += escape_block(in + i, v, special_mask(v), out + o);
    }
    // What is left, through a block on the stack, while it fits; then the
    // scalar loop escapes as much of the block that did not fit as fits.
    while (i < n) {
        const std::size_t width = n - i < 32 ? n - i : 32;
        alignas(32) unsigned char block[32];
        char escaped[64];
        const std::uint32_t mask = copy_part(in + i, width, block);
        const std::size_t size = width + static_cast<std::size_t>(_mm_popcnt_u32(mask));
        if (room - o < size) {
            return escaped_prefix{i, o} + escape_scalar(in + i, n - i, out + o, room - o);
        }
        spread_block(block, mask, escaped);
        std::memcpy(out + o, escaped, size);
        i += width;
        o += size;
    }
    return {i, o};
}

// Escapes an input of up to short_limit bytes in one pass: the lookups that
// give the size also give the masks for the escaping, which goes to the
// stack until the string is allocated.
ESCAPE_AVX2 std::string escape_short_avx2(const unsigned char* in, std::size_t n)
{
    char escaped[2 * short_limit + 32];
    alignas(32) unsigned char padded[32];
    // One block on its own: 16-byte calls take about a tenth less time than
    // through the loops below.
    if (n <= 32) {
        const std::size_t size = spread_block(padded, copy_part(in, n, padded), escaped) - (32 - n);
        return string_of(escaped, size);
    }
    // Whole blocks straight from the input, the rest from the stack.
    const std::size_t whole = n / 32;
    const std::size_t rest = n % 32;
    std::uint32_t mask[short_limit / 32 + 1];
    std::size_t size = n;
    for (std::size_t b = 0; b < whole; ++b) {
        mask[b] = special_mask(load(in + 32 * b));
        size += static_cast<std::size_t>(_mm_popcnt_u32(mask[b]));
    }
    if (rest != 0) {
        mask[whole] = copy_part(in + 32 * whole, rest, padded);
        size += static_cast<std::size_t>(_mm_popcnt_u32(mask[whole]));
    }
    std::size_t o = 0;
    for (std::size_t b = 0; b < whole; ++b) {
        o += spread_block(in + 32 * b, mask[b], escaped + o);
    }
    if (rest != 0) {
        spread_block(padded, mask[whole], escaped + o);
    }
    return string_of(escaped, size);
}

}

const kernel avx2_kernel{"avx2", count_avx2, escape_avx2, escape_short_avx2, nullptr};

}

#endif
