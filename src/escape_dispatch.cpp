#include "escape_kernels.h"

namespace escape_special_detail {

namespace {

const kernel scalar_kernel{"scalar", count_scalar, escape_scalar};

}

std::span<const kernel> supported_kernels()
{
    static const kernel kernels[] = {scalar_kernel};
    return kernels;
}

const kernel& best_kernel()
{
    return supported_kernels().back();
}

}
