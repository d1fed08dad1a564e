#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times lumvane against fio, cat and foremost reading an input from the
disk, each run starting with the system's caches dropped.

Usage: bench/cold.py --build DIR [--data DIR] [--out DIR] [--sizes 4G,28G]
                     [--runs N] [--markdown FILE]

Needs root (it writes /proc/sys/vm/drop_caches) and room in --data for the
inputs and in --out for the images (about 3% of an input). Each input is the
`few` mix scaled up (20 images per GiB, 32 MiB of images per GiB), generated
once by lumvane-benchgen into --data and reused while its manifest header
matches; the first of --sizes is meant to be smaller than the machine's
memory, the second larger. Before every single run the script syncs and
drops the caches (echo 3 > /proc/sys/vm/drop_caches), so each program reads
the whole input from the disk. The programs run in rounds, each round in
another order; the medians are shown. fio reads as the target for lumvane:
around the cache (direct), 512 KiB a read, 8 reads in flight, as lumvane's
direct reads do. Prints wall, user and system times, the bytes each program
had fetched from the disk (read_bytes, from /proc/PID/io), peak memory, how
much of the input the cache held after lumvane's run (fincore), the ratios to
fio and the targets, and checks that lumvane wrote every image byte for
byte.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the shared helpers of make bench)

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30
PROGRAMS = ("fio", "cat", "lumvane", "foremost")
LIMIT_LUMVANE_FIO = 1.10
# Bytes lumvane fetches from the disk, at most this many times the input and
# the image bytes (read again by the writer).
LIMIT_DISK_READ = 1.02
# Peak memory: 16 MiB, and the direct reads' nine slots of 520 KiB (8 in flight,
# 1 looked at; each a block and an alignment unit at either end).
LIMIT_PEAK_KIB = 16 * 1024 + 9 * 520


def size_arg(text):
    units = {"": 1, "K": KiB, "M": MiB, "G": GiB}
    text = text.strip().upper().rstrip("B").rstrip("I")
    unit = text[-1] if text and text[-1] in units else ""
    value = float(text[:-1] if unit else text)
    return int(value * units[unit])


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def cached_bytes(path):
    """Bytes of path in the page cache (util-linux fincore), -1 unknown."""
    try:
        out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                             capture_output=True, text=True, check=True).stdout
        return int(out.split()[0])
    except (OSError, subprocess.CalledProcessError, ValueError, IndexError):
        return -1


def find_programs(build):
    lumvane = next((os.path.join(d, "lumvane") for d, _, files in os.walk(build)
                    if "lumvane" in files and os.access(os.path.join(d, "lumvane"), os.X_OK)), None)
    found = {"lumvane": lumvane, "generator": os.path.join(build, "bench", "lumvane-benchgen"),
             "foremost": shutil.which("foremost"), "fio": shutil.which("fio")}
    for what, path in found.items():
        if not path or not os.access(path, os.X_OK):
            sys.exit(f"bench-cold: {what} not found ({path})")
    return found


def make_input(gen, data, size):
    images = max(1, round(20 * size / GiB))
    image_bytes = max(images * 4096, 32 * size // 1024)   # 32 MiB per GiB
    name = f"cold-{size}"
    run.WORKLOADS[name] = (8005, size, images, image_bytes, 100, "mixed")
    inp = os.path.join(data, name + ".bin")
    have = os.path.getsize(inp) if os.path.exists(inp) else 0
    if shutil.disk_usage(data).free + have < size + GiB:
        sys.exit(f"bench-cold: {data} has too little room for an input of {size} bytes")
    return run.ensure_workload(gen, data, name)


def command(prog, tools, inp, link, outdir):
    """The command line and where its standard output goes (None: nowhere)."""
    if prog == "fio":
        return [tools["fio"], "--name=cold", f"--filename={inp}", "--readonly", "--rw=read",
                "--bs=512k", "--iodepth=8", "--ioengine=libaio", "--direct=1",
                "--output=/dev/null"]
    if prog == "cat":
        return ["cat", inp]
    if prog == "lumvane":
        return [tools["lumvane"], link]
    return [tools["foremost"], "-Q", "-t", "png", "-i", inp, "-o", outdir]


def measure(tools, inp, ranges, scratch, runs, faults):
    """Per program, the list of (wall, user, sys, peak, read_bytes, cached
    after) of its runs."""
    name = os.path.splitext(os.path.basename(inp))[0]
    link = os.path.join(scratch, name + ".bin")
    os.symlink(os.path.abspath(inp), link)
    results = {p: [] for p in PROGRAMS}
    with open(os.devnull, "wb") as devnull:
        for r in range(runs):
            k = r % len(PROGRAMS)
            for prog in PROGRAMS[k:] + PROGRAMS[:k]:
                outdir = os.path.join(scratch, name if prog == "lumvane" else "foremost-out")
                shutil.rmtree(outdir, ignore_errors=True)
                drop_caches()
                wall, cpu, peak, status, err, _, disk, system = run.timed(
                    command(prog, tools, inp, link, outdir), scratch, devnull, system_time=True)
                cached = cached_bytes(inp)
                if status != 0:
                    faults.append(f"{prog} exited with {status}: {err.strip()[:200]}")
                results[prog].append((wall, cpu - system, system, peak, disk, cached))
                if prog == "lumvane" and r == 0:
                    faults += [f"lumvane: {x}" for x in run.check_images(outdir, inp, ranges)]
                shutil.rmtree(outdir, ignore_errors=True)
                print(f"{name} round {r + 1}/{runs}: {prog} {wall:.2f}s, load "
                      f"{os.getloadavg()[0]:.2f}", flush=True)
    os.unlink(link)
    return results


def report(inp, ranges, results, runs, out, load):
    insize = os.path.getsize(inp)
    image_total = sum(e - s for s, e in ranges)
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    med = {p: [statistics.median(x[i] for x in results[p]) for i in range(6)] for p in PROGRAMS}
    lines = [f"Input {insize} bytes ({insize / mem:.2f} x memory), {len(ranges)} images, "
             f"{image_total} image bytes; caches dropped before each run; {runs} round(s), "
             f"medians; output in {out}; load average before/after {load[0]:.2f} / "
             f"{os.getloadavg()[0]:.2f}", "",
             "| program | wall s | user s | sys s | wall / fio | read_bytes | "
             "/ (input + images) | peak RSS KiB | input cached after |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for p in PROGRAMS:
        wall, user, system, peak, disk, cached = med[p]
        lines.append(f"| {p} | {wall:.2f} | {user:.2f} | {system:.2f} | {wall / med['fio'][0]:.2f}"
                     f" | {int(disk)} | {disk / (insize + image_total):.3f} | {int(peak)} | "
                     f"{int(cached)} |")
    ratio = med["lumvane"][0] / med["fio"][0]
    disk_ratio = med["lumvane"][4] / (insize + image_total)
    peak = med["lumvane"][3]
    lines += ["",
              f"- lumvane/fio = {ratio:.2f} (target <= {LIMIT_LUMVANE_FIO}): "
              f"{'holds' if ratio <= LIMIT_LUMVANE_FIO else 'MISSED'}",
              f"- lumvane fetched {disk_ratio:.3f} x (input + images) from the disk (target <= "
              f"{LIMIT_DISK_READ}): {'holds' if 0 <= disk_ratio <= LIMIT_DISK_READ else 'MISSED'}",
              f"- lumvane's peak memory {int(peak)} KiB (target <= {LIMIT_PEAK_KIB}): "
              f"{'holds' if peak <= LIMIT_PEAK_KIB else 'MISSED'}",
              f"- foremost/lumvane = {med['foremost'][0] / med['lumvane'][0]:.2f}",
              f"- input larger than memory: {'yes' if insize > mem else 'no'}", ""]
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="Release build folder")
    ap.add_argument("--data", default="/var/tmp/lumvane-bench-cold")
    ap.add_argument("--out", default="/dev/shm")
    ap.add_argument("--sizes", default="4G,28G",
                    help="input sizes, comma-separated: one below memory, one above")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--markdown")
    args = ap.parse_args()

    if os.geteuid() != 0:
        sys.exit("bench-cold: needs root, to drop the caches")
    tools = find_programs(os.path.abspath(args.build))
    os.makedirs(args.data, exist_ok=True)
    lines = [f"Machine: {run.machine()}", ""]
    faults = []
    for size in (size_arg(s) for s in args.sizes.split(",") if s.strip()):
        inp, man = make_input(tools["generator"], args.data, size)
        ranges = run.read_manifest(man)
        scratch = tempfile.mkdtemp(prefix="lumvane-bench-cold.", dir=args.out)
        load = os.getloadavg()
        try:
            results = measure(tools, inp, ranges, scratch, args.runs, faults)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        lines += report(inp, ranges, results, args.runs, args.out, load)
    lines += ["read_bytes: the bytes fetched from the storage for the program (its read-ahead "
              "included); lumvane reads the input once and the images again. Input cached "
              "after: bytes of the input in the page cache after the run (fincore), which "
              "started with none.", "",
              "lumvane's images: " + ("all equal their manifest ranges" if not faults
                                      else f"{len(faults)} FAULTS")]
    return run.finish(lines, faults, args.markdown)


if __name__ == "__main__":
    sys.exit(main())
