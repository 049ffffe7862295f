#!/bin/bash
# Times whole runs of the tool against /bin/true, an empty statically linked
# C program and the printf | sed pipeline, each given the same argument, on a
# short argument and on the longest one Linux passes.  Prints median wall
# times, their ratios, and peak RSS.
#
# usage: bench/startup.sh path/to/escape-special
set -euo pipefail

tool=$(realpath "${1:?usage: bench/startup.sh path/to/escape-special}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf 'int main(void){return 0;}\n' > "$work/empty.c"
gcc -O2 -static -o "$work/empty.c.out" "$work/empty.c"

# On the virtual machine this was measured on, two copies of one binary
# could differ by 8% in start-up time, depending on where the page cache
# put their pages.  Each program therefore runs from several copies, a
# different one in each round.
copies=${COPIES:-4}
for i in $(seq "$copies"); do
    cp /bin/true "$work/true-$i"
    cp "$work/empty.c.out" "$work/empty-$i"
    cp "$tool" "$work/tool-$i"
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

sed_line='printf "%s" "$1" | sed "s/[][(){}\$+?|.*@&]/\\\\&/g"'

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

run short 'a.b(c)'
run long "$(cat "$work/long")"

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
