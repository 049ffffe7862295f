// Measures escape_special against what any copy of the same input costs:
// strlen, one allocation and memcpy.
//
//     escape_special_bench                 Google Benchmark's timings, then
//                                          the ratios below
//     escape_special_bench --ratios [NAME] the ratios alone, of one kernel
//                                          if NAME is given
//     escape_special_bench --passes        each pass on its own
//
// A ratio is the median, over rounds, of copy time over escape time, the two
// sides timed in alternating batches of calls: the fraction of copy speed
// the escaper reaches, and its inverse, what one call costs in copies.  Real
// strings, read from files every Debian machine has, are also timed
// against a copy of each escaped result, which is what building the
// returned string costs any escaper.  Google Benchmark's own figures, with
// --benchmark_filter=length --benchmark_format=json, are what
// bench/chart.py draws.

#if !defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
#include "escape_kernels.h"
#endif
#include "escape_special.h"

#include <benchmark/benchmark.h>
#include <glob.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
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

// The strings of one case, in groups: each round of a ratio times one group,
// in turn, and each call takes one string of it.
struct input {
    std::vector<std::string> storage;
    std::vector<std::vector<const char*>> groups;
};

// One long text, at 16 offsets within a page, a group each.  Where the
// input lies against the output decides much of what a long call costs:
// with the text at one address only, two runs of the same code read 0.65
// and 0.94 of copy speed with AVX-512 and no special byte.
input placed(const std::string& text)
{
    input in;
    for (std::size_t k = 0; k < 16; ++k) {
        in.storage.push_back(std::string(k * 257 % 4096, ' ') + text);
    }
    for (std::size_t k = 0; k < 16; ++k) {
        in.groups.push_back({in.storage[k].c_str() + k * 257 % 4096});
    }
    return in;
}

// Every string in one group, so that a round sees them all and the branch
// predictor cannot learn a single one.
input one_group(std::vector<std::string> strings)
{
    input in;
    in.storage = std::move(strings);
    in.groups.emplace_back();
    for (const auto& s : in.storage) {
        in.groups.back().push_back(s.c_str());
    }
    return in;
}

// Consecutive `width`-byte pieces of `text`.
std::vector<std::string> pieces(const std::string& text, std::size_t width)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i + width <= text.size(); i += width) {
        out.push_back(text.substr(i, width));
    }
    return out;
}

// The lines of the files that `pattern` matches, in order, each of which
// `keep` turns into zero or more strings; at most `limit` of them, taken
// evenly from all.
template <class Keep>
std::vector<std::string> strings_from(const char* pattern, Keep keep, std::size_t limit = 4000)
{
    std::vector<std::string> all;
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (std::size_t f = 0; f < found.gl_pathc; ++f) {
            std::ifstream file(found.gl_pathv[f]);
            for (std::string line; std::getline(file, line);) {
                keep(line, all);
            }
        }
    }
    globfree(&found);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < limit && i < all.size(); ++i) {
        out.push_back(all[i * all.size() / std::min(limit, all.size())]);
    }
    return out;
}

std::vector<std::string> urls()
{
    return strings_from("/usr/share/doc/*/copyright", [](const std::string& line, auto& out) {
        for (std::size_t at = line.find("http"); at != std::string::npos;
             at = line.find("http", at + 1)) {
            if (line.compare(at, 7, "http://") != 0 && line.compare(at, 8, "https://") != 0) {
                continue;
            }
            const std::size_t end = line.find_first_of(" \t<>\"'()", at);
            out.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        }
    });
}

// Real strings of the kinds that programs escape, from data every Debian
// machine has: file paths from dpkg's lists of installed files, URLs from
// the packages' copyright files, the host names in those, package versions
// from dpkg's status file, and lines of C headers.
std::map<std::string, std::vector<std::string>> real_strings()
{
    std::map<std::string, std::vector<std::string>> out;
    out["real_paths"] = strings_from("/var/lib/dpkg/info/*.list",
                                     [](const std::string& line, auto& all) {
                                         if (line.size() > 1) {
                                             all.push_back(line);
                                         }
                                     });
    out["real_urls"] = urls();
    std::set<std::string> hosts;
    for (const std::string& url : urls()) {
        const std::size_t from = url.find("://") + 3;
        const std::size_t end = url.find_first_of("/:?#", from);
        hosts.insert(url.substr(from, end == std::string::npos ? end : end - from));
    }
    hosts.erase("");
    out["real_hosts"] = std::vector<std::string>(hosts.begin(), hosts.end());
    out["real_versions"] = strings_from("/var/lib/dpkg/status",
                                        [](const std::string& line, auto& all) {
                                            if (line.rfind("Version: ", 0) == 0) {
                                                all.push_back(line.substr(9));
                                            }
                                        });
    out["real_c_lines"] = strings_from("/usr/include/*.h",
                                       [](const std::string& line, auto& all) {
                                           if (!line.empty()) {
                                               all.push_back(line);
                                           }
                                       });
    return out;
}

using inputs_t = std::map<std::string, input>;

const inputs_t& inputs()
{
    static const inputs_t all = [] {
        const std::string prose_1pct = prose(large, 100);
        const std::string prose_10pct = prose(large, 10);
        inputs_t in;
        in["no_special"] = placed(prose(large, 0));
        in["prose_1pct"] = placed(prose_1pct);
        in["utf8_2pct"] = placed(utf8_text(large));
        in["special_20pct"] = placed(prose(large, 5));
        in["all_special"] = placed(all_special(large));
        in["short_16_1pct"] = one_group(pieces(prose_1pct, 16));
        in["short_16_10pct"] = one_group(pieces(prose_10pct, 16));
        in["short_100_1pct"] = one_group(pieces(prose_1pct, 100));
        in["short_100_10pct"] = one_group(pieces(prose_10pct, 100));
        for (auto& [name, strings] : real_strings()) {
            if (strings.size() < 100) {
                std::printf("skipped %s: fewer than 100 strings found on this machine\n",
                            name.c_str());
                continue;
            }
            in[name] = one_group(std::move(strings));
        }
        return in;
    }();
    return all;
}

std::string copy(const char* p)
{
    return std::string(p, std::strlen(p));
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
    static const escape_special_detail::kernel& k =
        *escape_special_detail::supported_kernels()[index];
    return escape_special_detail::escape_with(k, p);
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

std::size_t bytes(const std::vector<const char*>& strings)
{
    std::size_t n = 0;
    for (const char* s : strings) {
        n += std::strlen(s);
    }
    return n;
}

// Calls f on every string of the group `repeat` times and returns the time
// taken.
double pass(escaper f, const std::vector<const char*>& strings, int repeat)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < repeat; ++r) {
        for (const char* s : strings) {
            std::string out = f(s);
            benchmark::DoNotOptimize(out.data());
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The median over `rounds` rounds of the time of `base` over that of `f`,
// taken in batches of about a megabyte each, alternating, one group a round
// in turn.  `base` runs on `base_input`, group for group, which is the
// input itself for a copy of each input.  Alternating keeps both sides under
// the same machine noise, which on a shared host is larger than the effect.
double interleaved_ratio(escaper f, const input& in, escaper base, const input& base_input,
                         int rounds = 201)
{
    std::vector<double> ratios;
    for (int r = -5; r < rounds; ++r) {
        const std::size_t g = static_cast<std::size_t>(r + 5) % in.groups.size();
        const auto& strings = in.groups[g];
        const int repeat = static_cast<int>(std::max<std::size_t>(
            1, (1u << 20) / (bytes(strings) + 64 * strings.size())));
        const double base_time = pass(base, base_input.groups[g], repeat);
        const double ratio = base_time / pass(f, strings, repeat);
        if (r >= 0) {
            ratios.push_back(ratio);
        }
    }
    return median(ratios);
}

// Each string of `in` escaped, in the same groups, to time a copy of each
// result against.
input escaped(const input& in)
{
    input out;
    for (const auto& group : in.groups) {
        for (const char* s : group) {
            out.storage.push_back(escape_special(s));
        }
    }
    std::size_t next = 0;
    for (const auto& group : in.groups) {
        out.groups.emplace_back();
        for (std::size_t i = 0; i < group.size(); ++i) {
            out.groups.back().push_back(out.storage[next++].c_str());
        }
    }
    return out;
}

void print_ratios(const std::vector<named_escaper>& all)
{
    std::map<std::string, input> results;
    for (const auto& [name, in] : inputs()) {
        if (name.rfind("real_", 0) == 0) {
            results.emplace(name, escaped(in));
        }
    }
    for (const auto& e : all) {
        std::printf("\nkernel: %s\n", e.name.c_str());
        std::printf("%-16s %11s %11s %13s  (medians of alternating batches)\n", "input",
                    "copy/escape", "escape/copy", "result/escape");
        for (const auto& [name, in] : inputs()) {
            const double ratio = interleaved_ratio(e.f, in, copy, in);
            std::printf("%-16s %11.2f %11.2f", name.c_str(), ratio, 1 / ratio);
            if (const auto r = results.find(name); r != results.end()) {
                std::printf(" %13.2f", interleaved_ratio(e.f, in, copy, r->second));
            }
            std::printf("\n");
        }
    }
}

#if !defined(ESCAPE_SPECIAL_BENCH_PUBLIC)
// The median over alternating rounds of each pass on its own over the long
// inputs, in ns per call: strlen, a memcpy into memory allocated beforehand,
// the copy that the ratios compare against, a memset of twice the input,
// which is what writing the longest output costs, and for each kernel its
// count, its escape into output allocated beforehand, and the whole call.
// The floor that the escaper works above.
void print_passes()
{
    const auto kernels = escape_special_detail::supported_kernels();
    std::printf("\n%-16s %8s %8s %8s %8s", "ns per call", "strlen", "memcpy", "copy", "write2n");
    for (std::size_t k = kernels.size(); k-- > 0;) {
        std::printf("  %s: %8s %8s %8s", kernels[k]->name, "count", "escape", "whole");
    }
    std::printf("\n");
    for (const auto& [name, in] : inputs()) {
        if (in.groups.size() != 16) {
            continue;
        }
        const std::size_t n = std::strlen(in.groups[0][0]);
        std::vector<char> out(2 * n);
        // Each round times every pass once on the round's placement.
        std::vector<std::vector<double>> times;
        for (int r = 0; r < 48; ++r) {
            const char* s = in.groups[static_cast<std::size_t>(r) % 16][0];
            const auto* u = reinterpret_cast<const unsigned char*>(s);
            std::vector<double> round;
            const auto time = [&](auto f) {
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < 8; ++i) {
                    f();
                }
                round.push_back(std::chrono::duration<double, std::nano>(
                                    std::chrono::steady_clock::now() - t0)
                                    .count() /
                                8);
            };
            time([&] { benchmark::DoNotOptimize(std::strlen(s)); });
            time([&] {
                std::memcpy(out.data(), s, n);
                benchmark::ClobberMemory();
            });
            time([&] {
                std::string c = copy(s);
                benchmark::DoNotOptimize(c.data());
            });
            time([&] {
                std::memset(out.data(), 'x', 2 * n);
                benchmark::ClobberMemory();
            });
            for (std::size_t k = kernels.size(); k-- > 0;) {
                const auto& kernel = *kernels[k];
                time([&] { benchmark::DoNotOptimize(kernel.count(u, n)); });
                time([&] {
                    benchmark::DoNotOptimize(kernel.escape(u, n, out.data(), 2 * n));
                    benchmark::ClobberMemory();
                });
                time([&] {
                    std::string e = escape_special_detail::escape_with(kernel, s);
                    benchmark::DoNotOptimize(e.data());
                });
            }
            times.push_back(round);
        }
        const auto column = [&](std::size_t p) {
            std::vector<double> values;
            for (const auto& round : times) {
                values.push_back(round[p]);
            }
            return median(values);
        };
        std::printf("%-16s %8.0f %8.0f %8.0f %8.0f", name.c_str(), column(0), column(1),
                    column(2), column(3));
        for (std::size_t k = kernels.size(), p = 4; k-- > 0; p += 3) {
            std::printf("  %*s  %8.0f %8.0f %8.0f", static_cast<int>(std::strlen(kernels[k]->name)),
                        "", column(p), column(p + 1), column(p + 2));
        }
        std::printf("\n");
    }
}
#endif

void run(benchmark::State& state, escaper f, const std::vector<const char*>* strings)
{
    std::size_t i = 0;
    for (auto _ : state) {
        std::string out = f((*strings)[i]);
        benchmark::DoNotOptimize(out.data());
        i = i + 1 == strings->size() ? 0 : i + 1;
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * bytes(*strings) / strings->size()));
}

// Prose with one special byte in a hundred, cut into pieces of each length
// from 1 byte to 128 KiB, for the cost of a call by length.
const std::map<std::size_t, input>& by_length()
{
    static const std::map<std::size_t, input> all = [] {
        const std::string text = prose(4 * large, 100);
        std::map<std::size_t, input> out;
        for (std::size_t n = 1; n <= large; n *= 2) {
            auto cut = pieces(text, n);
            cut.resize(std::min<std::size_t>(cut.size(), 256));
            out[n] = one_group(std::move(cut));
        }
        return out;
    }();
    return all;
}

// The CPU's name and family as Linux gives them, for the chart.
std::string cpu_name()
{
    std::ifstream info("/proc/cpuinfo");
    std::string name;
    std::string family;
    for (std::string line; std::getline(info, line) && (name.empty() || family.empty());) {
        const std::string value = line.substr(line.find(':') + 2);
        if (line.rfind("model name", 0) == 0) {
            name = value;
        } else if (line.rfind("cpu family", 0) == 0) {
            family = ", family " + value;
        }
    }
    return name.empty() ? "unknown CPU" : name + family;
}

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
        const bool benchmark_flags = argc > 1;
        for (const auto& [n, in] : by_length()) {
            const std::string length = "/length:" + std::to_string(n);
            benchmark::RegisterBenchmark(("copy" + length).c_str(), run, copy, &in.groups[0]);
            for (const auto& e : all) {
                benchmark::RegisterBenchmark((e.name + length).c_str(), run, e.f, &in.groups[0]);
            }
        }
        for (const auto& [name, in] : inputs()) {
            benchmark::RegisterBenchmark(("copy/" + name).c_str(), run, copy, &in.groups[0]);
            for (const auto& e : all) {
                benchmark::RegisterBenchmark(("escape/" + e.name + "/" + name).c_str(), run,
                                             e.f, &in.groups[0]);
            }
        }
        benchmark::AddCustomContext("cpu", cpu_name());
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        if (benchmark_flags) {
            return 0;
        }
    }
    print_ratios(all);
}
