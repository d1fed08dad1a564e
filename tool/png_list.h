// SPDX-License-Identifier: MIT
// "Lumvane.exe --list [--json] FILE": what a run would write, and where each
// image came from, without writing anything.
//
// The text form is a header line and one line per image, its columns
// separated by blanks:
//   NAME    OFFSET  LENGTH  END   HEALTH
//   00.png      16    4321  IEND  ok
//   01.png    4400    2000  next  bad-CRC chunk=3 type=IDAT at=4470
// NAME is the file a run would write; OFFSET is the image's first byte in
// FILE and LENGTH its bytes, both decimal; END is how it ends: IEND (its own
// IEND chunk), next (cut at the next image's start) or eof (cut at the end
// of FILE); HEALTH is "ok" or the first fault of the walk over its chunks
// (png_chunks.h), a word then its key=value details, offsets in FILE:
//   bad-CRC chunk=N type=T at=X         a chunk's CRC-32 is wrong
//   length-past-end chunk=N type=T at=X a chunk's length runs past the image
//   no-IEND at=X                        the image ends at X without IEND
//   no-signature at=X                   the bytes no longer begin with one
// Chunks are counted from 1 (IHDR); a type's bytes that are not ASCII
// letters are shown as \xHH, so nothing but printable ASCII is printed.
//
// The JSON form is one object:
//   {"input": "...", "folder": "...", "images": [
//     {"name": "00.png", "offset": 16, "length": 4321, "end": "IEND",
//      "health": "ok"},
//     {..., "health": "bad-CRC", "chunk": 3, "type": "IDAT", "at": 4470}]}
// with input the full input path a run scans and folder the folder it would
// write to. Strings are the bytes of the names: well-formed UTF-8 as it is,
// quotes, backslashes and control characters escaped as JSON does, and each
// byte that is not part of well-formed UTF-8 as \u00XX (its value); since
// the characters U+0080 to U+00FF are written in UTF-8, such an escape
// always stands for a raw byte.
#pragma once

#include "platform/afx.h"

// Scans the file named by argument exactly as a run does (LocateImages, with
// the progress line on a terminal), walks the chunks of every image a run
// would write, reading only those images' bytes, and prints the listing to
// standard output; deletes, makes and writes no file, and waits for no key.
// The locator's failure messages go to standard error, so that standard
// output holds the listing or nothing. Returns 0 when the input was read
// and listed, 1 otherwise. Throws std::bad_alloc when memory runs out.
int ListImages(LPCTSTR argument, bool json);
