#include "escape_kernels.h"

// glibc's header declares its functions with C's _Bool, which clang++ does
// not accept; clang builds, such as the sanitizer builds, take the CPUID
// path below instead, so both paths are built and tested.
#if defined(__x86_64__) || defined(__i386__)
#define ESCAPE_SPECIAL_X86 1
#endif
#if defined(ESCAPE_SPECIAL_X86) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define ESCAPE_SPECIAL_GLIBC_CPU_FEATURES 1
#elif defined(ESCAPE_SPECIAL_X86)
#include <cpuid.h>
#endif

#if (defined(__arm__) && defined(__ARM_FP)) || defined(__s390x__)
#include <sys/auxv.h>
#endif

namespace escape_special_detail {

namespace {

const kernel scalar_kernel{"scalar", count_scalar, escape_scalar, nullptr, nullptr};

#if defined(ESCAPE_SPECIAL_GLIBC_CPU_FEATURES)
// glibc ran CPUID and read XCR0 once at start-up; a feature is "active" when
// the CPU has it and the OS saves the registers it needs.  Asking glibc costs
// no CPUID instruction, which traps to the hypervisor in a virtual machine
// and would cost a short run more than the escaping.
bool has_ssse3()
{
    return CPU_FEATURE_ACTIVE(SSSE3);
}

#if defined(__x86_64__)
bool has_avx2()
{
    return CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) && CPU_FEATURE_ACTIVE(POPCNT);
}

bool has_avx512_vbmi2()
{
    return CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) &&
           CPU_FEATURE_ACTIVE(AVX512VL) && CPU_FEATURE_ACTIVE(AVX512_VBMI) &&
           CPU_FEATURE_ACTIVE(AVX512_VBMI2) && CPU_FEATURE_ACTIVE(BMI2) &&
           CPU_FEATURE_ACTIVE(POPCNT);
}
#endif
#elif defined(ESCAPE_SPECIAL_X86)
bool has_ssse3()
{
    return __builtin_cpu_supports("ssse3");
}

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

constexpr unsigned long long sse_avx_state = 0x06;                 // XMM and YMM
constexpr unsigned long long avx512_state = sse_avx_state | 0xE0;  // opmask and ZMM

bool has_avx2()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("popcnt") && os_saves(sse_avx_state);
}

bool has_avx512_vbmi2()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt") && os_saves(avx512_state);
}
#endif
#endif

struct kernel_list {
    const kernel* kernels[5];
    std::size_t size = 0;
};

kernel_list detect()
{
    kernel_list list{};
    list.kernels[list.size++] = &scalar_kernel;
    list.kernels[list.size++] = &portable_kernel;
#if defined(ESCAPE_SPECIAL_X86)
    if (has_ssse3()) {
        list.kernels[list.size++] = &ssse3_kernel;
    }
#endif
#if defined(__x86_64__)
    if (has_avx2()) {
        list.kernels[list.size++] = &avx2_kernel;
    }
    if (has_avx512_vbmi2()) {
        list.kernels[list.size++] = &avx512_kernel;
    }
#endif
#if defined(__arm__) && defined(__ARM_FP)
    // Most ARMv7-A CPUs have NEON; Debian's armhf baseline does not.
    if ((getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0) {
        list.kernels[list.size++] = &armv7_neon_kernel;
    }
#endif
#if defined(__POWER8_VECTOR__) && defined(__LITTLE_ENDIAN__)
    // Every CPU that runs little-endian POWER code is a POWER8 or newer.
    list.kernels[list.size++] = &vsx_kernel;
#endif
#if defined(__s390x__)
    // The vector facility came with z13; the kernel also needs it enabled.
    if ((getauxval(AT_HWCAP) & HWCAP_S390_VX) != 0) {
        list.kernels[list.size++] = &s390x_vector_kernel;
    }
#endif
#if defined(__aarch64__)
    // Advanced SIMD is part of every ARMv8-A CPU.
    list.kernels[list.size++] = &neon_kernel;
#endif
    return list;
}

const kernel_list& kernels()
{
    static const kernel_list list = detect();
    return list;
}

}

std::span<const kernel* const> supported_kernels()
{
    return {kernels().kernels, kernels().size};
}

// The list always holds the scalar kernel, so its last entry is there to
// take.  span::back() would check that, and the check's failure path,
// under _GLIBCXX_ASSERTIONS, would link the C library's stdio into the
// static tool: 33 KB and three page faults more on every run, which made
// a short run 6% slower.
const kernel& best_kernel()
{
    static const kernel& best = *kernels().kernels[kernels().size - 1];
    return best;
}

}
