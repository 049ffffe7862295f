#include "escape_special.h"

#include "escape_kernels.h"

std::string escape_special(const char* input)
{
    using namespace escape_special_detail;
    // Held here as well, so that a short call pays no function call for it.
    static const kernel& k = best_kernel();
    return escape_with(k, input);
}
