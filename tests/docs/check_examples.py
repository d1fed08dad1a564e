#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the examples of the manual pages and the README and compares what the
programs print with what the documents show.

Usage: check_examples.py --root SRC --lumvane BIN --probe BIN --samples DIR

Each checked example is a command line after "$ " in a document; its output
is the lines after it up to the next "$ " or "# " line or the end of the
block (blank lines inside an indented Markdown block belong to it). The
command runs through sh in a scratch folder laid out as the documents assume
(the sample disks, the demo sample, a memory card reached through a link,
build/ paths), with standard error merged into standard output as a
terminal shows them; the documents show that folder as /tmp/demo. Line
breaks count as blanks, so a long line may be wrapped in a manual page, and
blanks at the end of a line are not seen; everything else must match
exactly. A checked example missing from its document fails too.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# (document, command line as the reader sees it)
CHECKS = [
    ("man/kelb-probe.1.in", "kelb-probe sample.img"),
    ("man/kelb-probe.1.in", "kelb-probe --json sample.img 2"),
    ("man/kelb-probe.1.in", "kelb-probe --bytes --map amiga amiga.img"),
    ("man/kelb-probe.1.in", "kelb-probe --debug=partition --map apple sample-apple.img"),
    ("man/lumvane.1.in", "lumvane --list card.img"),
    ("README.md", "lumvane sample.bin"),
    ("README.md", "lumvane --list sample.bin"),
    ("README.md", "kelb-probe sample.img"),
]


def man_text(line):
    """A line of a manual page's source as the reader sees it."""
    for escape, text in (("\\-", "-"), ("\\(rs", "\\"), ("\\(dq", '"'), ("\\e", "\\"),
                         ("\\&", "")):
        line = line.replace(escape, text)
    return line


def continues(lines, i):
    """Whether the first line from i that is not blank is indented."""
    while i < len(lines) and lines[i] == "":
        i += 1
    return i < len(lines) and lines[i].startswith("    ")


def examples(path):
    """The lines of every example block of a document, block by block."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    blocks, block = [], None
    if path.endswith(".in"):
        for line in lines:
            if line.startswith(".EX"):
                block = []
            elif line.startswith(".EE"):
                blocks.append(block)
                block = None
            elif block is not None:
                block.append(man_text(line))
    else:
        for i, line in enumerate(lines + [""]):
            if line.startswith("    "):
                block = (block or []) + [line[4:]]
            elif block is not None and line == "" and continues(lines, i + 1):
                block.append("")
            elif block is not None:
                blocks.append(block)
                block = None
    return blocks


# The scratch folder's name in the documents.
SHOWN_FOLDER = "/tmp/demo"


def joined(lines):
    """The lines as one text, as a reader compares them."""
    return " ".join(line.rstrip() for line in lines)


def shown_output(blocks, command):
    """The output a document shows for command, or None."""
    for block in blocks:
        for i, line in enumerate(block):
            if line == "$ " + command:
                out = []
                for following in block[i + 1:]:
                    if following.startswith(("$ ", "# ")):
                        break
                    out.append(following)
                return out
    return None


def prepare(scratch, args):
    """The files and names the examples use."""
    build = os.path.join(scratch, "build")
    for sub in ("host", "testdata", "tool"):
        os.makedirs(os.path.join(build, sub))
    bin_dir = os.path.join(scratch, "bin")
    os.makedirs(bin_dir)
    samples = os.path.abspath(args.samples)
    links = {
        os.path.join(build, "host", "kelb-probe"): args.probe,
        os.path.join(bin_dir, "kelb-probe"): args.probe,
        os.path.join(build, "tool", "lumvane"): args.lumvane,
        os.path.join(bin_dir, "lumvane"): args.lumvane,
        os.path.join(build, "testdata", "kelb-sample-sun"): os.path.join(samples, "kelb-sample-sun"),
    }
    for link, target in links.items():
        os.symlink(os.path.abspath(target), link)
    for scheme, image in (("sun", "sample.img"), ("apple", "sample-apple.img"),
                          ("amiga", "amiga.img"), ("apple", "build/sample-apple.img")):
        subprocess.run([os.path.join(samples, "kelb-sample-" + scheme),
                        os.path.join(scratch, image)], check=True, stdout=subprocess.DEVNULL)
    os.makedirs(os.path.join(scratch, "testdata"))
    with open(os.path.join(args.root, "testdata", "sample.bin"), "rb") as f:
        sample = f.read()
    for copy in (os.path.join("testdata", "sample.bin"), "sample.bin"):
        with open(os.path.join(scratch, copy), "wb") as f:
            f.write(sample)
    # A memory card holding the demo sample at its first MiB, reached
    # through a link whose name has an extension.
    card = bytes(1 << 20) + sample
    with open(os.path.join(scratch, "sdb.raw"), "wb") as f:
        f.write(card + bytes((4 << 20) - len(card)))
    os.symlink("sdb.raw", os.path.join(scratch, "card.img"))
    return bin_dir


def main():
    ap = argparse.ArgumentParser()
    for name in ("--root", "--lumvane", "--probe", "--samples"):
        ap.add_argument(name, required=True)
    args = ap.parse_args()
    failures = 0
    with tempfile.TemporaryDirectory(prefix="lumvane-docs-") as scratch:
        bin_dir = prepare(scratch, args)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
        for key in ("KELB_MODULE_DIR", "KELB_DEBUG"):
            env.pop(key, None)
        for document, command in CHECKS:
            shown = shown_output(examples(os.path.join(args.root, document)), command)
            if shown is None:
                print(f"{document}: no example '$ {command}'")
                failures += 1
                continue
            run = subprocess.run(["sh", "-c", command + " 2>&1"], cwd=scratch, env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60)
            printed = run.stdout.decode("utf-8", "replace")
            printed = printed.replace(os.path.realpath(scratch), SHOWN_FOLDER)
            printed = printed.rstrip("\n").split("\n")
            if joined(shown) != joined(printed) or run.returncode != 0:
                print(f"{document}: '$ {command}' (status {run.returncode}) prints\n" +
                      "\n".join(printed) + "\nwhere the document shows\n" + "\n".join(shown) +
                      "\n")
                failures += 1
    print(f"{len(CHECKS) - failures} of {len(CHECKS)} examples match the programs' output")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
