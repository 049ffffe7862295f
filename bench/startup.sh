#!/bin/bash
# Times whole runs of the tool against /bin/true, an empty statically linked
# C program, a C program that does the tool's work with a plain copy, and the
# printf | sed pipeline, each given the same argument, on a short argument
# and on the longest one Linux passes.  Prints median wall times, their
# ratios, and peak RSS.  Given a second build of the tool, such as one
# configured with -DESCAPE_SPECIAL_HARDEN=OFF, it runs that too, in the same
# rounds, and prints the first's time over the second's.  PAIRS_ONLY=1
# skips all but those alternating rounds.
#
# usage: bench/startup.sh path/to/escape-special [path/to/other/escape-special]
set -euo pipefail

tool=$(realpath "${1:?usage: bench/startup.sh path/to/escape-special [other]}")
other=$(if [ -n "${2:-}" ]; then realpath "$2"; fi)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'int main(void){return 0;}\n' > "$work/empty.c"
gcc -O2 -static -o "$work/empty.c.out" "$work/empty.c"

# The least C program that does the same work, linked as the tool is.
gcc -O2 -static-pie -o "$work/copy.c.out" "$(dirname "$0")/copy.c"

# On the virtual machine this was measured on, two copies of one binary
# could differ by 8% in start-up time, depending on where the page cache
# put their pages.  Each program therefore runs from several copies, a
# different one in each round.
copies=${COPIES:-4}
for i in $(seq "$copies"); do
    cp /bin/true "$work/true-$i"
    cp "$work/empty.c.out" "$work/empty-$i"
    cp "$work/copy.c.out" "$work/copy-$i"
    cp "$tool" "$work/tool-$i"
    if [ -n "$other" ]; then
        cp "$other" "$work/other-$i"
    fi
done

# 131071 bytes of lower-case words with about 1% special bytes, no quotes.
python3 - "$work/long" <<'PY'
import random, sys
r = random.Random(1)
out = []
while len(out) < 131071:
    v = r.random()
    out.append(r.choice("[](){}$+?|.*@&") if v < 0.01 else " " if v < 0.17 else chr(97 + r.randrange(26)))
open(sys.argv[1], "w").write("".join(out[:131071]))
PY

sed_line='printf "%s" "$1" | LC_ALL=C sed -z "s/[][(){}\$+?|.*@&]/\\\\&/g"'

# Machine noise drifts over seconds, so each command runs in many short
# hyperfine batches, alternating with the others, and the medians are taken
# over all batches together.
run() {
    local name=$1 arg=$2 round
    for round in $(seq "${ROUNDS:-20}"); do
        local copy=$((round % copies + 1))
        hyperfine -N --warmup 5 --runs "${RUNS:-50}" --style none \
            --export-json "$work/$name-$round.json" -L arg "$arg" \
            "$work/true-$copy '{arg}'" \
            "$work/empty-$copy '{arg}'" \
            "$work/tool-$copy '{arg}'" >/dev/null 2>&1
        hyperfine -N --warmup 2 --runs "${SED_RUNS:-10}" --style none \
            --export-json "$work/$name-sed-$round.json" -L arg "$arg" \
            "sh -c '$sed_line' sh '{arg}'" >/dev/null 2>&1
    done
    python3 - "$work" "$name" <<'PY'
import glob, json, statistics, sys
work, name = sys.argv[1], sys.argv[2]
times = [[], [], [], []]
for path in glob.glob(f"{work}/{name}-*.json"):
    results = json.load(open(path))["results"]
    slots = [3] if "-sed-" in path else [0, 1, 2]
    for slot, result in zip(slots, results):
        times[slot] += result["times"]
true, empty, tool, sed = (statistics.median(t) for t in times)
print(f"{name} argument, median wall time over {len(times[2])} runs each:")
print(f"  /bin/true {true*1e6:6.0f} us   empty static {empty*1e6:6.0f} us   "
      f"escape-special {tool*1e6:6.0f} us   printf|sed {sed*1e6:6.0f} us")
print(f"  escape-special / true          {tool/true:.2f}")
print(f"  escape-special / empty static  {tool/empty:.2f}")
print(f"  printf|sed / escape-special    {sed/tool:.1f}")
PY
}

# hyperfine runs each command many times in a row, and the machine drifts
# even between batches of a few runs, by about 5% here.  This helper spawns
# every copy of the four programs in turn, one run each, so that every
# round puts them under the same conditions.
cat > "$work/alternate.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
extern char **environ;
static int compare(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}
int main(int argc, char **argv)
{
    static char arg[1 << 18];
    int rounds = argc > 3 ? atoi(argv[1]) : 0, programs = argc - 3;
    FILE *f = argc > 3 ? fopen(argv[2], "r") : NULL;
    double *t = rounds > 0 ? malloc(sizeof *t * rounds * programs) : NULL;
    posix_spawn_file_actions_t fa;
    if (f == NULL || t == NULL)
        return 1;
    arg[fread(arg, 1, sizeof arg - 1, f)] = 0;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    for (int r = -10; r < rounds; r++) {
        for (int q = 0; q < programs; q++) {
            /* Each round starts one program further on, so that each runs
               after every other as often: in a fixed order, one binary read
               1.019 times as slow as a copy of itself that ran after it. */
            int p = (q + (r + 10)) % programs;
            char *av[] = {argv[3 + p], arg, NULL};
            struct timespec a, b;
            pid_t pid;
            int status;
            clock_gettime(CLOCK_MONOTONIC, &a);
            if (posix_spawn(&pid, av[0], &fa, NULL, av, environ) != 0)
                return 1;
            waitpid(pid, &status, 0);
            clock_gettime(CLOCK_MONOTONIC, &b);
            if (r >= 0)
                t[p * rounds + r] = (b.tv_sec - a.tv_sec) * 1e6 + (b.tv_nsec - a.tv_nsec) / 1e3;
        }
    }
    for (int p = 0; p < programs; p++) {
        qsort(t + p * rounds, rounds, sizeof *t, compare);
        printf("%.1f ", t[p * rounds + rounds / 2]);
    }
    printf("\n");
    return 0;
}
C
gcc -O2 -o "$work/alternate" "$work/alternate.c"

alternate() {
    local name=$1 argfile=$2 programs=() i
    for i in $(seq "$copies"); do
        programs+=("$work/true-$i" "$work/empty-$i" "$work/copy-$i" "$work/tool-$i")
        if [ -n "$other" ]; then
            programs+=("$work/other-$i")
        fi
    done
    "$work/alternate" "${ALTERNATE_ROUNDS:-1000}" "$argfile" "${programs[@]}" |
        python3 -c '
import statistics, sys
name, each = sys.argv[1], 5 if sys.argv[2] else 4
medians = list(map(float, sys.stdin.read().split()))
true, empty, copy, tool = (statistics.mean(medians[k::each]) for k in range(4))
print(f"{name} argument, one run of each in turn, mean over copies of median wall time:")
print(f"  /bin/true {true:6.0f} us   empty static {empty:6.0f} us   C copy {copy:6.0f} us   "
      f"escape-special {tool:6.0f} us")
print(f"  escape-special / true          {tool/true:.2f}")
print(f"  escape-special / empty static  {tool/empty:.2f}")
print(f"  escape-special / C copy        {tool/copy:.3f}")
if each == 5:
    other = statistics.mean(medians[4::each])
    print(f"  escape-special / other build   {tool/other:.3f}")
' "$name" "$other"
}

printf 'a.b(c)' > "$work/short"
if [ -n "${PAIRS_ONLY:-}" ]; then
    alternate short "$work/short"
    alternate long "$work/long"
    exit 0
fi
run short 'a.b(c)'
run long "$(cat "$work/long")"
alternate short "$work/short"
alternate long "$work/long"

# Peak RSS from a small spawner: a child's maximum RSS includes what its
# parent had mapped before exec, so the parent must be smaller than both.
cat > "$work/peak.c" <<'C'
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
extern char **environ;
int main(int argc, char **argv)
{
    pid_t pid;
    int status;
    struct rusage ru;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 1, 0);
    if (argc < 2 || posix_spawn(&pid, argv[1], &fa, 0, argv + 1, environ) != 0)
        return 1;
    wait4(pid, &status, 0, &ru);
    printf("%ld\n", ru.ru_maxrss);
    return 0;
}
C
gcc -O2 -static -o "$work/peak" "$work/peak.c"
long=$(cat "$work/long")
true_rss=$("$work/peak" /bin/true "$long")
tool_rss=$("$work/peak" "$tool" "$long")
echo "peak RSS, long argument: /bin/true $true_rss KiB, escape-special $tool_rss KiB," \
    "difference $((tool_rss - true_rss)) KiB"
