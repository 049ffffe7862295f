#include "escape_special.h"

#include "escape_kernels.h"

#include <cstring>

using escape_special_detail::best_kernel;
using escape_special_detail::kernel;

std::string escape_special(const char* input)
{
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    const std::size_t n = std::strlen(input);
    const kernel& k = best_kernel();
    const std::size_t specials = k.count(in, n);
    if (specials == 0) {
        return std::string(input, n);
    }
    const std::size_t size = n + specials;
    std::string out;
#if defined(__cpp_lib_string_resize_and_overwrite)
    out.resize_and_overwrite(size, [&](char* p, std::size_t) {
        k.escape(in, n, p, size);
        return size;
    });
#else
    out.resize(size);
    k.escape(in, n, out.data(), size);
#endif
    return out;
}
