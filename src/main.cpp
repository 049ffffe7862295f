#include "escape_special.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Runs when operator new finds no memory, in place of throwing
// std::bad_alloc: throwing needs memory of its own, and when there is none
// the C++ runtime aborts.  Nothing has been written to standard output yet,
// since the result is written only once it is complete, and the one
// allocation that failed leaves no partial string behind.
[[noreturn]] void out_of_memory()
{
    static const char message[] = "escape-special: out of memory\n";
    std::fwrite(message, 1, sizeof message - 1, stderr);
    std::_Exit(1);
}

}

#if defined(MADV_POPULATE_WRITE) && !defined(ESCAPE_SPECIAL_SANITIZED)
// The standard operator new, except that the kernel maps a large block's
// pages in one call instead of one page fault at a time, which on a virtual
// machine costs more than escaping the page's bytes.  The sanitizers bring
// an operator new of their own.
void* operator new(std::size_t size)
{
    for (;;) {
        if (void* p = std::malloc(size != 0 ? size : 1)) {
            if (size >= 64 * 1024) {
                const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
                const auto start = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
                const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(page - 1);
                // Only a hint: an older kernel refuses it and the pages
                // fault in as before.
                madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
            }
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}
#endif

int main(int argc, char* argv[])
{
    std::set_new_handler(out_of_memory);
#if defined(__GLIBC__)
    // glibc would give a long argument's result a mapping of its own and
    // unmap it again on release; those calls cost more than the escaping.
    // The largest result, twice the longest argument, stays on the heap,
    // and the heap keeps its pages until the process exits.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 20);
#endif
    // A reader that has gone away is one more failed write: it must not
    // kill the process or change its exit status.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc != 2) {
        std::fputs("usage: program STRING", stdout);
        return 0;
    }
    const std::string escaped = escape_special(argv[1]);
    std::fwrite(escaped.data(), 1, escaped.size(), stdout);
    return 0;
}
