// SPDX-License-Identifier: MIT
// Lumvane: finds the PNG images stored inside a file of raw data and writes
// each one to its own file, 00.png, 01.png, ... in a folder named after the
// input. The process-wide state and the tool's routines: the input and output
// paths, the locator (LocateImages) and the writer.
#pragma once

#include "platform/afx.h"
#include "tool/lumvane_strings.h"
#include "tool/png_scan.h"

#include <functional>

// The full input path, built by the driver and scanned by the locator.
extern CString g_strInputPath;
// The output folder path: the full input path less the extension of its name.
extern CString g_strOutputDir;
// The offset table: emptied by the driver, filled by the locator (starts
// appended, ends set as their markers are paired), read by the writer.
extern COffsetTable g_offsetTable;
// The number of bytes of the input that the last locator pass read (for a
// file that reports a length of 0, all it held); kNotScanned before any.
// The writer copies no range past it.
extern ULONGLONG g_scannedLength;
inline constexpr ULONGLONG kNotScanned = ~ULONGLONG{0};
// Whether the last locator pass read the input around the system's cache
// (platform/blockreader.h): the writer then reads the images so too, and
// the cache stays as it was.
extern bool g_scannedDirect;

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

// Told how far the read of the input is: the bytes read so far, the input's
// length (fixed when the read began; kUnknownLength of progress.h for a file
// that reports a length of 0, which is read to its end as a pipe would be)
// and the entries in g_offsetTable.
using ScanProgress = std::function<void(ULONGLONG bytesRead, ULONGLONG length, size_t images)>;

// The locator as the driver runs it: one read of the file at path, finding
// the image starts and their "IEND" markers together. Empties g_offsetTable
// and fills it with exactly the table that the locator's rules (png_scan.h)
// give for the same bytes. progress, when given, is called once
// with 0 bytes read before the first read, then after every read, between two
// reads of the input, and may not touch the table.
// Returns 1 when the file was read to its end (as far as it goes, if it
// shrank meanwhile), with g_scannedLength set, 0 after writing
// "\n File Open Failed!\n" (cannot open or tell its length; a directory
// counts as such), "\n File Read Failed!\n" or, when memory for reading
// could not be had, "\n Not enough memory!\n" to standard output (the
// first two with the path and the system's reason on standard error,
// ReportFailure). The file is read through CBlockReader. Throws std::bad_alloc when the table cannot
// grow, or would outgrow a quarter of the machine's memory.
int LocateImages(const CString& path, const ScanProgress& progress = nullptr);

// The system's text for the error code, trimmed, without a closing full
// stop; "System error N" when the system has none.
CString SystemReason(DWORD code);

// Writes text (one of the tool's failure texts, such as "\n File create
// Failed!\n") and a line end to standard output, then "lumvane: ", path,
// ": " and reason (the system's text for code) and a line end to standard
// error, path and reason escaped as AfxPrintable does (platform/printable.h).
void ReportFailure(const char* text, const CString& path, const CString& reason);
void ReportFailure(const char* text, const CString& path, DWORD code);

// The output folder checked before the input is read, so that a run that
// could never write its images ends at once: with "\n Output folder
// refused: " and g_strOutputDir (escaped) followed by " is a name Windows
// would change.", " is a link.", " contains the input file." (as DumpPNGs
// refuses them), " is not a folder." (it names a file or a device, as it
// does for an input without an extension) or " cannot be written." (the
// folder, or when it does not exist the nearest existing folder above it,
// is on a read-only file system or closed to this process; the place and
// the system's reason on standard error). Returns 1 when none applies, 0
// after writing the refusal. Nothing is made, read or deleted.
int CheckOutputFolder(LPCTSTR inputName);

// Writes every entry of g_offsetTable from the file inputName (as typed) into
// g_strOutputDir as NN.png, after creating that folder and deleting the files
// in it. An entry without an end runs to the next entry's start, the last one
// to the end of the input; no range reaches past g_scannedLength (or, with
// no scan, the input's length). An input that no longer holds all of a
// range (it became shorter) is "\n File Read Failed!\n".
// The folder is held open from its check to the last image (platform/
// folder.h): it is emptied and every image is created through that handle,
// never by a path. Refused before anything is deleted or written, each with
// "\n Output folder refused: " and the folder: a name Windows would change
// (" is a name Windows would change.": a last name ending in a dot or a
// blank, or a device name; never on POSIX), a folder whose last name is a
// link (" is a link."; on Windows any reparse point), and a folder that is,
// or lies above, the folder holding the input's target or the folder
// holding the name as typed (" contains the input file."). Stops, deleting
// and writing nothing more, when preparing the output folder could not go
// back to the current directory ("\n Current directory lost: " and the
// system's text with that directory). When making or emptying the folder
// failed otherwise, the images are still written, and then the disk
// object's text (the system's message and the path) is written and the
// result is 0. Every name and the disk object's texts are written escaped
// (AfxPrintable). A failure to open the input, or to create, write or read
// an image, adds the path and the system's reason on standard error
// (ReportFailure). Returns 1 on success (also with an empty table), 0 after
// writing the failure's message to standard output. A partly written image
// is removed on every way out: a failure, an exception (std::bad_alloc is
// passed on) or an interruption (platform/interrupt.h). The dot for an
// image is written once its file is complete and closed.
int DumpPNGs(LPCTSTR inputName);
