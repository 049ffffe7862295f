#include "escape_special.h"

#include "escape_kernels.h"

#include <cstring>

namespace escape_special_detail {

// A short input in one pass where the kernel can, otherwise a count, a plain
// copy when nothing is special, and the escape into a string allocated once
// at its size.
std::string escape_with(const kernel& k, const char* input)
{
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const std::size_t n = std::strlen(input);
    if (n <= short_limit && k.escape_short != nullptr) {
        return k.escape_short(in, n);
    }
    const std::size_t specials = k.count(in, n);
    if (specials == 0) {
        return std::string(input, n);
    }
    const std::size_t size = n + specials;
    return make_string(size, [&](char* out) { k.escape(in, n, out, size); });
}

}

std::string escape_special(const char* input)
{
    using namespace escape_special_detail;
    // Held here as well, so that a short call pays no function call for it.
    static const kernel& k = best_kernel();
    return escape_with(k, input);
}
