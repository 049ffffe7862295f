#include "escape_special.h"

#include "escape_kernels.h"

#include <cstring>

namespace escape_special_detail {

namespace {

// How many leading bytes are counted to estimate the room a longer input
// needs; an input up to this long is counted whole and gets exactly its room.
constexpr std::size_t sample_size = 1024;

// The most capacity a result of `size` bytes may have, as the header says.
constexpr std::size_t capacity_limit(std::size_t size)
{
    return size + size / 16 + 64;
}

// A plain copy of an input of up to sample_size bytes with nothing to
// escape.  Otherwise the room the result needs is estimated from the
// input's first bytes, the string is allocated once with that room, and the
// kernel escapes into it in one pass.  Only if the room runs out is the rest
// counted, and the result moved once into a string of exactly its size.
// Kept out of escape_with, whose short path would otherwise save and
// restore the registers this needs: 16-byte calls took 5% longer.
[[gnu::noinline]] std::string escape_long(const kernel& k, const unsigned char* in,
                                          std::size_t n)
{
    // As dense as the sample, with n / 32 + 32 to spare: a result within
    // n / 32 bytes of the estimate either way fits, and keeps its capacity
    // within capacity_limit, since n / 32 + 32 is half of what that allows.
    const std::size_t sample = n < sample_size ? n : sample_size;
    const std::size_t sampled = k.count(in, sample);
    if (sample == n && sampled == 0) {
        return std::string(reinterpret_cast<const char*>(in), n);
    }
    std::size_t room = n + sampled;
    if (sample < n) {
        const std::size_t estimate =
            n / sample * sampled + n % sample * sampled / sample + n / 32 + 32;
        room = n + (estimate < n ? estimate : n);
    }
    escaped_prefix done{};
    std::string out = make_string_with_room(room, [&](char* p) {
        done = k.escape(in, n, p, room);
        return done.written;
    });
    if (done.read == n) {
        if (out.capacity() <= capacity_limit(out.size())) {
            return out;
        }
        // A dense start made the room too generous: a copy has exactly the
        // size.
        return std::string(out);
    }
    const std::size_t rest = n - done.read;
    const std::size_t size = done.written + rest + k.count(in + done.read, rest);
    return make_string(size, [&](char* p) {
        std::memcpy(p, out.data(), done.written);
        k.escape(in + done.read, rest, p + done.written, size - done.written);
    });
}

// Inputs shorter than a vector block are escaped a byte at a time, straight
// into the string's own inline buffer, where most of their results fit;
// only a result too long for it is counted and allocated at its size.  Less
// than any kernel's short path costs to set up: mixed strings of 1 to 15
// bytes took 0.77 to 0.81 of that time with AVX-512.
//
// Escaped first onto the stack and then copied into the string, the copy's
// wide loads waited for the byte stores before them to land.  Against that,
// in one process with AVX-512 (AMD Zen 5), mixed strings of 1 to 15 bytes
// take 0.74 to 0.77 of the time, of 2 to 12 bytes 0.68, of 1 to 7 bytes
// 0.99, and from 16 bytes on within 2% either way; package versions go from
// 0.39 of copy speed to 0.42 to 0.45.  Kept out of line: inline, it made
// every longer call 2% to 7% slower.  Up to 24 bytes, through the stack,
// made 16-byte calls a tenth slower.
constexpr std::size_t tiny_limit = 16;

[[gnu::noinline]] std::string escape_tiny(const unsigned char* in, std::size_t n)
{
    std::string out;
    const std::size_t inline_room = out.capacity();
    escaped_prefix done{};
    overwrite(out, inline_room, [&](char* p) {
        done = escape_scalar(in, n, p, inline_room);
        return done.written;
    });
    if (done.read < n) {
        const std::size_t rest = n - done.read;
        const std::size_t size = done.written + rest + count_scalar(in + done.read, rest);
        out = make_string(size, [&](char* p) {
            std::memcpy(p, out.data(), done.written);
            escape_scalar(in + done.read, rest, p + done.written, size - done.written);
        });
    }
    return out;
}

}

// A short input in one pass where the kernel can; escape_long otherwise.
std::string escape_with(const kernel& k, const char* input)
{
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const std::size_t n = k.length != nullptr ? k.length(input) : std::strlen(input);
    if (n <= short_limit && k.escape_short != nullptr) {
        if (n < tiny_limit) {
            return escape_tiny(in, n);
        }
        return k.escape_short(in, n);
    }
    return escape_long(k, in, n);
}

}

std::string escape_special(const char* input)
{
    using namespace escape_special_detail;
    // Held here as well, so that a short call pays no function call for it.
    static const kernel& k = best_kernel();
    return escape_with(k, input);
}
