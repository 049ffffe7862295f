// Runs every kernel this CPU supports, and the modelled AVX-512 kernel,
// against the scalar one, over every length and alignment around the vector
// widths and every byte value in every position of a block.

#include "escape_kernels.h"
#include "kernels_under_test.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using escape_special_detail::avx512_model_kernel;
using escape_special_detail::best_kernel;
using escape_special_detail::count_scalar;
using escape_special_detail::escape_scalar;
using escape_special_detail::escape_with;
using escape_special_detail::kernel;
using escape_special_detail::kernels_under_test;
using escape_special_detail::supported_kernels;

constexpr std::size_t guard = 64;
constexpr char guard_byte = 0x01;

// Input bytes sit at `offset` from a 64-byte boundary and end exactly where
// their allocation ends, so a sanitizer sees any read past the end.
class placed_input {
public:
    placed_input(const std::string& bytes, std::size_t offset)
        : base_(static_cast<unsigned char*>(
              ::operator new(offset + bytes.size(), std::align_val_t{64})))
        , data_(base_ + offset)
        , size_(bytes.size())
    {
        std::memcpy(data_, bytes.data(), size_);
    }
    placed_input(const placed_input&) = delete;
    placed_input& operator=(const placed_input&) = delete;
    ~placed_input() { ::operator delete(base_, std::align_val_t{64}); }

    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char* base_;
    unsigned char* data_;
    std::size_t size_;
};

// The bytes that kernel `k` writes into `room` bytes for `in`, checked to
// leave the guard bytes either side untouched, and how far it got.
std::string escape_into_room(const kernel& k, const placed_input& in, std::size_t room,
                             escape_special_detail::escaped_prefix& done)
{
    std::vector<char> out(guard + room + guard, guard_byte);
    done = k.escape(in.data(), in.size(), out.data() + guard, room);
    for (std::size_t i = 0; i < guard; ++i) {
        EXPECT_EQ(out[i], guard_byte) << k.name << " wrote before its room";
        EXPECT_EQ(out[guard + room + i], guard_byte) << k.name << " wrote past its room";
    }
    return std::string(out.data() + guard, done.written);
}

// Runs one kernel and checks its output, and the guard bytes either side of
// it, against the scalar kernel.
void expect_same_as_scalar(const kernel& k, const std::string& bytes, std::size_t offset)
{
    const placed_input in(bytes, offset);
    const std::size_t specials = count_scalar(in.data(), in.size());
    ASSERT_EQ(k.count(in.data(), in.size()), specials)
        << k.name << ", length " << in.size() << ", offset " << offset;

    const std::size_t size = in.size() + specials;
    std::string want(size, '\0');
    escape_scalar(in.data(), in.size(), want.data(), size);

    escape_special_detail::escaped_prefix done{};
    const std::string got = escape_into_room(k, in, size, done);
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_EQ(done.read, in.size()) << k.name << ", length " << in.size();
    ASSERT_EQ(got, want) << k.name << ", length " << in.size() << ", offset " << offset;
    if (k.escape_short != nullptr && in.size() <= escape_special_detail::short_limit) {
        ASSERT_EQ(k.escape_short(in.data(), in.size()), want)
            << k.name << " short path, length " << in.size() << ", offset " << offset;
    }
}

// Deterministic filler whose density of special bytes is set by `mode`:
// 0 none, 1 about one in four, 2 all, 3 any byte value 1 to 255, 4 about
// one in 64, so that blocks with none, one and a few follow each other, 5
// runs of 32 special bytes and of 32 others, from a point set by the seed,
// so that a block whose output is longest comes before one with stray
// stores.
constexpr unsigned filler_modes = 6;

std::string filler(std::size_t length, unsigned mode, unsigned seed)
{
    static const char specials[] = "[](){}$+?|.*@&";
    std::string s(length, 'a');
    unsigned x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < length; ++i) {
        auto& c = s[i];
        x = x * 1103515245u + 12345u;
        const unsigned r = x >> 16;
        switch (mode) {
        case 5:
            c = (i + seed) / 32 % 2 == 0 ? specials[r % 14] : static_cast<char>('a' + r % 26);
            break;
        case 0: c = static_cast<char>('a' + r % 26); break;
        case 1: c = r % 4 == 0 ? specials[r / 4 % 14] : static_cast<char>(0x80 + r % 128); break;
        case 2: c = specials[r % 14]; break;
        case 4: c = r % 64 == 0 ? specials[r / 64 % 14] : static_cast<char>('a' + r % 26); break;
        default: c = static_cast<char>(1 + r % 255); break;
        }
    }
    return s;
}

TEST(kernels, every_length_and_offset)
{
    for (const kernel* k : kernels_under_test()) {
        for (std::size_t length = 0; length <= 300; ++length) {
            for (std::size_t offset = 0; offset < 64; ++offset) {
                for (unsigned mode = 0; mode < filler_modes; ++mode) {
                    expect_same_as_scalar(*k, filler(length, mode, static_cast<unsigned>(
                                                                       length * 64 + offset)),
                                          offset);
                    if (HasFatalFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

TEST(kernels, every_byte_in_every_position)
{
    constexpr std::size_t length = 200;
    for (const kernel* k : kernels_under_test()) {
        for (const char background : {'a', '.'}) {
            for (unsigned b = 1; b < 256; ++b) {
                for (std::size_t pos = 0; pos < length; ++pos) {
                    std::string s(length, background);
                    s[pos] = static_cast<char>(b);
                    expect_same_as_scalar(*k, s, pos % 7);
                    if (HasFatalFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

// Given less room than the whole escape needs, every kernel escapes the
// longest prefix whose escape fits, byte for byte as the scalar loop does,
// and writes nothing outside the room.  The scalar loop's own prefix is
// checked against the rule directly.
TEST(kernels, as_much_as_fits_in_the_room)
{
    for (const kernel* k : kernels_under_test()) {
        for (std::size_t length = 0; length <= 200; length += length < 140 ? 1 : 7) {
            for (unsigned mode = 0; mode < filler_modes; ++mode) {
                const std::string bytes = filler(length, mode, static_cast<unsigned>(length));
                const placed_input in(bytes, length % 64);
                const std::size_t size = length + count_scalar(in.data(), length);
                for (std::size_t room = 0; room <= size + 1; ++room) {
                    std::string want(room, '\0');
                    const auto expected = escape_scalar(in.data(), length, want.data(), room);
                    want.resize(expected.written);
                    const std::size_t read = expected.read;
                    ASSERT_EQ(expected.written, read + count_scalar(in.data(), read));
                    ASSERT_TRUE(read == length ||
                                expected.written + 1 + count_scalar(in.data() + read, 1) > room)
                        << "scalar stopped early, length " << length << ", room " << room;

                    escape_special_detail::escaped_prefix done{};
                    const std::string got = escape_into_room(*k, in, room, done);
                    ASSERT_FALSE(HasFailure()) << k->name << ", room " << room;
                    ASSERT_EQ(done.read, read) << k->name << ", length " << length << ", room "
                                               << room << ", mode " << mode;
                    ASSERT_EQ(got, want) << k->name << ", length " << length << ", room " << room;
                }
            }
        }
    }
}

// Each loop of each kernel runs only while the room left holds the
// farthest store it can make, and the input its farthest read.  These
// inputs make them: runs of special bytes as long as whole groups of
// blocks, then a block whose one clean byte comes first, so that its last
// special byte's stores reach farthest, or a clean block, whose stores run
// past it; and clean bytes with one special byte last, whose block may be
// reloaded from just past it.  Every room up to the longest bound is tried,
// so that a bound one byte short writes past the room; and every length up
// to the longest read, so that a read past the input is seen by a
// sanitizer.
TEST(kernels, bounds_at_their_worst)
{
    const std::string specials = "[](){}$+?|.*@&";
    const auto special_run = [&](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            s += specials[i % specials.size()];
        }
        return s;
    };
    const auto expect_bounds_kept = [](const kernel& k, const std::string& bytes) {
        // Given exactly the room it needs, and more, as escape_special
        // gives a long input, so that the room does not stop a loop
        // before the input does.
        for (std::size_t tail = 0; tail <= 96; tail += tail < 40 ? 1 : 8) {
            expect_same_as_scalar(k, bytes + std::string(tail, 'a'), 0);
            ASSERT_FALSE(HasFatalFailure());
            const placed_input in(bytes + std::string(tail, 'a'), 0);
            const std::size_t size = in.size() + count_scalar(in.data(), in.size());
            std::string want(size, '\0');
            escape_scalar(in.data(), in.size(), want.data(), size);
            escape_special_detail::escaped_prefix done{};
            ASSERT_EQ(escape_into_room(k, in, 2 * in.size() + 64, done), want)
                << k.name << ", length " << in.size();
        }
        const placed_input in(bytes + std::string(96, 'a'), 0);
        const std::size_t size = in.size() + count_scalar(in.data(), in.size());
        for (std::size_t room = 0; room <= 200 && room <= size; ++room) {
            std::string want(room, '\0');
            want.resize(escape_scalar(in.data(), in.size(), want.data(), room).written);
            escape_special_detail::escaped_prefix done{};
            ASSERT_EQ(escape_into_room(k, in, room, done), want)
                << k.name << ", " << bytes.size() << " bytes, room " << room;
            ASSERT_FALSE(HasFailure()) << k.name << ", room " << room;
        }
    };
    for (const kernel* k : kernels_under_test()) {
        for (std::size_t first = 0; first <= 144; ++first) {
            for (const std::size_t then : {0, 7, 14, 15, 31, 63}) {
                expect_bounds_kept(*k, special_run(first) + "a" + special_run(then));
                ASSERT_FALSE(HasFatalFailure()) << first << " special, then one clean and "
                                                << then << " special";
            }
            expect_bounds_kept(*k, std::string(first, 'a') + ".");
            ASSERT_FALSE(HasFatalFailure()) << first << " clean, then one special";
        }
    }
}

// A kernel's own strlen reads whole aligned blocks: it must find the first
// zero byte from any start in a block, behind any bytes before the start,
// and with more bytes, zeros among them, after it.
TEST(kernels, own_length_from_every_start)
{
    for (const kernel* k : kernels_under_test()) {
        if (k->length == nullptr) {
            continue;
        }
        for (std::size_t offset = 0; offset < 64; ++offset) {
            for (std::size_t length = 0; length <= 300; ++length) {
                std::vector<char> buffer(512 + 64, '\0');
                char* const base = reinterpret_cast<char*>(
                    (reinterpret_cast<std::uintptr_t>(buffer.data()) + 63) & ~std::uintptr_t{63});
                for (std::size_t i = 0; i < 512; ++i) {
                    base[i] = static_cast<char>(i % 7 == 3 ? 0 : 'a' + i % 26);
                }
                char* const input = base + offset;
                // Every nonzero byte, 0x01 and 0x80 beside each other among
                // them, which a word-at-a-time test may take for a zero.
                for (std::size_t i = 0; i < length; ++i) {
                    input[i] = static_cast<char>(1 + (i * 127) % 255);
                }
                input[length] = '\0';
                ASSERT_EQ(k->length(input), length) << k->name << ", offset " << offset;
            }
        }
    }
}

// A terminated input at the start and at the end of a page whose
// neighbours are unmapped: a kernel's own strlen, which reads whole aligned
// blocks, must stay within the page, and the escaping within the input
// and its terminator.
// Under qemu, where no sanitizer runs, this is what sees a read too far.
TEST(kernels, no_read_leaves_the_page)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* const map =
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* const first = static_cast<char*>(map) + page;
    ASSERT_EQ(mprotect(map, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(first + page, page, PROT_NONE), 0);
    for (const kernel* k : kernels_under_test()) {
        for (std::size_t length = 0; length <= 200; ++length) {
            for (const unsigned mode : {2u, 3u}) {
                const std::string bytes = filler(length, mode, static_cast<unsigned>(length));
                std::string want(2 * length, '\0');
                want.resize(escape_scalar(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          length, want.data(), want.size())
                                .written);
                for (char* const input : {first, first + page - 1 - length}) {
                    std::memcpy(input, bytes.c_str(), length + 1);
                    if (k->length != nullptr) {
                        ASSERT_EQ(k->length(input), length) << k->name;
                    }
                    ASSERT_EQ(escape_with(*k, input), want) << k->name << ", length " << length;
                }
            }
        }
    }
    munmap(map, 3 * page);
}

TEST(kernels, longest_input)
{
    for (const kernel* k : kernels_under_test()) {
        for (unsigned mode = 0; mode < filler_modes; ++mode) {
            expect_same_as_scalar(*k, filler(131071, mode, mode), 0);
        }
    }
}

// Also names each kernel that runs, natively or modelled, and the one that
// escape_special chose.
TEST(kernels, scalar_comes_first)
{
    ASSERT_FALSE(supported_kernels().empty());
    EXPECT_STREQ(supported_kernels().front()->name, "scalar");
    EXPECT_EQ(&best_kernel(), supported_kernels().back());
    for (const kernel* k : kernels_under_test()) {
        std::printf("kernel: %s, %s\n", k->name,
                    k == &avx512_model_kernel ? "modelled" : "native");
    }
    std::printf("kernel chosen: %s\n", best_kernel().name);
}

}
