#ifndef ESCAPE_KERNELS_H
#define ESCAPE_KERNELS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace escape_special_detail {

// The special bytes, in one place.  Every table below is derived from it.
inline constexpr char special_bytes[] = "[](){}$+?|.*@&";

inline constexpr unsigned char escape_byte = '\\';

// 1 for a special byte, 0 otherwise, indexed by the byte.
inline constexpr std::array<unsigned char, 256> special_table = [] {
    std::array<unsigned char, 256> table{};
    for (const char c : special_bytes) {
        if (c != '\0') {
            table[static_cast<unsigned char>(c)] = 1;
        }
    }
    return table;
}();

// A 64-entry table by the low six bits of a byte, for the vector kernels'
// table lookups.  An entry holds the special byte with those low bits, if
// there is one, and otherwise a value whose low bits differ from the index,
// so a byte is special exactly when it equals its entry.
struct low_six_bits_table {
    alignas(64) unsigned char entry[64];
};

inline constexpr low_six_bits_table low_six_bits = [] {
    low_six_bits_table t{};
    for (unsigned low = 0; low < 64; ++low) {
        t.entry[low] = static_cast<unsigned char>(low ^ 1);
        for (unsigned c = low; c < 256; c += 64) {
            if (special_table[c] != 0) {
                t.entry[low] = static_cast<unsigned char>(c);
            }
        }
    }
    return t;
}();

// One entry per low six bits only works while no two special bytes share
// them.
static_assert([] {
    for (unsigned byte = 0; byte < 256; ++byte) {
        if ((low_six_bits.entry[byte & 63] == byte) != (special_table[byte] != 0)) {
            return false;
        }
    }
    return true;
}());

// The longest input a kernel's escape_short takes.
inline constexpr std::size_t short_limit = 128;

// How far an escape got: `read` bytes of the input escaped into `written`
// bytes of output.
struct escaped_prefix {
    std::size_t read;
    std::size_t written;
};

// One way of escaping.  `count` returns the number of special bytes in
// in[0, n).  `escape` escapes in[0, n) into out[0, room) as far as it fits:
// it stops before the first byte whose escaped form would not fit in the room
// left, and says how far it got.  It writes nothing outside out[0, room) and
// reads nothing outside in[0, n).  `escape_short`, where a kernel has one,
// returns the escaped form of in[0, n) for n up to short_limit in a single
// pass over the input, and may read past in[0, n) within its page, whose
// bytes it leaves out; it is null where escape_with's path is as fast.
// `length`, where a kernel has one, is strlen, for machines whose C library
// has only a slow one; it reads whole aligned blocks, which never cross a
// page, and so may read past the terminator within the last of them.
struct kernel {
    const char* name;
    std::size_t (*count)(const unsigned char* in, std::size_t n);
    escaped_prefix (*escape)(const unsigned char* in, std::size_t n, char* out, std::size_t room);
    std::string (*escape_short)(const unsigned char* in, std::size_t n);
    std::size_t (*length)(const char* input);
};

// A string of the n bytes at `p`, exactly n of capacity, for the short
// paths, which escape onto the stack and copy the result in with one call
// of memcpy.  Against zeroing the string first, or against masked stores
// into it with AVX-512, mixed inputs of 16 to 40 bytes take 0.84 of the
// time with SSSE3 and 0.91 with AVX2 and AVX-512 (AMD Zen 5, in one
// process).  n is hidden from the compiler, which, knowing it bounded by
// the buffers, copied with `rep movsb` in code built for SSSE3, slower to
// start: 16-byte inputs took 1.24 times as long.
inline std::string string_of(const char* p, std::size_t n)
{
    __asm__("" : "+r"(n));
    return std::string(p, n);
}

// Makes `out` at least `room` bytes long, keeping its bytes, and then as
// long as fill(out.data()) returns, which writes at most `room` bytes;
// where the library allows, without zeroing the new bytes first.
template <class Fill>
void overwrite(std::string& out, std::size_t room, Fill fill)
{
#if defined(__cpp_lib_string_resize_and_overwrite)
    out.resize_and_overwrite(room, [&](char* p, std::size_t) { return fill(p); });
#else
    out.resize(room);
    out.resize(fill(out.data()));
#endif
}

// Returns a string of exactly `size` bytes written by fill(data), with one
// allocation and without zeroing the bytes first where the library allows.
template <class Fill>
std::string make_string(std::size_t size, Fill fill)
{
    // libstdc++ grows a string to at least twice its old capacity, so from
    // an empty string it would allocate 31 bytes for any size from 16 to 29.
    // A string constructed at its size gets exactly that, zeroed first.
    // One string for both cases, so that it is built in the caller's place:
    // with two, g++ 12 built a short one on the stack and then copied it,
    // and the copy waited for the stores before it.
    const bool constructed = size < 2 * std::string().capacity();
    std::string out(constructed ? size : 0, '\0');
    if (constructed) {
        fill(out.data());
    } else {
        overwrite(out, size, [&](char* p) {
            fill(p);
            return size;
        });
    }
    return out;
}

// Returns a string of at most `room` bytes written by fill(data), which
// returns how many it wrote, allocated once with a capacity of `room`.
// make_string, built on this, made 16-byte calls 4% to 9% slower when the
// short paths used it; now that of the short calls only those under 16 bytes
// use it, it takes package versions from 0.47 of copy speed to 0.44 and host
// names from 0.58 to 0.55 with AVX-512 (three runs of --ratios each, in
// turn).  So the two stay apart.
template <class Fill>
std::string make_string_with_room(std::size_t room, Fill fill)
{
    // One string for both cases, as in make_string.
    const bool constructed = room < 2 * std::string().capacity();
    std::string out(constructed ? room : 0, '\0');
    if (constructed) {
        out.resize(fill(out.data()));
    } else {
        overwrite(out, room, fill);
    }
    return out;
}

// The reference for every other kernel, and the NEON kernel's tail.
inline std::size_t count_scalar(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        count += special_table[in[i]];
    }
    return count;
}

// Writes a backslash at every step and moves past it only for a special
// byte, so the loop has no branch on the data but the one on the room.  The
// stray backslash is always overwritten by the byte itself, and lands inside
// the room, which holds at least that byte.
inline escaped_prefix escape_scalar(const unsigned char* in, std::size_t n, char* out,
                                    std::size_t room)
{
    std::size_t i = 0;
    std::size_t o = 0;
    for (; i < n; ++i) {
        const unsigned char c = in[i];
        const std::size_t special = special_table[c];
        if (room - o <= special) {
            break;
        }
        out[o] = static_cast<char>(escape_byte);
        o += special;
        out[o++] = static_cast<char>(c);
    }
    return {i, o};
}

// The n (fewer than 8) bytes at `in` as a little-endian word, zero above
// them, from two loads of four that overlap or three of one; reads nothing
// beyond them.  Plain code, for the x86 kernels' part blocks, which inline
// it.
inline std::uint64_t short_word(const unsigned char* in, std::size_t n)
{
    if (n >= 4) {
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, in, 4);
        std::memcpy(&last, in + n - 4, 4);
        return first | std::uint64_t{last} << (8 * (n - 4));
    }
    if (n > 0) {
        return std::uint64_t{in[0]} | std::uint64_t{in[n / 2]} << (8 * (n / 2)) |
               std::uint64_t{in[n - 1]} << (8 * (n - 1));
    }
    return 0;
}

// A kernel's own progress followed by that of the loop that finished for it.
inline escaped_prefix operator+(escaped_prefix head, escaped_prefix tail)
{
    return {head.read + tail.read, head.written + tail.written};
}

// Words at a time in plain C++, for any machine.
extern const kernel portable_kernel;
#if defined(__x86_64__) || defined(__i386__)
extern const kernel ssse3_kernel;
#endif
#if defined(__x86_64__)
extern const kernel avx2_kernel;
extern const kernel avx512_kernel;
#endif
#if defined(__aarch64__)
extern const kernel neon_kernel;
#endif
#if defined(__arm__) && defined(__ARM_FP)
extern const kernel armv7_neon_kernel;
#endif
#if defined(__POWER8_VECTOR__) && defined(__LITTLE_ENDIAN__)
extern const kernel vsx_kernel;
#endif
#if defined(__s390x__)
extern const kernel s390x_vector_kernel;
#endif

// escape_special as done by kernel `k`.  Defined beside escape_special, so
// that it is built with the library's own options whoever calls it.
std::string escape_with(const kernel& k, const char* input);

// The kernels this CPU can run, the scalar one first.
std::span<const kernel* const> supported_kernels();

// The fastest of supported_kernels(), chosen once.
const kernel& best_kernel();

}

#endif
