#include "escape_kernels.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace escape_special_detail {

namespace {

// A machine word, taken as that many bytes at once.
using word = std::uintptr_t;
constexpr std::size_t word_size = sizeof(word);
constexpr word ones = ~word{0} / 0xFF;
constexpr word high_bits = ones * 0x80;
constexpr word low_bits = ones * 0x7F;

// The special bytes as sorted ranges, each closing gaps of up to two bytes
// between them, so that only a few other bytes lie in them.  Those above
// 0x40 are taken with bit 5 set, where [ and ] fall on { and }, so that one
// range holds all five.
struct byte_ranges {
    unsigned char low[16];
    unsigned char high[16];
    std::size_t size = 0;
};

constexpr unsigned max_gap = 2;
constexpr unsigned char fold_above = 0x40;
constexpr unsigned char fold_bit = 0x20;

constexpr byte_ranges make_ranges(bool folded)
{
    bool in[256] = {};
    for (unsigned c = 0; c < 256; ++c) {
        if (special_table[c] != 0 && (c > fold_above) == folded) {
            in[folded ? c | fold_bit : c] = true;
        }
    }
    byte_ranges r{};
    for (unsigned c = 0; c < 256; ++c) {
        if (!in[c]) {
            continue;
        }
        if (r.size != 0 && c - r.high[r.size - 1] <= max_gap + 1) {
            r.high[r.size - 1] = static_cast<unsigned char>(c);
        } else {
            r.low[r.size] = static_cast<unsigned char>(c);
            r.high[r.size] = static_cast<unsigned char>(c);
            ++r.size;
        }
    }
    return r;
}

constexpr byte_ranges plain_ranges = make_ranges(false);
constexpr byte_ranges folded_ranges = make_ranges(true);

// The constants of the filter below.
struct filter {
    word low;
    word fold;
    word high;
    word plain_at_least[plain_ranges.size];
    word plain_above[plain_ranges.size];
    word folded_at_least[folded_ranges.size];
    word folded_above[folded_ranges.size];
};

constexpr filter filter_constants = [] {
    filter f{low_bits, ones * fold_bit, high_bits, {}, {}, {}, {}};
    for (std::size_t r = 0; r < plain_ranges.size; ++r) {
        f.plain_at_least[r] = ones * (0x80u - plain_ranges.low[r]);
        f.plain_above[r] = ones * (0x7Fu - plain_ranges.high[r]);
    }
    for (std::size_t r = 0; r < folded_ranges.size; ++r) {
        f.folded_at_least[r] = ones * (0x80u - folded_ranges.low[r]);
        f.folded_above[r] = ones * (0x7Fu - folded_ranges.high[r]);
    }
    return f;
}();

// The high bit of each byte of x (each below 0x80) in one of the ranges,
// and garbage in the other bits.  x + 0x80 - low has its high bit set when
// x >= low, and x + 0x7F - high when x > high; the ranges are sorted and
// apart, so x lies in one exactly when an odd number of these are set.
// Below 0x80 no sum carries from one byte into the next.
template <std::size_t size>
constexpr word in_ranges(word x, const word (&at_least)[size], const word (&above)[size])
{
    word inside = 0;
    for (std::size_t r = 0; r < size; ++r) {
        inside ^= (x + at_least[r]) ^ (x + above[r]);
    }
    return inside;
}

// The high bit of each byte of `w` that may be special: every special byte,
// and the few others in the ranges.
constexpr word maybe_special(const filter& f, word w)
{
    const word x = w & f.low;
    return (in_ranges(x, f.plain_at_least, f.plain_above) ^
            in_ranges(x | f.fold, f.folded_at_least, f.folded_above)) &
           ~w & f.high;
}

// Every special byte is flagged, and no more than five others: a word in
// which one of those lies is merely escaped more slowly.
static_assert([] {
    unsigned others = 0;
    for (unsigned c = 0; c < 256; ++c) {
        const bool flagged = maybe_special(filter_constants, ones * c) == high_bits;
        if (special_table[c] != 0 && !flagged) {
            return false;
        }
        others += special_table[c] == 0 && flagged;
    }
    return others <= 5 && plain_ranges.high[plain_ranges.size - 1] < 0x80 &&
           folded_ranges.high[folded_ranges.size - 1] < 0x80;
}());

// Hides a constant from the optimiser, which would otherwise build some of
// them again in every round of the loop, as g++ 12 does on MIPS, five
// instructions for each 64-bit constant: prose takes 5.33 instructions a
// byte on mips64el against 5.55, and 5.76 on riscv64 against 5.86.
inline void in_register(word& c)
{
    __asm__("" : "+r"(c));
}

// The filter's constants, built once, in registers.
inline filter filter_in_registers()
{
    filter f = filter_constants;
    for (word* c : {&f.low, &f.fold, &f.high}) {
        in_register(*c);
    }
    for (std::size_t r = 0; r < plain_ranges.size; ++r) {
        in_register(f.plain_at_least[r]);
        in_register(f.plain_above[r]);
    }
    for (std::size_t r = 0; r < folded_ranges.size; ++r) {
        in_register(f.folded_at_least[r]);
        in_register(f.folded_above[r]);
    }
    return f;
}

// Machines that trap or take many instructions on a word load or store at
// an address that is not a multiple of the word's size: there the compiler
// turns a copy of a word to an unknown address into a call of memcpy, and
// aligned stores of shifted words take prose on riscv64 from 6.59
// instructions a byte to 5.76.
#if defined(__riscv) || (defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED))
constexpr bool slow_unaligned = true;
#else
constexpr bool slow_unaligned = false;
#endif

// The aligned stores below put the first byte in the low bits.
static_assert(!slow_unaligned || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// Machines that store two bytes at any address in one instruction, where
// storing each byte's pair is cheaper: 7.50 instructions a byte against
// 9.56 on i686 without SSSE3.  On armhf, ppc64el and s390x it was no
// cheaper.
#if defined(__i386__) || defined(__x86_64__)
constexpr bool fast_pair_stores = true;
#else
constexpr bool fast_pair_stores = false;
#endif

// Writes words one after another from any address.  Where words must be
// aligned, each is shifted into place and stored aligned, with the bytes
// already written before the start in the first, and what is left of the
// last is stored by finish(): up to a word past the end, into room that
// the caller must own.
class word_writer {
public:
    explicit word_writer(char* at)
    {
        if constexpr (slow_unaligned) {
            const auto offset = reinterpret_cast<std::uintptr_t>(at) % word_size;
            at_ = at - offset;
            shift_ = static_cast<unsigned>(8 * offset);
            std::memcpy(&carry_, __builtin_assume_aligned(at_, word_size), word_size);
            carry_ &= (word{1} << shift_) - 1;
        } else {
            at_ = at;
        }
    }

    void put(word w)
    {
        if constexpr (slow_unaligned) {
            const word merged = carry_ | w << shift_;
            std::memcpy(__builtin_assume_aligned(at_, word_size), &merged, word_size);
            // In two steps, since a shift by the word's whole width is
            // undefined.
            carry_ = w >> 1 >> (8 * word_size - 1 - shift_);
        } else {
            std::memcpy(at_, &w, word_size);
        }
        at_ += word_size;
    }

    void finish()
    {
        if constexpr (slow_unaligned) {
            std::memcpy(__builtin_assume_aligned(at_, word_size), &carry_, word_size);
        }
    }

private:
    char* at_;
    unsigned shift_ = 0;
    word carry_ = 0;
};

// Whether whole words are looked at.  With 32-bit words, the filter's
// constants do not fit in the registers beside the loop's own, and looking
// at a word and storing it took more instructions than escaping its four
// bytes one at a time: prose took 10.63 instructions a byte on armel
// against 7.06, 9.19 on mipsel against 8.57, and 11.07 on i686 without
// SSSE3 against 7.50 (bench/instructions.py).
constexpr bool use_words = word_size == 8;

// Bytes are escaped in runs of this many: a word's worth, where words are
// looked at next, or more, to spread the cost of the loop.
constexpr std::size_t run = use_words ? word_size : 16;

// For each byte, what it escapes to, in memory order: a backslash and the
// byte, or the byte and a zero that the next byte overwrites.
struct pair_table {
    char pair[256][2];
};

constexpr pair_table pairs = [] {
    pair_table t{};
    for (unsigned c = 0; c < 256; ++c) {
        t.pair[c][0] = static_cast<char>(special_table[c] != 0 ? escape_byte : c);
        t.pair[c][1] = static_cast<char>(special_table[c] != 0 ? c : 0);
    }
    return t;
}();

// Escapes the `run` bytes at `in` a byte at a time, with no check of the
// room: up to twice as many bytes from `out`.  Returns where they end.
// Where two bytes can be stored at any address at once, each byte stores
// its pair from the table; otherwise its backslash is written at
// p[k] and kept by moving p on by one, so that the byte's own offset k
// costs no instruction.
inline char* escape_bytes(const unsigned char* in, char* out)
{
    char* p = out;
    for (std::size_t k = 0; k < run; ++k) {
        const unsigned char c = in[k];
        if constexpr (fast_pair_stores) {
            std::memcpy(p + k, pairs.pair[c], 2);
        } else {
            p[k] = static_cast<char>(escape_byte);
        }
        p += special_table[c];
        if constexpr (!fast_pair_stores) {
            p[k] = static_cast<char>(c);
        }
    }
    return p + run;
}

#if defined(__x86_64__)
constexpr bool has_sse2 = true;

// Every x86-64 CPU has SSE2, enough to look at 16 bytes at once, though not
// to spread them: on x86-64, clean bytes are copied 16 at a time, and a run
// of special bytes alone is interleaved with backslashes 16 at a time.
// Against the words, on 128 KiB with SSSE3 masked, that takes 0.55 of the
// time with no special byte, 0.65 on prose, 0.75 on UTF-8 text, 0.97 at
// 20% and 0.29 when every byte is special (AMD Zen 5, in one process).
//
// 0xFF in each byte of `v` that is special or a backslash: with bit 5 set,
// [ \ ] fall on { | }.
inline __m128i sse2_special_or_backslash(__m128i v)
{
    // Where x lies in [low, high].
    const auto within = [](__m128i x, char low, char high) {
        const __m128i above = _mm_subs_epu8(_mm_sub_epi8(x, _mm_set1_epi8(low)),
                                            _mm_set1_epi8(static_cast<char>(high - low)));
        return _mm_cmpeq_epi8(above, _mm_setzero_si128());
    };
    const __m128i dollar_and =
        _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(~0x02)), _mm_set1_epi8('$'));
    const __m128i dot = _mm_cmpeq_epi8(v, _mm_set1_epi8('.'));
    const __m128i brackets = within(_mm_or_si128(v, _mm_set1_epi8(0x20)), '{', '}');
    return _mm_or_si128(_mm_or_si128(within(v, '(', '+'), within(v, '?', '@')),
                        _mm_or_si128(_mm_or_si128(dollar_and, dot), brackets));
}

inline __m128i sse2_load(const unsigned char* in)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
}

// Whether the 16 bytes at `in` hold neither a special byte nor a backslash.
inline bool sse2_clean(const unsigned char* in)
{
    return _mm_movemask_epi8(sse2_special_or_backslash(sse2_load(in))) == 0;
}

// Whether the 16 bytes at `in` are all special.
inline bool sse2_all_special(const unsigned char* in)
{
    const __m128i v = sse2_load(in);
    const __m128i special = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                                             sse2_special_or_backslash(v));
    return _mm_movemask_epi8(special) == 0xFFFF;
}

// The 16 bytes at `in`, every one special, behind backslashes: 32 bytes.
inline void sse2_store_pairs(const unsigned char* in, char* out)
{
    const __m128i v = sse2_load(in);
    const __m128i backslashes = _mm_set1_epi8(static_cast<char>(escape_byte));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(backslashes, v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(backslashes, v));
}
#else
constexpr bool has_sse2 = false;
#endif

inline word load_aligned(const unsigned char* in)
{
    word w;
    std::memcpy(&w, __builtin_assume_aligned(in, word_size), word_size);
    return w;
}

escaped_prefix escape_portable(const unsigned char* in, std::size_t n, char* out,
                               std::size_t room)
{
    // Up to the input's next word boundary with the scalar loop, so that
    // the words are read aligned, as some machines need.
    const std::size_t to_boundary =
        (word_size - reinterpret_cast<std::uintptr_t>(in) % word_size) % word_size;
    const escaped_prefix head = escape_scalar(in, n < to_boundary ? n : to_boundary, out, room);
    std::size_t i = head.read;
    std::size_t o = head.written;
    if (i < to_boundary) {
        return head;
    }
    const unsigned char* from = in + i;
    const unsigned char* const end = in + n;
    char* to = out + o;
    char* const stop = out + room;
    const filter f = filter_in_registers();
    // Bytes are escaped one at a time until a run of them has no special
    // byte, which is seen there at no cost; then words are copied whole
    // until one may hold one.  The bytes come first so that the writer
    // never starts before `out`, and text dense with special bytes costs
    // no filtering.
    for (;;) {
        // As many runs as the input and the room allow, whatever the
        // bytes; counted again when they are used up.
        const auto input_runs = static_cast<std::size_t>(end - from) / run;
        const auto room_runs = static_cast<std::size_t>(stop - to) / (2 * run);
        std::size_t runs = input_runs < room_runs ? input_runs : room_runs;
        if (runs == 0) {
            break;
        }
        bool clean = false;
        bool dense = false;
        do {
            char* const next = escape_bytes(from, to);
            clean = next == to + run;
            dense = next == to + 2 * run;
            from += run;
            to = next;
        } while (--runs != 0 && (!clean || !use_words) && (!dense || !has_sse2));
#if defined(__x86_64__)
        if (dense) {
            // A run of special bytes alone, as where they are all special:
            // 16 at a time while that lasts.  Taken inside the loop above,
            // it made that loop slower: prose took 0.78 of the words' time,
            // not 0.65.
            for (; end - from >= 16 && stop - to >= 32 && sse2_all_special(from);
                 from += 16, to += 32) {
                sse2_store_pairs(from, to);
            }
            continue;
        }
#endif
        // A word, and what the writer leaves of the word before it, fit.
        if (!use_words || !clean || end - from < static_cast<std::ptrdiff_t>(word_size) ||
            stop - to < static_cast<std::ptrdiff_t>(2 * word_size)) {
            continue;
        }
        const auto input_words = static_cast<std::size_t>(end - from) / word_size;
        const auto room_words = static_cast<std::size_t>(stop - to) / word_size - 1;
        std::size_t words = input_words < room_words ? input_words : room_words;
#if defined(__x86_64__)
        for (; words >= 2 && sse2_clean(from); words -= 2) {
            std::memcpy(to, from, 16);
            from += 16;
            to += 16;
        }
        if (words >= 2) {
            continue;
        }
#endif
        word_writer writer(to);
        for (; words != 0; --words) {
            const word w = load_aligned(from);
            if (maybe_special(f, w) != 0) {
                break;
            }
            writer.put(w);
            from += word_size;
            to += word_size;
        }
        writer.finish();
    }
    const auto read = static_cast<std::size_t>(from - in);
    const auto written = static_cast<std::size_t>(to - out);
    return escaped_prefix{read, written} + escape_scalar(from, n - read, to, room - written);
}

// Debian's C libraries for MIPS, riscv64 and armel find a string's end a
// word at a time, with a branch for each: 2.25 instructions a byte on
// mipsel, 1.13 on mips64el and riscv64, 1.75 on armel, against 1.44, 0.72,
// 0.69 and 1.00 for this, which looks at four aligned words a round.  On
// armhf the C library's is as fast.  Four aligned words lie in one aligned
// block that no page boundary crosses, so reading past the terminator is
// safe; the address sanitizer is told not to look.
#if defined(__mips__) || defined(__riscv) || (defined(__arm__) && !defined(__ARM_PCS_VFP))
constexpr bool own_length = true;
#else
constexpr bool own_length = false;
#endif

// Nonzero where a byte of `w` is zero.  Exact for the first zero byte in
// memory order, whatever the byte order, since a borrow only moves towards
// later bytes.
constexpr word zero_in(word w)
{
    return (w - ones) & ~w & high_bits;
}

__attribute__((no_sanitize_address)) std::size_t length_portable(const char* input)
{
    const auto* p = reinterpret_cast<const unsigned char*>(input);
    for (; reinterpret_cast<std::uintptr_t>(p) % word_size != 0; ++p) {
        if (*p == 0) {
            return static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(input));
        }
    }
    constexpr std::size_t round = 4 * word_size;
    const auto at_round = [](const unsigned char* q) {
        return reinterpret_cast<std::uintptr_t>(q) % round == 0;
    };
    while (!at_round(p) && zero_in(load_aligned(p)) == 0) {
        p += word_size;
    }
    if (at_round(p)) {
        while ((zero_in(load_aligned(p)) | zero_in(load_aligned(p + word_size)) |
                zero_in(load_aligned(p + 2 * word_size)) |
                zero_in(load_aligned(p + 3 * word_size))) == 0) {
            p += round;
        }
        while (zero_in(load_aligned(p)) == 0) {
            p += word_size;
        }
    }
    while (*p != 0) {
        ++p;
    }
    return static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(input));
}

}

const kernel portable_kernel{"portable", count_scalar, escape_portable, nullptr,
                             own_length ? length_portable : nullptr};

}
