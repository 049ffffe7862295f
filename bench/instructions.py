#!/usr/bin/env python3
"""Counts the instructions the tool executes per input byte on each Debian
architecture, under qemu-user, beside the least C program that does the same
work (bench/copy.c).

usage: bench/instructions.py [--cpu ARCH=MODEL]... [ARCH...]

Each architecture's tool is cross-built (Release) with the project's own
toolchain file into build/instructions/ARCH.  The figure is the count for a
131071-byte argument less the count for a 1-byte argument, divided by
131070: the cost of each further byte, without the start-up.  qemu logs
every block it translates and every block it runs (-d in_asm,exec,nochain);
the count is the sum over runs of the instructions in the block, the same on
every run.  Each program runs with an empty environment, since the
environment's size moves the argument, and so the alignment that strlen and
memcpy see.  Every architecture is counted on qemu's default CPU, and again
on each CPU model named with --cpu, such as i686=pentium3,
armhf=cortex-r5f or s390x=max,vx=off.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
source = os.path.dirname(here)

# Debian architecture: GNU triplet (the toolchain file's name), qemu-user.
architectures = {
    "arm64": ("aarch64-linux-gnu", "qemu-aarch64"),
    "armhf": ("arm-linux-gnueabihf", "qemu-arm"),
    "armel": ("arm-linux-gnueabi", "qemu-arm"),
    "i686": ("i686-linux-gnu", "qemu-i386"),
    "ppc64el": ("powerpc64le-linux-gnu", "qemu-ppc64le"),
    "s390x": ("s390x-linux-gnu", "qemu-s390x"),
    "riscv64": ("riscv64-linux-gnu", "qemu-riscv64"),
    "mips64el": ("mips64el-linux-gnuabi64", "qemu-mips64el"),
    "mipsel": ("mipsel-linux-gnu", "qemu-mipsel"),
}

length = 131071


def prose():
    """Lower-case words and spaces, about 1% special bytes, no quotes."""
    r = random.Random(1)
    out = []
    while len(out) < length:
        v = r.random()
        out.append(r.choice("[](){}$+?|.*@&") if v < 0.01
                   else " " if v < 0.17 else chr(97 + r.randrange(26)))
    return "".join(out)


def all_special():
    return ("[](){}$+?|.*@&" * (length // 14 + 1))[:length]


insn = re.compile(r"^0x([0-9a-f]+):\s")
trace = re.compile(r"^Trace \d+: 0x[0-9a-f]+ \[[0-9a-f]+/([0-9a-f]+)/")


def count(qemu, sysroot, cpu, program, argument, work):
    """The instructions qemu runs for `program argument`."""
    log = os.path.join(work, "qemu.log")
    environment = {"QEMU_CPU": cpu} if cpu else {}
    subprocess.run(["env", "-i"] + [f"{k}={v}" for k, v in environment.items()] +
                   [qemu, "-L", sysroot, "-d", "in_asm,exec,nochain", "-D", log, program, argument],
                   stdout=subprocess.DEVNULL, check=True)
    size = {}
    runs = {}
    block = None
    with open(log, errors="replace") as f:
        for line in f:
            if line.startswith("IN:"):
                block = None
                continue
            m = insn.match(line)
            if m:
                if block is None:
                    block = int(m.group(1), 16)
                    size[block] = 0
                size[block] += 1
                continue
            m = trace.match(line)
            if m:
                address = int(m.group(1), 16)
                runs[address] = runs.get(address, 0) + 1
                block = None
    os.remove(log)
    return sum(size.get(a, 0) * n for a, n in runs.items())


def per_byte(qemu, sysroot, cpu, program, argument, work):
    short = count(qemu, sysroot, cpu, program, "a", work)
    return (count(qemu, sysroot, cpu, program, argument, work) - short) / (length - 1)


def build(arch, triplet):
    """The tool and the C copier for `arch`, built if need be."""
    tree = os.path.join(source, "build", "instructions", arch)
    subprocess.run(["cmake", "-S", source, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/{triplet}.cmake",
                    "-DBUILD_TESTING=OFF", "-DESCAPE_SPECIAL_DOCS=OFF"],
                   stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "--build", tree, "--target", "escape-special"],
                   stdout=subprocess.DEVNULL, check=True)
    copy = os.path.join(tree, "copy")
    subprocess.run([f"{triplet}-gcc", "-O2", "-static", "-o", copy, os.path.join(here, "copy.c")],
                   check=True)
    return os.path.join(tree, "escape-special"), copy


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cpu", action="append", default=[], metavar="ARCH=MODEL")
    parser.add_argument("arch", nargs="*", default=list(architectures))
    args = parser.parse_args()
    models = {}
    for named in args.cpu:
        arch, _, model = named.partition("=")
        models.setdefault(arch, []).append(model)
    inputs = {"prose": prose(), "special": all_special()}
    print("instructions per input byte, under qemu-user")
    print(f"{'architecture':<12} {'CPU':<20} {'prose 1%':>9} {'all special':>12} {'C copier':>9}")
    with tempfile.TemporaryDirectory() as work:
        for arch in args.arch:
            triplet, qemu = architectures[arch]
            tool, copy = build(arch, triplet)
            for cpu in [""] + models.get(arch, []):
                sysroot = f"/usr/{triplet}"
                figures = [per_byte(qemu, sysroot, cpu, tool, inputs["prose"], work),
                           per_byte(qemu, sysroot, cpu, tool, inputs["special"], work),
                           per_byte(qemu, sysroot, cpu, copy, inputs["prose"], work)]
                print(f"{arch:<12} {cpu or 'default':<20} {figures[0]:>9.2f} {figures[1]:>12.2f} "
                      f"{figures[2]:>9.2f}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
