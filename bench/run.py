#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times lumvane against the floor, cat and foremost on the bench workloads.

Usage: bench/run.py --build DIR [--data DIR] [--out DIR] [--runs N]
                    [--workloads many-1g,few-1g-random,...] [--markdown FILE]

Generates each workload once into --data (reused while its manifest header
matches), reads the inputs into the page cache, and then, for each of --runs
rounds, runs every program on every workload in a rotating order, each
output going to a fresh folder under --out (RAM-backed: /dev/shm). Every run
goes through /usr/bin/time -v for its peak memory; wall time is taken around
it, and the bytes it read (rchar) from /proc/PID/io of the finished process,
read before it is reaped. Prints the medians, the ratios and the targets, and
checks that every image lumvane wrote is byte for byte its manifest range.
"""
import argparse
import mmap
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
GiB = 1 << 30

# name: (seed, size, images, image bytes, size spread, junk). The mixed junk
# holds runs of random data, zeros, text, tables and near misses; the random
# junk is uniformly random bytes, as compressed data looks.
WORKLOADS = {
    "many-64m": (8003, 64 * MiB, 312, 25 * MiB, 1000, "mixed"),
    "few-64m": (8004, 64 * MiB, 20, 2 * MiB, 100, "mixed"),
    "many-1g": (8001, 1 * GiB, 5000, 400 * MiB, 1000, "mixed"),
    "few-1g": (8002, 1 * GiB, 20, 32 * MiB, 100, "mixed"),
    "many-1g-random": (8006, 1 * GiB, 5000, 400 * MiB, 1000, "random"),
    "few-1g-random": (8007, 1 * GiB, 20, 32 * MiB, 100, "random"),
}
DEFAULT_WORKLOADS = "many-64m,few-64m,many-1g,few-1g,many-1g-random,few-1g-random"
PROGRAMS = ("lumvane", "floor", "cat", "foremost")

# Targets by junk: (ratio name, limit, how the ratio must compare)
TARGETS = {
    "mixed": [("lumvane/floor", 1.15, "<="), ("foremost/lumvane", 2.0, ">=")],
    "random": [("lumvane/floor", 1.15, "<="), ("foremost/lumvane", 3.0, ">=")],
}
PEAK_LIMIT_KIB = 16 * 1024
# Bytes lumvane reads, at most this many times (input + image bytes).
READ_LIMIT = 1.05


def manifest_header(workload):
    seed, size, images, image_bytes, spread, junk = workload
    return (f"# lumvane-bench v1 seed={seed} size={size} images={images} "
            f"image-bytes={image_bytes} spread={spread}" +
            (" junk=random" if junk == "random" else ""))


def ensure_workload(gen, data, name):
    workload = WORKLOADS[name]
    inp, man = os.path.join(data, name + ".bin"), os.path.join(data, name + ".txt")
    try:
        with open(man) as f:
            if f.readline().rstrip("\n") == manifest_header(workload) and \
                    os.path.getsize(inp) >= workload[1]:
                return inp, man
    except OSError:
        pass
    seed, size, images, image_bytes, spread, junk = workload
    print(f"generating {name} into {data} ...", flush=True)
    subprocess.run([gen, "--seed", str(seed), "--size", str(size), "--images", str(images),
                    "--image-bytes", str(image_bytes), "--spread", str(spread),
                    "--junk", junk, inp, man],
                   check=True)
    return inp, man


def read_manifest(man):
    with open(man) as f:
        return [tuple(map(int, line.split())) for line in f if not line.startswith("#")]


def warm(path):
    with open(path, "rb") as f:
        while f.read(8 * MiB):
            pass


def read_io(pid):
    """(rchar, read_bytes) of a finished, not yet reaped process, with its
    reaped children's (so the program's, under /usr/bin/time, plus the few
    KiB the loader reads). rchar: the bytes of read-like calls, whether or
    not they came from the page cache; read_bytes: the bytes fetched from
    the storage on its behalf (read-ahead included). -1 where unknown."""
    found = {"rchar": -1, "read_bytes": -1}
    try:
        with open(f"/proc/{pid}/io") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in found:
                    found[key] = int(value)
    except OSError:
        pass
    return found["rchar"], found["read_bytes"]


def timed(cmd, cwd, stdout=subprocess.DEVNULL, system_time=False):
    """Runs cmd under /usr/bin/time -v.

    Returns (wall seconds, CPU seconds, peak KiB, exit status, stderr, bytes
    read (rchar), bytes read from the storage (read_bytes)), and with
    system_time the system part of the CPU seconds after them. The CPU time
    (user + system, from wait4, so to the microsecond) does not grow when
    other jobs share the cores; the wall time does.
    """
    fd, report = tempfile.mkstemp(prefix="lumvane-time-")
    os.close(fd)
    try:
        t0 = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-v", "-o", report] + cmd, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.PIPE)
        err = proc.stderr.read()
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
        wall = time.perf_counter() - t0
        chars, disk = read_io(proc.pid)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stderr.close()
        peak = 0
        with open(report) as f:
            for line in f:
                if "Maximum resident set size" in line:
                    peak = int(line.rsplit(":", 1)[1])
        cpu = usage.ru_utime + usage.ru_stime
        found = (wall, cpu, peak, proc.returncode, err.decode(errors="replace"), chars, disk)
        return found + (usage.ru_stime,) if system_time else found
    finally:
        os.unlink(report)


def check_images(outdir, inp, ranges):
    """Every image file equals its range; no file missing, none extra."""
    want = {f"{i:02d}.png" for i in range(len(ranges))}
    have = set(os.listdir(outdir)) if os.path.isdir(outdir) else set()
    faults = []
    if have != want:
        faults.append(f"{len(want - have)} images missing, {len(have - want)} unexpected files")
    with open(inp, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        for i, (s, e) in enumerate(ranges):
            name = f"{i:02d}.png"
            if name not in have:
                continue
            with open(os.path.join(outdir, name), "rb") as g:
                if g.read() != m[s:e]:
                    faults.append(f"{name} differs from bytes {s}..{e}")
    return faults


def count_pngs(top):
    n = 0
    for _, _, files in os.walk(top):
        n += sum(1 for x in files if x.endswith(".png"))
    return n


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    avx2 = False
    try:
        with open("/proc/cpuinfo") as f:
            avx2 = any(line.startswith("flags") and " avx2" in line for line in f)
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // GiB
    return (f"{cpu}, {os.cpu_count()} cores, {mem} GiB RAM, Linux {platform.release()}; "
            f"lumvane's byte search: {'AVX2' if avx2 else 'SSE2 or portable'}")


def finish(lines, faults, markdown):
    """Prints the report and the faults, writes the report to markdown when
    named, and gives the exit status: 1 when any image was wrong."""
    text = "\n".join(lines)
    print()
    print(text)
    for f in faults:
        print("FAULT: " + f)
    if markdown:
        with open(markdown, "w") as f:
            f.write(text + "\n")
    return 1 if faults else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="Release build folder")
    ap.add_argument("--data", default="/var/tmp/lumvane-bench")
    ap.add_argument("--out", default="/dev/shm")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--workloads", default=DEFAULT_WORKLOADS)
    ap.add_argument("--lumvane", help="the lumvane binary (default: found in --build)")
    ap.add_argument("--markdown", help="also write the result table here")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    lumvane = args.lumvane or next(
        (os.path.join(d, "lumvane") for d, _, files in os.walk(build)
         if "lumvane" in files and os.access(os.path.join(d, "lumvane"), os.X_OK)), None)
    gen = os.path.join(build, "bench", "lumvane-benchgen")
    floor = os.path.join(build, "bench", "lumvane-floor")
    foremost = shutil.which("foremost")
    for what, path in (("lumvane", lumvane), ("generator", gen), ("floor", floor),
                       ("foremost", foremost)):
        if not path or not os.access(path, os.X_OK):
            sys.exit(f"bench: {what} not found ({path})")
    names = [w for w in args.workloads.split(",") if w]
    for w in names:
        if w not in WORKLOADS:
            sys.exit(f"bench: unknown workload {w}")

    os.makedirs(args.data, exist_ok=True)
    inputs = {w: ensure_workload(gen, args.data, w) for w in names}
    ranges = {w: read_manifest(inputs[w][1]) for w in names}
    for w in names:
        warm(inputs[w][0])

    # lumvane writes next to the path it is given: give it a link in RAM.
    scratch = tempfile.mkdtemp(prefix="lumvane-bench.", dir=args.out)
    for w in names:
        os.symlink(os.path.abspath(inputs[w][0]), os.path.join(scratch, w + ".bin"))

    load_before = os.getloadavg()
    times = {(w, p): [] for w in names for p in PROGRAMS}
    cpus = {(w, p): [] for w in names for p in PROGRAMS}
    peaks = {(w, p): 0 for w in names for p in PROGRAMS}
    reads = {(w, p): [] for w in names for p in PROGRAMS}
    foremost_found = {}
    faults = []
    devnull = open(os.devnull, "wb")
    try:
        for r in range(args.runs):
            for w in names:
                inp, man = inputs[w]
                link = os.path.join(scratch, w + ".bin")
                order = PROGRAMS[r % 4:] + PROGRAMS[:r % 4]
                for prog in order:
                    outdir = os.path.join(scratch, w + "-" + prog)
                    shutil.rmtree(outdir, ignore_errors=True)
                    shutil.rmtree(os.path.join(scratch, w), ignore_errors=True)
                    stdout = subprocess.DEVNULL
                    if prog == "lumvane":
                        cmd, outdir = [lumvane, link], os.path.join(scratch, w)
                    elif prog == "floor":
                        cmd = [floor, man, inp, outdir]
                    elif prog == "cat":
                        cmd, stdout = ["cat", inp], devnull
                    else:
                        cmd = [foremost, "-Q", "-t", "png", "-i", inp, "-o", outdir]
                    wall, cpu, peak, status, err, chars, _ = timed(cmd, scratch, stdout)
                    if status != 0:
                        faults.append(f"{prog} on {w} exited with {status}: {err.strip()[:200]}")
                    times[(w, prog)].append(wall)
                    cpus[(w, prog)].append(cpu)
                    peaks[(w, prog)] = max(peaks[(w, prog)], peak)
                    reads[(w, prog)].append(chars)
                    if prog == "lumvane" and r == 0:
                        faults += [f"lumvane on {w}: {x}" for x in check_images(outdir, inp, ranges[w])]
                    if prog == "foremost":
                        foremost_found[w] = count_pngs(outdir)
                    shutil.rmtree(outdir, ignore_errors=True)
                print(f"round {r + 1}/{args.runs} {w}: " + ", ".join(
                    f"{p} {times[(w, p)][-1]:.3f}s" for p in PROGRAMS), flush=True)
    finally:
        devnull.close()
        shutil.rmtree(scratch, ignore_errors=True)
    load_after = os.getloadavg()

    med = {k: statistics.median(v) for k, v in times.items()}
    cmed = {k: statistics.median(v) for k, v in cpus.items()}

    rmed = {k: statistics.median(v) for k, v in reads.items()}
    # What any carver must read: the input once, and each image again to copy it.
    needed = {w: os.path.getsize(inputs[w][0]) + sum(e - s for s, e in ranges[w]) for w in names}

    def ratios(m, w):
        lv, fl, ct, fm = (m[(w, p)] for p in PROGRAMS)
        return {"lumvane/floor": lv / fl, "lumvane/cat": lv / ct, "foremost/lumvane": fm / lv}

    def table(m, unit):
        out = [f"| workload | images | lumvane {unit} | floor {unit} | cat {unit} | foremost {unit} "
               "| lumvane/floor | lumvane/cat | foremost/lumvane |",
               "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for w in names:
            r = ratios(m, w)
            out.append(f"| {w} | {len(ranges[w])} | " +
                       " | ".join(f"{m[(w, p)]:.3f}" for p in PROGRAMS) + " | " +
                       " | ".join(f"{r[k]:.2f}" for k in
                                  ("lumvane/floor", "lumvane/cat", "foremost/lumvane")) +
                       " |")
        return out

    lines = []
    lines.append(f"Machine: {machine()}")
    lines.append("")
    lines.append(f"Load average before/after: {load_before[0]:.2f} / {load_after[0]:.2f}; "
                 f"{args.runs} interleaved runs, medians; input in the page cache, output in "
                 f"{args.out}")
    lines.append("")
    lines.append("Wall time (the targets are judged on it):")
    lines.append("")
    lines += table(med, "s")
    lines.append("")
    lines.append("CPU time, user + system (steadier when other jobs share the cores):")
    lines.append("")
    lines += table(cmed, "cpu s")
    lines.append("")
    lines.append("Bytes read (rchar, median), and their ratio to input + image bytes:")
    lines.append("")
    lines.append("| workload | input + image bytes | " +
                 " | ".join(f"{p} | ratio" for p in PROGRAMS) + " |")
    lines.append("|---|---:|" + "---:|---:|" * len(PROGRAMS))
    for w in names:
        lines.append(f"| {w} | {needed[w]} | " + " | ".join(
            f"{int(rmed[(w, p)])} | {rmed[(w, p)] / needed[w]:.3f}" for p in PROGRAMS) + " |")
    lines.append("")
    lines.append("| workload | peak RSS KiB lumvane | floor | cat | foremost |")
    lines.append("|---|---:|---:|---:|---:|")
    for w in names:
        lines.append(f"| {w} | " + " | ".join(str(peaks[(w, p)]) for p in PROGRAMS) + " |")
    verdicts = []
    for w in names:
        ratio, cratio = ratios(med, w), ratios(cmed, w)
        for name, limit, how in TARGETS[WORKLOADS[w][5]]:
            v = ratio[name]
            ok = v <= limit if how == "<=" else v >= limit
            verdicts.append(f"{w}: {name} = {v:.2f} (target {how} {limit}): "
                            f"{'holds' if ok else 'MISSED'}; in CPU time {cratio[name]:.2f}")
        rr = rmed[(w, "lumvane")] / needed[w]
        verdicts.append(f"{w}: lumvane read {rr:.3f} x (input + image bytes) (rchar; target <= "
                        f"{READ_LIMIT}): {'holds' if 0 < rr <= READ_LIMIT else 'MISSED'}")
        pk = peaks[(w, "lumvane")]
        verdicts.append(f"{w}: lumvane peak {pk} KiB (target <= {PEAK_LIMIT_KIB}): "
                        f"{'holds' if pk <= PEAK_LIMIT_KIB else 'MISSED'}")
        verdicts.append(f"{w}: foremost wrote {foremost_found.get(w, 0)} PNG files for "
                        f"{len(ranges[w])} images")
    lines.append("")
    lines += ["- " + v for v in verdicts]
    lines.append("")
    lines.append("lumvane's images: " + ("all equal their manifest ranges" if not faults else
                                         f"{len(faults)} FAULTS"))
    return finish(lines, faults, args.markdown)


if __name__ == "__main__":
    sys.exit(main())
