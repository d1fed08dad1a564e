#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times cat, lumvane and foremost on an input larger than memory, each run
starting with the page cache dropped.

Usage: bench/cold.py --build DIR [--data DIR] [--out DIR] [--size 28G]
                     [--runs N] [--markdown FILE]

Needs root (it writes /proc/sys/vm/drop_caches) and room in --data for the
input (--size bytes) and in --out for the images (about 3% of it). The input
is the `few` mix scaled up (20 images per GiB, 32 MiB of images per GiB),
generated once by lumvane-benchgen into --data and reused while its manifest
header matches. Before every single run the script syncs and drops the page
cache (echo 1 > /proc/sys/vm/drop_caches), so each program reads the whole
input from the disk. Programs run in a rotating order; with --runs above 1
the medians are shown. Prints wall and CPU times, bytes read (rchar), peak
memory, the bytes each read from the disk (read_bytes) against the input,
the ratios to cat and the targets, and checks that lumvane wrote every image
byte for byte.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the shared helpers of make bench)

GiB = 1 << 30
PROGRAMS = ("cat", "lumvane", "foremost")
LIMIT_LUMVANE_CAT = 1.10
# Bytes lumvane fetches from the disk, at most this many times the input.
LIMIT_DISK_READ = 1.02


def size_arg(text):
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().rstrip("B").rstrip("I")
    unit = text[-1] if text and text[-1] in units else ""
    value = float(text[:-1] if unit else text)
    return int(value * units[unit])


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("1\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="Release build folder")
    ap.add_argument("--data", default="/var/tmp/lumvane-bench-cold")
    ap.add_argument("--out", default="/dev/shm")
    ap.add_argument("--size", type=size_arg, default=28 * GiB)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--markdown")
    args = ap.parse_args()

    if os.geteuid() != 0:
        sys.exit("bench-cold: needs root, to drop the page cache")
    build = os.path.abspath(args.build)
    lumvane = next((os.path.join(d, "lumvane") for d, _, files in os.walk(build)
                    if "lumvane" in files and os.access(os.path.join(d, "lumvane"), os.X_OK)), None)
    gen = os.path.join(build, "bench", "lumvane-benchgen")
    foremost = shutil.which("foremost")
    for what, path in (("lumvane", lumvane), ("generator", gen), ("foremost", foremost)):
        if not path or not os.access(path, os.X_OK):
            sys.exit(f"bench-cold: {what} not found ({path})")

    size = args.size
    images = max(1, round(20 * size / GiB))
    image_bytes = max(images * 4096, 32 * size // 1024)   # 32 MiB per GiB
    name = f"cold-{size}"
    run.WORKLOADS[name] = (8005, size, images, image_bytes, 100, "mixed")
    os.makedirs(args.data, exist_ok=True)
    inp, man = os.path.join(args.data, name + ".bin"), os.path.join(args.data, name + ".txt")
    have = os.path.getsize(inp) if os.path.exists(inp) else 0
    free = shutil.disk_usage(args.data).free
    if free + have < size + (1 << 30):
        sys.exit(f"bench-cold: {args.data} has {free} bytes free; the input needs {size}")
    inp, man = run.ensure_workload(gen, args.data, name)
    ranges = run.read_manifest(man)
    image_total = sum(e - s for s, e in ranges)
    needed = os.path.getsize(inp) + image_total
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")

    scratch = tempfile.mkdtemp(prefix="lumvane-bench-cold.", dir=args.out)
    link = os.path.join(scratch, name + ".bin")
    os.symlink(os.path.abspath(inp), link)
    results = {p: [] for p in PROGRAMS}
    faults = []
    load_before = os.getloadavg()
    devnull = open(os.devnull, "wb")
    try:
        for r in range(args.runs):
            for prog in PROGRAMS[r % 3:] + PROGRAMS[:r % 3]:
                outdir = os.path.join(scratch, name if prog == "lumvane" else "foremost-out")
                shutil.rmtree(outdir, ignore_errors=True)
                stdout = subprocess.DEVNULL
                if prog == "cat":
                    cmd, stdout = ["cat", inp], devnull
                elif prog == "lumvane":
                    cmd = [lumvane, link]
                else:
                    cmd = [foremost, "-Q", "-t", "png", "-i", inp, "-o", outdir]
                drop_caches()
                wall, cpu, peak, status, err, chars, disk = run.timed(cmd, scratch, stdout)
                if status != 0:
                    faults.append(f"{prog} exited with {status}: {err.strip()[:200]}")
                results[prog].append((wall, cpu, peak, chars, disk))
                if prog == "lumvane" and r == 0:
                    faults += [f"lumvane: {x}" for x in run.check_images(outdir, inp, ranges)]
                shutil.rmtree(outdir, ignore_errors=True)
                print(f"round {r + 1}/{args.runs}: {prog} {wall:.2f}s", flush=True)
    finally:
        devnull.close()
        shutil.rmtree(scratch, ignore_errors=True)
    load_after = os.getloadavg()

    med = {p: [statistics.median(x[i] for x in results[p]) for i in range(5)] for p in PROGRAMS}
    insize = os.path.getsize(inp)
    lines = [f"Machine: {run.machine()}", "",
             f"Input {insize} bytes ({insize / mem:.2f} x memory), "
             f"{len(ranges)} images, {image_total} image bytes; page cache dropped before each "
             f"run; {args.runs} run(s), medians; output in {args.out}; load average "
             f"before/after {load_before[0]:.2f} / {load_after[0]:.2f}", "",
             "| program | wall s | cpu s | wall / cat | read from disk (read_bytes) | / input "
             "| rchar | rchar / (input + images) | peak RSS KiB |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for p in PROGRAMS:
        wall, cpu, peak, chars, disk = med[p]
        lines.append(f"| {p} | {wall:.2f} | {cpu:.2f} | {wall / med['cat'][0]:.2f} | {int(disk)} | "
                     f"{disk / insize:.3f} | {int(chars)} | {chars / needed:.3f} | {int(peak)} |")
    ratio = med["lumvane"][0] / med["cat"][0]
    disk_ratio = med["lumvane"][4] / insize
    lines += ["",
              f"- lumvane/cat = {ratio:.2f} (target <= {LIMIT_LUMVANE_CAT}): "
              f"{'holds' if ratio <= LIMIT_LUMVANE_CAT else 'MISSED'}",
              f"- lumvane read {disk_ratio:.3f} x the input from the disk (read_bytes; target <= "
              f"{LIMIT_DISK_READ}): {'holds' if 0 <= disk_ratio <= LIMIT_DISK_READ else 'MISSED'}",
              f"- foremost/lumvane = {med['foremost'][0] / med['lumvane'][0]:.2f} (target > 1): "
              f"{'holds' if med['foremost'][0] > med['lumvane'][0] else 'MISSED'}",
              f"- input larger than memory: {'yes' if insize > mem else 'NO'}",
              "- read_bytes are the bytes fetched from the storage for the program (its "
              "read-ahead included); rchar the bytes of its read-like calls, for lumvane the "
              "input once and the images again",
              "", "lumvane's images: " + ("all equal their manifest ranges" if not faults
                                         else f"{len(faults)} FAULTS")]
    return run.finish(lines, faults, args.markdown)


if __name__ == "__main__":
    sys.exit(main())
