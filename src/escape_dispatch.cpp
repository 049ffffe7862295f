#include "escape_kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace escape_special_detail {

namespace {

const kernel scalar_kernel{"scalar", count_scalar, escape_scalar};

#if defined(__x86_64__)
// The CPU may have wide registers that the kernel does not save on a context
// switch; XCR0 says which register states the OS has enabled.
bool os_saves(unsigned long long states)
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) {
        return false;
    }
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    const unsigned long long xcr0 = (static_cast<unsigned long long>(high) << 32) | low;
    return (xcr0 & states) == states;
}
#endif

struct kernel_list {
    const kernel* kernels[3];
    std::size_t size = 0;
};

kernel_list detect()
{
    kernel_list list{};
    list.kernels[list.size++] = &scalar_kernel;
#if defined(__x86_64__)
    constexpr unsigned long long sse_avx = 0x06;         // XMM and YMM state
    constexpr unsigned long long avx512 = sse_avx | 0xE0; // opmask and ZMM state
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && os_saves(sse_avx)) {
        list.kernels[list.size++] = &avx2_kernel;
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
        os_saves(avx512)) {
        list.kernels[list.size++] = &avx512_kernel;
    }
#endif
    return list;
}

}

std::span<const kernel* const> supported_kernels()
{
    static const kernel_list list = detect();
    return {list.kernels, list.size};
}

const kernel& best_kernel()
{
    static const kernel& best = *supported_kernels().back();
    return best;
}

}
