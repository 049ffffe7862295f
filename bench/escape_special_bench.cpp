// Measures escape_special against what any copy of the same input costs:
// strlen, one allocation and memcpy, in the same run.  Prints the median
// ratio of the two for each kernel and input: the fraction of copy speed the
// escaper reaches, and its inverse, what one call costs in copies.
// `--ratios` prints only those, and `--ratios NAME` only those of one
// kernel; `--passes` times each pass on its own.

#if !defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
#include "escape_kernels.h"
#endif
#include "escape_special.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char specials[] = "[](){}$+?|.*@&";

struct lcg {
    unsigned x = 12345;
    unsigned next() { return (x = x * 1103515245u + 12345u) >> 16; }
};

// Lower-case words and spaces, with a special byte in place of a letter
// once in every `one_in` bytes on average (never, for 0).
std::string prose(std::size_t size, unsigned one_in)
{
    lcg r;
    std::string s;
    while (s.size() < size) {
        const unsigned v = r.next();
        if (one_in != 0 && v % one_in == 0) {
            s += specials[r.next() % 14];
        } else if (v % 6 == 0) {
            s += ' ';
        } else {
            s += static_cast<char>('a' + r.next() % 26);
        }
    }
    s.resize(size);
    return s;
}

// Mixed ASCII, two-byte and three-byte UTF-8 characters, about 2% special.
std::string utf8_text(std::size_t size)
{
    lcg r;
    std::string s;
    while (s.size() < size) {
        const unsigned v = r.next() % 100;
        if (v < 2) {
            s += specials[r.next() % 14];
        } else if (v < 30) {
            s += "\xC3\xA9";
        } else if (v < 40) {
            s += "\xE2\x82\xAC";
        } else {
            s += static_cast<char>('a' + r.next() % 26);
        }
    }
    s.resize(size);
    return s;
}

std::string all_special(std::size_t size)
{
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        s += specials[i % 14];
    }
    return s;
}

constexpr std::size_t large = 128 * 1024;

// Consecutive `width`-byte pieces of `text`.  A short case runs through all
// of them in turn, so that it sees the text's density of special bytes and
// the branch predictor cannot learn a single string.
std::vector<std::string> pieces(const std::string& text, std::size_t width)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i + width <= text.size(); i += width) {
        out.push_back(text.substr(i, width));
    }
    return out;
}

using inputs_t = std::map<std::string, std::vector<std::string>>;

const inputs_t& inputs()
{
    static const inputs_t all = [] {
        const std::string prose_1pct = prose(large, 100);
        const std::string prose_10pct = prose(large, 10);
        return inputs_t{
            {"no_special", {prose(large, 0)}},
            {"prose_1pct", {prose_1pct}},
            {"utf8_2pct", {utf8_text(large)}},
            {"special_20pct", {prose(large, 5)}},
            {"all_special", {all_special(large)}},
            {"short_16_1pct", pieces(prose_1pct, 16)},
            {"short_16_10pct", pieces(prose_10pct, 16)},
            {"short_100_1pct", pieces(prose_1pct, 100)},
            {"short_100_10pct", pieces(prose_10pct, 100)},
        };
    }();
    return all;
}

std::string copy(const char* p)
{
    return std::string(p, std::strlen(p));
}

std::vector<const char*> pointers(const std::vector<std::string>& input)
{
    std::vector<const char*> out;
    for (const auto& s : input) {
        out.push_back(s.c_str());
    }
    return out;
}

std::size_t bytes(const std::vector<std::string>& input)
{
    std::size_t n = 0;
    for (const auto& s : input) {
        n += s.size();
    }
    return n;
}

using escaper = std::string (*)(const char*);

struct named_escaper {
    std::string name;
    escaper f;
};

#if defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
// Linked against the library's public target alone, static or shared, this
// times the call as a program that links the library makes it: by name,
// which from a shared library goes through the PLT.  A pointer to the
// function would skip the PLT.
std::string call_by_name(const char* p)
{
    return escape_special(p);
}

std::vector<named_escaper> escapers()
{
    return {{"escape_special", call_by_name}};
}
#else
// Each kernel through the same path as escape_special, that of escape_with;
// the kernel is a template argument so that each is a plain function.
template <std::size_t index>
std::string escape_by(const char* p)
{
    return escape_special_detail::escape_with(*escape_special_detail::supported_kernels()[index], p);
}

// The fastest kernel first.
std::vector<named_escaper> escapers()
{
    static constexpr escaper by_index[] = {escape_by<0>, escape_by<1>, escape_by<2>,
                                           escape_by<3>, escape_by<4>};
    const auto kernels = escape_special_detail::supported_kernels();
    std::vector<named_escaper> out;
    for (std::size_t k = kernels.size(); k-- > 0;) {
        out.push_back({kernels[k]->name, by_index[k]});
    }
    return out;
}
#endif

void run(benchmark::State& state, escaper f, const std::vector<std::string>* input)
{
    const std::vector<const char*> p = pointers(*input);
    std::size_t i = 0;
    for (auto _ : state) {
        std::string out = f(p[i]);
        benchmark::DoNotOptimize(out.data());
        i = i + 1 == p.size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes(*input) /
                                                      input->size()));
}

// Runs f once over every string of the input and returns the time taken.
double pass(escaper f, const std::vector<const char*>& p, int repeat)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < repeat; ++r) {
        for (const char* s : p) {
            std::string out = f(s);
            benchmark::DoNotOptimize(out.data());
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Times `rounds` short batches of copies and escapes, alternating, and
// returns the median over rounds of copy time / escape time: the fraction of
// copy speed the escaper reaches.  Alternating keeps both sides under the
// same machine noise, which on a shared host is larger than the effect.
double interleaved_ratio(escaper f, const std::vector<std::string>& input, int rounds = 201)
{
    const std::vector<const char*> p = pointers(input);
    const int repeat = static_cast<int>(std::max<std::size_t>(1, (1u << 20) / (bytes(input) + 64)));
    std::vector<double> ratios;
    for (int r = -5; r < rounds; ++r) {
        const double copy_time = pass(copy, p, repeat);
        const double ratio = copy_time / pass(f, p, repeat);
        if (r >= 0) {
            ratios.push_back(ratio);
        }
    }
    std::nth_element(ratios.begin(), ratios.begin() + rounds / 2, ratios.end());
    return ratios[static_cast<std::size_t>(rounds / 2)];
}

void print_ratios(const std::vector<named_escaper>& all)
{
    for (const auto& e : all) {
        std::printf("\nkernel: %s\n", e.name.c_str());
        std::printf("%-16s %11s %11s  (median of alternating batches)\n", "input",
                    "copy/escape", "escape/copy");
        for (const auto& [name, input] : inputs()) {
            const double ratio = interleaved_ratio(e.f, input);
            std::printf("%-16s %11.2f %11.2f\n", name.c_str(), ratio, 1 / ratio);
        }
    }
}


#if !defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
// The best of 9 timings of `repeat` calls of f, in ns per call.
template <class F>
double best_ns(F f, int repeat)
{
    double best = 1e300;
    for (int t = 0; t < 9; ++t) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < repeat; ++r) {
            f();
        }
        const std::chrono::duration<double, std::nano> took =
            std::chrono::steady_clock::now() - t0;
        best = std::min(best, took.count() / repeat);
    }
    return best;
}

// Each pass on its own over the long inputs, in ns per call: strlen, a
// memcpy into memory allocated beforehand, the copy that the ratios compare
// against, a memset of twice the input, which is what writing the longest
// output costs, and for each kernel its count, its escape into output
// allocated beforehand, and the whole call.  The floor that the escaper
// works above.
void print_passes()
{
    const auto kernels = escape_special_detail::supported_kernels();
    std::printf("\n%-16s %8s %8s %8s %8s", "ns per call", "strlen", "memcpy", "copy", "write2n");
    for (std::size_t k = kernels.size(); k-- > 0;) {
        std::printf("  %s: %8s %8s %8s", kernels[k]->name, "count", "escape", "whole");
    }
    std::printf("\n");
    for (const auto& [name, input] : inputs()) {
        if (input.size() != 1) {
            continue;
        }
        const std::string& s = input.front();
        const auto* in = reinterpret_cast<const unsigned char*>(s.data());
        const std::size_t n = s.size();
        std::vector<char> out(2 * n);
        const int repeat = 100;
        std::printf("%-16s %8.0f %8.0f %8.0f %8.0f", name.c_str(), best_ns([&] {
            benchmark::DoNotOptimize(std::strlen(s.c_str()));
        }, repeat), best_ns([&] {
            std::memcpy(out.data(), s.data(), n);
            benchmark::ClobberMemory();
        }, repeat), best_ns([&] {
            std::string c = copy(s.c_str());
            benchmark::DoNotOptimize(c.data());
        }, repeat), best_ns([&] {
            std::memset(out.data(), 'x', 2 * n);
            benchmark::ClobberMemory();
        }, repeat));
        for (std::size_t k = kernels.size(); k-- > 0;) {
            const auto& kernel = *kernels[k];
            std::printf("  %*s  %8.0f %8.0f %8.0f", static_cast<int>(std::strlen(kernel.name)), "",
                        best_ns([&] { benchmark::DoNotOptimize(kernel.count(in, n)); }, repeat),
                        best_ns([&] {
                            benchmark::DoNotOptimize(kernel.escape(in, n, out.data(), 2 * n));
                            benchmark::ClobberMemory();
                        }, repeat),
                        best_ns([&] {
                            std::string e = escape_special_detail::escape_with(kernel, s.c_str());
                            benchmark::DoNotOptimize(e.data());
                        }, repeat));
        }
        std::printf("\n");
    }
}
#endif
}

int main(int argc, char** argv)
{
    // glibc moves its mmap threshold up each time it frees a mapped block,
    // so whether a 128 or 256 KiB string got a mapping of its own, with page
    // faults on every call, depended on which inputs ran before.  Keeping
    // every string on the heap times copy and escaper alike, in any order.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    std::vector<named_escaper> all = escapers();
#if !defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
    if (argc > 1 && std::strcmp(argv[1], "--passes") == 0) {
        print_passes();
        return 0;
    }
#endif
    const bool ratios_only = argc > 1 && std::strcmp(argv[1], "--ratios") == 0;
    if (ratios_only && argc > 2) {
        std::erase_if(all, [&](const named_escaper& e) { return e.name != argv[2]; });
    }
    if (!ratios_only) {
        for (const auto& [name, input] : inputs()) {
            benchmark::RegisterBenchmark(("copy/" + name).c_str(), run, copy, &input);
            for (const auto& e : all) {
                benchmark::RegisterBenchmark(("escape/" + e.name + "/" + name).c_str(), run,
                                             e.f, &input);
            }
        }
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    print_ratios(all);
}
