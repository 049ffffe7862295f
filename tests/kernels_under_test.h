#ifndef KERNELS_UNDER_TEST_H
#define KERNELS_UNDER_TEST_H

#include "escape_kernels.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace escape_special_detail {

// The AVX-512 kernel's code built against plain C++ definitions of its
// intrinsics, which runs on any CPU.
extern const kernel avx512_model_kernel;

// The kernels a test runs: those this CPU supports, the scalar one first,
// then the modelled AVX-512 kernel.  A kernel built for this architecture
// that the CPU lacks is named on standard output, so that a run which
// skipped it says so.
inline std::vector<const kernel*> kernels_under_test()
{
    const auto supported = supported_kernels();
    std::vector<const kernel*> kernels(supported.begin(), supported.end());
    const kernel* const built[] = {
#if defined(__x86_64__)
        &ssse3_kernel, &avx2_kernel, &avx512_kernel,
#elif defined(__i386__)
        &ssse3_kernel,
#elif defined(__arm__) && defined(__ARM_FP)
        &armv7_neon_kernel,
#elif defined(__POWER8_VECTOR__) && defined(__LITTLE_ENDIAN__)
        &vsx_kernel,
#elif defined(__s390x__)
        &s390x_vector_kernel,
#endif
        &portable_kernel,
    };
    for (const kernel* k : built) {
        if (std::find(supported.begin(), supported.end(), k) == supported.end()) {
            std::printf("kernel skipped, this CPU lacks it: %s\n", k->name);
        }
    }
    kernels.push_back(&avx512_model_kernel);
    return kernels;
}

}

#endif
