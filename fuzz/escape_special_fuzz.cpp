// Checks escape_special, each kernel the CPU supports and the modelled
// AVX-512 kernel against a model written here from the contract alone.  The
// input is taken up to its first zero byte, as the tool's argument would be.

#include "escape_kernels.h"
#include "escape_special.h"
#include "kernels_under_test.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bool is_special(unsigned char c)
{
    static const unsigned char set[] = {'[', ']', '(', ')', '{', '}', '$',
                                        '+', '?', '|', '.', '*', '@', '&'};
    for (const unsigned char s : set) {
        if (c == s) {
            return true;
        }
    }
    return false;
}

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

// Undoes the escaping: a backslash must be followed by a special byte, and
// every special byte must follow a backslash.
std::string unescape(const std::string& escaped)
{
    std::string plain;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const auto c = static_cast<unsigned char>(escaped[i]);
        if (i + 1 < escaped.size() && c == '\\' &&
            is_special(static_cast<unsigned char>(escaped[i + 1]))) {
            plain += escaped[++i];
        } else {
            check(!is_special(c));
            plain += static_cast<char>(c);
        }
    }
    return plain;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* zero = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t n = zero != nullptr ? static_cast<std::size_t>(zero - data) : size;

    // Heap copies of exactly the input's size, so that ASan sees any read
    // past the end: with the terminator for escape_special, without it for
    // the kernels, which are given the length.
    const std::unique_ptr<char[]> terminated(new char[n + 1]);
    std::memcpy(terminated.get(), data, n);
    terminated[n] = '\0';
    const std::unique_ptr<unsigned char[]> bare(new unsigned char[n]);
    std::memcpy(bare.get(), data, n);

    std::string model;
    std::size_t specials = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (is_special(data[i])) {
            model += '\\';
            ++specials;
        }
        model += static_cast<char>(data[i]);
    }

    const std::string escaped = escape_special(terminated.get());
    check(escaped == model);
    check(escaped.size() == n + specials);
    check(escaped.find('\0') == std::string::npos);
    check(unescape(escaped) == std::string(terminated.get(), n));

    // Behind a clean kilobyte, the room estimated from that start runs out
    // whenever the input is dense, and escape_special counts the rest.
    const std::string clean(1024, 'a');
    const std::string behind = escape_special((clean + terminated.get()).c_str());
    check(behind == clean + model);
    check(behind.capacity() <= behind.size() + behind.size() / 16 + 64);

    // Each kernel with all the room it needs, and with a little less, taken
    // from the input, where it escapes the longest prefix that fits.
    const std::size_t escaped_size = n + specials;
    const std::size_t short_by = n == 0 ? 0 : std::min<std::size_t>(data[0] % 8, escaped_size);
    const std::size_t room = escaped_size - short_by;
    std::size_t fits = 0;
    std::size_t fits_written = 0;
    while (fits < n && fits_written + 1 + is_special(data[fits]) <= room) {
        fits_written += 1 + is_special(data[fits]);
        ++fits;
    }
    static const auto kernels = escape_special_detail::kernels_under_test();
    for (const auto* k : kernels) {
        check(k->length == nullptr || k->length(terminated.get()) == n);
        check(k->count(bare.get(), n) == specials);
        const std::unique_ptr<char[]> out(new char[escaped_size]);
        const auto whole = k->escape(bare.get(), n, out.get(), escaped_size);
        check(whole.read == n && whole.written == escaped_size);
        check(std::string(out.get(), escaped_size) == model);
        const std::unique_ptr<char[]> less(new char[room]);
        const auto part = k->escape(bare.get(), n, less.get(), room);
        check(part.read == fits && part.written == fits_written);
        check(std::string(less.get(), fits_written) == model.substr(0, fits_written));
        if (k->escape_short != nullptr && n <= escape_special_detail::short_limit) {
            check(k->escape_short(bare.get(), n) == model);
        }
    }
    return 0;
}
