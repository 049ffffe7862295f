#include "escape_kernels.h"

namespace escape_special_detail {

std::size_t count_scalar(const unsigned char* in, std::size_t n)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        count += special_table[in[i]];
    }
    return count;
}

// Writes a backslash at every step and moves past it only for a special
// byte, so the loop has no branch on the data.  The stray backslash is always
// overwritten by the byte itself, and never lands beyond out_size.
void escape_scalar(const unsigned char* in, std::size_t n, char* out, std::size_t)
{
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = in[i];
        *out = static_cast<char>(escape_byte);
        out += special_table[c];
        *out++ = static_cast<char>(c);
    }
}

}
