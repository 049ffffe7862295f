// Measures escape_special against what any copy of the same input costs:
// strlen, one allocation and memcpy, in the same run.  Prints the median
// ratio of the two for each input.

#include "escape_kernels.h"
#include "escape_special.h"

#include <benchmark/benchmark.h>

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

const std::map<std::string, std::string>& inputs()
{
    static const std::map<std::string, std::string> all = {
        {"no_special", prose(large, 0)},
        {"prose_1pct", prose(large, 100)},
        {"utf8_2pct", utf8_text(large)},
        {"special_20pct", prose(large, 5)},
        {"all_special", all_special(large)},
        {"short_16", prose(16, 10)},
        {"short_100", prose(100, 10)},
    };
    return all;
}

std::string copy(const char* p)
{
    return std::string(p, std::strlen(p));
}

void run(benchmark::State& state, std::string (*f)(const char*), const std::string* input)
{
    const char* p = input->c_str();
    for (auto _ : state) {
        std::string out = f(p);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input->size()));
}

// Times `rounds` short batches of copies and escapes, alternating, and
// returns the median over rounds of copy time / escape time: the fraction of
// copy speed the escaper reaches.  Alternating keeps both sides under the
// same machine noise, which on a shared host is larger than the effect.
double interleaved_ratio(const std::string& input, int rounds = 201)
{
    using clock = std::chrono::steady_clock;
    const char* p = input.c_str();
    const int batch = static_cast<int>(std::max<std::size_t>(1, (1u << 20) / (input.size() + 64)));
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = clock::now();
        for (int i = 0; i < batch; ++i) {
            std::string out = copy(p);
            benchmark::DoNotOptimize(out.data());
        }
        const auto t1 = clock::now();
        for (int i = 0; i < batch; ++i) {
            std::string out = escape_special(p);
            benchmark::DoNotOptimize(out.data());
        }
        const auto t2 = clock::now();
        ratios.push_back(std::chrono::duration<double>(t1 - t0).count() /
                         std::chrono::duration<double>(t2 - t1).count());
    }
    std::nth_element(ratios.begin(), ratios.begin() + rounds / 2, ratios.end());
    return ratios[static_cast<std::size_t>(rounds / 2)];
}

void print_ratios()
{
    std::printf("\nkernel: %s\n", escape_special_detail::best_kernel().name);
    std::printf("%-14s %10s  (median of alternating batches: copy time / escape time)\n",
                "input", "ratio");
    for (const auto& [name, input] : inputs()) {
        std::printf("%-14s %10.3f\n", name.c_str(), interleaved_ratio(input));
    }
}

}

int main(int argc, char** argv)
{
    for (const auto& [name, input] : inputs()) {
        benchmark::RegisterBenchmark(("copy/" + name).c_str(), run, copy, &input);
        benchmark::RegisterBenchmark(("escape/" + name).c_str(), run, escape_special, &input);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_ratios();
}
