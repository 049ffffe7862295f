#include "escape_special.h"

#include "escape_kernels.h"

#include <cstring>

using escape_special_detail::best_kernel;
using escape_special_detail::kernel;
using escape_special_detail::make_string;
using escape_special_detail::short_limit;

std::string escape_special(const char* input)
{
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const std::size_t n = std::strlen(input);
    // Held here as well, so that a short call pays no function call for it.
    static const kernel& k = best_kernel();
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
