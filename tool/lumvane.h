// Lumvane: finds the PNG images stored inside a file of raw data and writes
// each one to its own file, 00.png, 01.png, ... in a folder named after the
// input. The process-wide state and the three working routines.
#pragma once

#include "platform/afx.h"
#include "lumvane_strings.h"
#include "png_scan.h"

#include <functional>

// The full input path, built by the driver and scanned by both locator passes.
extern CString g_strInputPath;
// The output folder path: the full input path less the extension of its name.
extern CString g_strOutputDir;
// The offset table: emptied by the driver, filled by the locator (start mode
// appends, end mode sets the ends), read by the writer.
extern COffsetTable g_offsetTable;

// The full input path for the command-line argument: the argument itself when
// it holds a path separator, otherwise the current directory, a separator and
// the argument. When the current directory cannot be read the argument is
// used as it is (it still names the file relative to the current directory).
CString MakeFullInputPath(const CString& argument);

// The output folder path for a full input path: everything before the last
// "." of the file name. A file name with no ".", or whose part before its
// last "." is empty or only dots (".dat", "..bin"), has no extension: the
// result is then the full input path itself, which names the input file and
// so can never become a folder that is emptied.
CString MakeOutputDir(const CString& fullInputPath);

// Told between a scan's reads how far it is: bytes read so far, the input's
// length, and the entries in g_offsetTable. Called first with 0 bytes read,
// before the first read.
using ScanProgress = std::function<void(ULONGLONG bytesRead, ULONGLONG total, size_t images)>;

// One locator pass over the file at path. recordStarts non-zero: start mode,
// appending an entry to g_offsetTable for every PNG signature with "IHDR" at
// +12; zero: end mode, giving the entries their ends (see png_scan.h).
// Returns 1 when the file was read to its end (or end mode needed no more),
// 0 after writing "\n File Open Failed!\n" (cannot open; a directory counts
// as such) or "\n File Read Failed!\n" to standard output. progress, when
// given, hears how far the pass is.
int ScanFile(const unsigned char* pattern, int patternLength, const CString& path,
             int recordStarts, const ScanProgress& progress = nullptr);

// Writes every entry of g_offsetTable from the file inputName (as typed) into
// g_strOutputDir as NN.png, after creating that folder and deleting the files
// in it. An entry without an end runs to the next entry's start, the last one
// to the end of the input; no range reaches past the end of the input.
// Refuses an output folder that is the input's own folder or one above it.
// Returns 1 on success (also with an empty table), 0 after writing the
// failure's message to standard output; a partly written image is removed.
int DumpPNGs(LPCTSTR inputName);
