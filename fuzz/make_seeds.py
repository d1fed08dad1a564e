#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the committed seed corpora of the fuzz targets (fuzz/corpus/).

Each seed is small and reaches one part of a target: a sound image or
table, and the damaged, failing and unusual cases next to it. Run it again
after changing an input layout; libFuzzer grows the corpus from these. The
partition maps' seeds come from testdata/make_seeds instead.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SIG = b"\x89PNG\r\n\x1a\n"


def write(corpus, name, data):
    d = os.path.join(HERE, "corpus", corpus)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- PNG scan: flags, [patterns], piece sizes, stream ------------------------
def png(body=b"x" * 20):
    ihdr = struct.pack(">I", 13) + b"IHDR" + body[:13].ljust(13, b"\0") + b"CRC!"
    return SIG + ihdr + b"IDAT" + body + struct.pack(">I", 0) + b"IEND" + b"\xaeB`\x82"


def scan_seed(stream, sizes=(), patterns=None):
    flags = (len(sizes) & 7) << 1
    head = b""
    if patterns:
        flags |= 1
        for p in patterns:
            head += bytes([len(p) - 1]) + p
    head += b"".join(struct.pack("<H", s) for s in sizes)
    return bytes([flags]) + head + stream


write("png_scan", "one_image", scan_seed(png()))
write("png_scan", "back_to_back_in_pieces", scan_seed(png() + png(b"y" * 40) + png(), sizes=(7, 1, 30)))
write("png_scan", "junk_around", scan_seed(b"junk" * 9 + png() + b"\0" * 11 + png() + b"tail"))
write("png_scan", "missing_iend", scan_seed(png()[:-12] + png() + png()))
write("png_scan", "iend_text_inside", scan_seed(SIG + png()[8:40] + b"IEND" + png()[40:] + png()))
write("png_scan", "signature_without_ihdr", scan_seed(SIG + b"\0\0\0\x0dIHDX" + b"z" * 20 + png()))
write("png_scan", "cut_off_crc", scan_seed(png()[:-2], sizes=(3,)))
write("png_scan", "marker_before_start", scan_seed(b"\0\0\0\0IEND1234" + png(), sizes=(0, 5)))
write("png_scan", "custom_patterns", scan_seed(b"abcabcIHDRab\0\0\0\0xyzabc" * 3,
                                               sizes=(2,), patterns=(b"abc", b"xyz")))
write("png_scan", "one_byte_pattern", scan_seed(b"a" * 40 + b"\0\0\0\0b" + b"a" * 20,
                                                sizes=(1, 2), patterns=(b"a", b"b")))


# ---- partition maps: written by testdata/make_seeds (build/testdata/make_seeds
#      fuzz/corpus) from the label builders of testdata/disk_labels.h, which the
#      suite checks them against.


# ---- module files: the file itself ------------------------------------------
def elf_module(cls=64, order="<", modname=b"sun\0", exports=(b"kelb_mod_init", b"kelb_mod_fini"),
               imports=(b"kelb_disk_read",), modname_section=b".modname", shoff=None, shnum=None,
               export_info=0x12, export_section=5, export_value=0, machine=None, phdrs=True,
               load_flags=5, load_extra=0, needed=None):
    """A small ELF file laid out as a module: .modname, .dynsym, .dynstr, .shstrtab, and .text
    holding the exports (functions, 0x12, in section 5 unless told otherwise), then a SysV hash
    table and the dynamic section. Its program headers map the whole file as one segment (read
    and execute unless told otherwise; load_extra bytes more than the file holds), addresses
    being file offsets, and name the dynamic section; `needed` adds a library it needs."""
    wide = cls == 64
    shstr = b"\0" + modname_section + b"\0.dynsym\0.dynstr\0.shstrtab\0.text\0"
    n_mod, n_sym = 1, 2 + len(modname_section)
    n_str, n_shs = n_sym + 8, n_sym + 16
    n_txt = n_shs + 10
    text = b"\xc3" * 16
    dynstr, names = b"\0", []
    for sym in exports + imports:
        names.append(len(dynstr))
        dynstr += sym + b"\0"
    needed_at = len(dynstr)
    if needed:
        dynstr += needed + b"\0"
    syms = [(0, 0, 0)] + [(names[i], export_info, export_section) for i in range(len(exports))] + \
        [(names[len(exports) + i], 0x12, 0) for i in range(len(imports))]
    if wide:
        dynsym = b"".join(struct.pack(order + "IBBHQQ", nm, info, 0, ndx, ndx and export_value, 0)
                          for nm, info, ndx in syms)
    else:
        dynsym = b"".join(struct.pack(order + "IIIBBH", nm, ndx and export_value, 0, info, 0, ndx)
                          for nm, info, ndx in syms)
    # One bucket; every chain ends at once: the checks need the count only.
    hashtab = struct.pack(order + "II", 1, len(syms)) + bytes(4 * (1 + len(syms)))
    ehsize, shentsize, symsize = (64, 64, 24) if wide else (52, 40, 16)
    phentsize = (56 if wide else 32) if phdrs else 0
    start = ehsize + 2 * phentsize
    body, offsets = b"", []
    for data in (modname, dynsym, dynstr, shstr, text, hashtab):
        offsets.append(start + len(body))
        body += data + bytes((-len(data)) % 8)
    # DT_HASH, DT_STRTAB, DT_SYMTAB, DT_STRSZ, DT_SYMENT, DT_NEEDED, DT_NULL
    entries = [(4, offsets[5]), (5, offsets[2]), (6, offsets[1]), (10, len(dynstr)), (11, symsize)]
    entries += [(1, needed_at)] if needed else []
    dynamic = b"".join(struct.pack(order + ("qQ" if wide else "iI"), tag, val)
                       for tag, val in entries + [(0, 0)])
    dynamic_at = start + len(body)
    body += dynamic
    table_at = start + len(body)
    # name, type, flags (6: alloc and execute), offset, size, link, entry size
    sections = [(0, 0, 0, 0, 0, 0, 0), (n_mod, 1, 0, offsets[0], len(modname), 0, 0),
                (n_sym, 11, 0, offsets[1], len(dynsym), 3, symsize),
                (n_str, 3, 0, offsets[2], len(dynstr), 0, 0), (n_shs, 3, 0, offsets[3], len(shstr), 0, 0),
                (n_txt, 1, 6, offsets[4], len(text), 0, 0)]
    table = b""
    for name, typ, flags, off, size, link, entsize in sections:
        if wide:
            table += struct.pack(order + "IIQQQQIIQQ", name, typ, flags, 0, off, size, link, 0, 1, entsize)
        else:
            table += struct.pack(order + "IIIIIIIIII", name, typ, flags, 0, off, size, link, 0, 1, entsize)
    total = table_at + len(table)
    # type, flags, offset, address, size in the file and in memory, alignment
    segments = [(1, load_flags, 0, 0, total + load_extra, 0x1000),
                (2, 6, dynamic_at, dynamic_at, len(dynamic), 8)] if phdrs else []
    program = b""
    for typ, flags, off, addr, size, align in segments:
        if wide:
            program += struct.pack(order + "IIQQQQQQ", typ, flags, off, addr, addr, size, size, align)
        else:
            program += struct.pack(order + "IIIIIIII", typ, off, addr, addr, size, size, flags, align)
    ident = b"\x7fELF" + bytes([1 if not wide else 2, 1 if order == "<" else 2, 1]) + bytes(9)
    if machine is None:
        machine = 62 if wide else 3
    fields = (3, machine, 1, 0, ehsize if phdrs else 0, table_at if shoff is None else shoff, 0,
              ehsize, phentsize, len(segments), shentsize,
              len(sections) if shnum is None else shnum, 4)
    head = struct.pack(order + ("HHIQQQIHHHHHH" if wide else "HHIIIIIHHHHHH"), *fields)
    return ident + head + program + body + table


module = elf_module()
write("module_file", "sound", module)
write("module_file", "sound_big_endian", elf_module(order=">"))
write("module_file", "truncated_in_header", module[:40])
write("module_file", "truncated_in_section_table", module[:len(module) - 100])
write("module_file", "truncated_in_sections", module[:200])
write("module_file", "wrong_class", elf_module(cls=32))
write("module_file", "class_byte_flipped", module[:4] + b"\1" + module[5:])
write("module_file", "section_table_out_of_bounds", elf_module(shoff=1 << 40))
write("module_file", "too_many_sections", elf_module(shnum=5000))
write("module_file", "no_modname", elf_module(modname_section=b".comment"))
write("module_file", "empty_modname", elf_module(modname=b"\0\0"))
write("module_file", "no_fini", elf_module(exports=(b"kelb_mod_init",)))
write("module_file", "entry_points_are_data", elf_module(export_info=0x11))
write("module_file", "entry_points_not_executable", elf_module(load_flags=4))
write("module_file", "entry_points_past_the_code", elf_module(export_value=1 << 20))
write("module_file", "no_program_headers", elf_module(phdrs=False))
write("module_file", "segment_past_the_end", elf_module(load_extra=1 << 16))
write("module_file", "writable_code", elf_module(load_flags=7))
write("module_file", "imports_the_c_library", elf_module(imports=(b"kelb_disk_read", b"write")))
write("module_file", "needs_a_library", elf_module(needed=b"libc.so.6"))
write("module_file", "other_machine", elf_module(machine=183))
write("module_file", "not_elf", b"MZ" + bytes(200))


# ---- paths: operation and depth byte, path text ---------------------------
for i, (how, text) in enumerate([
        (6, b""), (6, b".."), (6, b"../.."), (6, b"../../out"), (4, b"../x/y.z"),
        (5, b"../x/y.z"), (6, b"/abs/dir"), (2, b"x//y/"), (6, b"./c"), (6, b".../"),
        (0, b"../../../../../../.."), (4, b"b/y.z"), (6, b"//server/share/dir"),
        (6, b"..\\x"), (7, b"..//../a"), (6, b"/"), (2, b"a/../a/b"), (3, b"")]):
    write("paths", "path%02d" % i, bytes([how]) + text)
