#include "escape_special.h"

#include "escape_kernels.h"
#include "kernels_under_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using escape_special_detail::escape_with;
using escape_special_detail::kernel;
using escape_special_detail::kernels_under_test;

// Written out by value, independently of the library, so that a wrong byte
// in the library's set shows up here.
bool expected_special(unsigned char c)
{
    switch (c) {
    case 0x5B: case 0x5D: case 0x28: case 0x29: case 0x7B: case 0x7D: case 0x24:
    case 0x2B: case 0x3F: case 0x7C: case 0x2E: case 0x2A: case 0x40: case 0x26:
        return true;
    default:
        return false;
    }
}

// The escape of `input` by expected_special alone.
std::string expected_escape(const std::string& input)
{
    std::string want;
    for (const char c : input) {
        if (expected_special(static_cast<unsigned char>(c))) {
            want += '\\';
        }
        want += c;
    }
    return want;
}

TEST(escape_special, examples)
{
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"1+1=2", "1\\+1=2"},
        {"a.b", "a\\.b"},
        {"[x]", "\\[x\\]"},
        {"(a+)?", "\\(a\\+\\)\\?"},
        {"{1,2}", "\\{1,2\\}"},
        {"*.*", "\\*\\.\\*"},
        {"a|b", "a\\|b"},
        {"x@y&z", "x\\@y\\&z"},
        {"^a$", "^a\\$"},
        {"\\d", "\\d"},
        {"\\.", "\\\\."},
        {"a-b=c,d/e", "a-b=c,d/e"},
        {"a b\t\n", "a b\t\n"},
        {"!\"#%',:;<=>_`~", "!\"#%',:;<=>_`~"},
        {"..", "\\.\\."},
        {"\xC3\xA9.", "\xC3\xA9\\."},
        {"[](){}$+?|.*@&", "\\[\\]\\(\\)\\{\\}\\$\\+\\?\\|\\.\\*\\@\\&"},
        {"%s%n%x", "%s%n%x"},
        {"a\0b.", "a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escape_special(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(escape_special, every_byte_alone_and_between_others)
{
    for (unsigned b = 1; b < 256; ++b) {
        const auto c = static_cast<char>(b);
        const std::string alone(1, c);
        const std::string escaped = expected_special(static_cast<unsigned char>(b))
            ? std::string{'\\', c}
            : alone;
        EXPECT_EQ(escape_special(alone.c_str()), escaped) << "byte " << b;
        EXPECT_EQ(escape_special(("x" + alone + "y").c_str()), "x" + escaped + "y")
            << "byte " << b;
    }
}

TEST(escape_special, escaping_twice_adds_one_backslash_per_special)
{
    std::string all;
    for (unsigned b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string once = escape_special(all.c_str());
    EXPECT_EQ(once.size(), all.size() + 14);
    const std::string twice = escape_special(once.c_str());
    EXPECT_EQ(twice.size(), once.size() + 14);
    EXPECT_EQ(twice.find('\0'), std::string::npos);
}

// Through every path of every kernel under test: the single pass for short
// input, the plain copy when nothing is special and the two passes.  Lengths
// run past each path's limit, with no, every and every 7th byte special, at
// each position of the first one.  The bytes must match the model, and a
// result that does not fit in the string itself must be allocated at exactly
// its size and the terminating zero, which its capacity shows.
TEST(escape_special, every_path_of_every_kernel)
{
    const std::size_t inline_capacity = std::string().capacity();
    for (const kernel* k : kernels_under_test()) {
        for (const std::size_t every : {0, 1, 7}) {
            for (std::size_t n = 0; n <= 300; ++n) {
                for (std::size_t first = 0; first < (every == 7 ? 7 : 1); ++first) {
                    std::string input(n, 'a');
                    for (std::size_t i = 0; i < n; ++i) {
                        if (every != 0 && i % every == first) {
                            input[i] = "[.&"[i % 3];
                        }
                    }
                    const std::string out = escape_with(*k, input.c_str());
                    ASSERT_EQ(out, expected_escape(input)) << k->name << ", length " << n << ", every " << every
                                         << " from " << first;
                    ASSERT_EQ(out.capacity(), std::max(out.size(), inline_capacity))
                        << k->name << ", length " << n << ", every " << every;
                }
            }
        }
    }
}

// `start` bytes of `first`, then `more` bytes that are special where
// `first` is not and the other way round, escaped by kernel `k`: the bytes
// must be exact and the capacity within size + size / 16 + 64.
::testing::AssertionResult escapes_within_capacity(const kernel& k, std::size_t start,
                                                   char first, std::size_t more)
{
    const std::string input =
        std::string(start, first) + std::string(more, first == 'a' ? '&' : 'a');
    const std::string out = escape_with(k, input.c_str());
    if (out != expected_escape(input) || out.capacity() > out.size() + out.size() / 16 + 64) {
        return ::testing::AssertionFailure()
            << k.name << ", " << start << " of " << first << " then " << more << ": size "
            << out.size() << ", capacity " << out.capacity();
    }
    return ::testing::AssertionSuccess();
}

// Past short_limit the result is allocated with room estimated from the
// input's first kilobyte.  A clean start then dense text runs the room out,
// at every point of each kernel's loops; a dense start then clean text
// leaves too much room, which must be given back.
TEST(escape_special, room_that_runs_out_or_is_too_generous)
{
    for (const kernel* k : kernels_under_test()) {
        for (const char first : {'a', '.'}) {
            for (const std::size_t start : {129, 1024, 1100, 4096}) {
                for (std::size_t more = 0; more <= 300; ++more) {
                    ASSERT_TRUE(escapes_within_capacity(*k, start, first, more));
                }
            }
            // Long enough that the spare room, n / 32, is far more than the
            // limit's 64 bytes.
            for (const std::size_t start : {1024, 5000}) {
                ASSERT_TRUE(escapes_within_capacity(*k, start, first, 200000 - start));
            }
        }
    }
}

}
