// SPDX-License-Identifier: MIT
// Our stand-in for the Windows class library: CString, CStringArray, CFile,
// CWnd as a text sink, CWinApp and AfxWinInit, and the string table. The same
// header serves every build; the platform's own calls are in
// platform/win32api.h and the path rules in platform/path_traits.h.
//
// Nothing here throws: failures come back as results, with the error code in
// GetLastError().
#pragma once

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32api.h"

#if defined(__GNUC__) || defined(__clang__)
#define AFX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define AFX_PRINTF_FORMAT(fmt, args)
#endif

// ---------------------------------------------------------------------------
// CString: a counted 8-bit string with value semantics. It may hold zero
// bytes; the C-string view (operator LPCTSTR, GetString) then ends at the first
// one. Positions and counts are ints, as in the class library; out-of-range
// arguments are clamped, never undefined.
//
// A CString cannot be passed through "..." itself: pass (LPCTSTR)s or
// s.GetString() to Format and printf.
class CString {
 public:
  CString() = default;
  CString(const char* text);  // null gives the empty string
  CString(const char* text, int length);
  CString(char ch, int repeat = 1);
  CString(const std::string& text) : m_text(text) {}

  int GetLength() const { return static_cast<int>(m_text.size()); }
  bool IsEmpty() const { return m_text.empty(); }
  void Empty() { m_text.clear(); }

  // The character at index; '\0' when index is out of range.
  char GetAt(int index) const;
  char operator[](int index) const { return GetAt(index); }

  operator LPCTSTR() const { return m_text.c_str(); }
  LPCTSTR GetString() const { return m_text.c_str(); }
  const std::string& str() const { return m_text; }

  CString& operator=(const char* text);
  CString& operator+=(const CString& text);
  CString& operator+=(const char* text);
  CString& operator+=(char ch);

  // The first count characters / from first to the end / count from first.
  // Clamped to the string.
  CString Left(int count) const;
  CString Mid(int first) const;
  CString Mid(int first, int count) const;

  // Index of the first occurrence at or after start, or -1.
  int Find(char ch, int start = 0) const;
  // Index of the last occurrence of ch, or -1.
  int ReverseFind(char ch) const;

  // Replaces every occurrence; returns the number replaced.
  int Replace(char oldCh, char newCh);
  // Removes characters from the start / end / both ends. Without an argument
  // the white space (blank, tab, CR, LF, VT, FF) is removed.
  CString& TrimLeft();
  CString& TrimLeft(const char* targets);
  CString& TrimRight();
  CString& TrimRight(const char* targets);
  CString& Trim() { return TrimRight().TrimLeft(); }

  // printf-style formatting into this string; any length.
  void Format(const char* format, ...) AFX_PRINTF_FORMAT(2, 3);
  void FormatV(const char* format, va_list args);

  // Fetches entry id of the program's string table: on POSIX through
  // AfxLookupString, on Windows from the executable's string-table resource.
  // FALSE, and the string emptied, when there is no such entry. Link with the
  // platform_strings library to use it.
  BOOL LoadString(UINT id);

  // Direct access to at least minLength chars (plus a terminator); the string
  // keeps its content. ReleaseBuffer(-1) ends the string at the first zero
  // byte, ReleaseBuffer(n) at n characters.
  char* GetBuffer(int minLength);
  void ReleaseBuffer(int newLength = -1);

  friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
  // A null b counts as the empty string; a ends at its first zero byte.
  friend bool operator==(const CString& a, const char* b) {
    return std::strcmp(a.GetString(), b ? b : "") == 0;
  }
  friend bool operator==(const char* a, const CString& b) { return b == a; }
  friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
  friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
  friend bool operator!=(const char* a, const CString& b) { return !(a == b); }
  friend bool operator<(const CString& a, const CString& b) { return a.m_text < b.m_text; }

  friend CString operator+(const CString& a, const CString& b);
  friend CString operator+(const CString& a, const char* b);
  friend CString operator+(const CString& a, char b);

 private:
  std::string m_text;
};

// ---------------------------------------------------------------------------
// CStringArray: a growable array of strings. An index out of range is a
// caller's fault (operator[] then throws std::out_of_range).
class CStringArray {
 public:
  INT_PTR GetSize() const { return static_cast<INT_PTR>(m_items.size()); }
  INT_PTR GetCount() const { return GetSize(); }
  bool IsEmpty() const { return m_items.empty(); }
  // Appends text; returns its index.
  INT_PTR Add(const CString& text);
  CString& operator[](INT_PTR index);
  void RemoveAll() { m_items.clear(); }

 private:
  std::vector<CString> m_items;
};

class CFolder;

// ---------------------------------------------------------------------------
// CFile: a file opened by name or made in a held folder (platform/folder.h),
// closed by Close or the destructor. Positions
// and lengths are 64-bit. No operation throws; each failure sets
// GetLastError().
class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    modeCreate = 0x1000,
  };
  enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

  CFile() = default;
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens the existing file fileName for reading (modeRead), writing
  // (modeWrite) or both (modeReadWrite): a regular file or a block device; a
  // directory or any other kind of file is refused. modeCreate is refused
  // (ERROR_INVALID_PARAMETER): files are made only in a held folder, through
  // OpenIn. Closes a file this object had open first. pError is accepted
  // for the library's signature and ignored.
  BOOL Open(LPCTSTR fileName, UINT openFlags, void* pError = nullptr);
  // Open for the file fileName (a bare name, no separator) of the held
  // folder, reached through the folder's handle and never by a path: on
  // POSIX openat, on Windows NtCreateFile relative to the folder. The same
  // modes as Open, and modeCreate (with modeWrite or modeReadWrite): a new
  // file, made exclusively, or an existing one cut to length 0. modeCreate
  // never writes through the name into another file: a name that is a
  // symbolic link (on Windows any reparse point, or a file that does not lie
  // in the folder under that name: Wine follows the host's symbolic links
  // without showing them), or an existing file that is not a plain file or
  // has other names (hard links), is refused and left untouched; and an
  // existing read-only file (POSIX: owner-write bit clear) is refused with
  // ERROR_ACCESS_DENIED and keeps its bytes, whoever the caller is (root
  // too).
  BOOL OpenIn(const CFolder& folder, LPCTSTR fileName, UINT openFlags);
  bool IsOpen() const;

  // Reads up to count bytes at the current position, retrying short reads,
  // and advances past them. Returns the number read (less than count only at
  // the end of the file; 0 at its end), or -1 on failure or when not open.
  LONGLONG Read(void* buffer, ULONGLONG count);
  // Writes all count bytes at the current position. FALSE on failure (some
  // bytes may have been written) or when not open.
  BOOL Write(const void* buffer, ULONGLONG count);
  // Moves to offset from begin, current or end. Returns the new position, or
  // -1 on failure (a negative result position, not open).
  LONGLONG Seek(LONGLONG offset, UINT from);
  // The length in bytes (of the device, for a block device); 0 when not open
  // or on failure, with GetLastError set then.
  ULONGLONG GetLength() const;
  // Closes the file; FALSE when closing reported an error (for a written
  // file, data may be lost). Closing a closed file does nothing.
  BOOL Close();

  // The native descriptor (POSIX) or handle (Windows); -1 when closed. For
  // platform code that needs the system's own calls on an open file.
  INT_PTR GetNativeHandle() const { return m_handle; }

 private:
  // Open and OpenIn: folder is the held folder's native handle, or for a
  // name relative to the current directory AT_FDCWD (POSIX) / -1 (Windows).
  BOOL OpenRelative(INT_PTR folder, LPCTSTR fileName, UINT openFlags);

  INT_PTR m_handle = -1;  // the native descriptor or handle; -1 when closed
};

// ---------------------------------------------------------------------------
// CWnd: a sink of texts. The base class keeps the last text; a subclass
// overrides SetWindowTextA to show or record the texts.
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  virtual void SetWindowTextA(LPCTSTR text);
  void SetWindowText(LPCTSTR text) { SetWindowTextA(text); }
  // The last text set through the base class.
  CString GetWindowTextA() const { return m_text; }

 private:
  CString m_text;
};

// ---------------------------------------------------------------------------
// CWinApp: the one application object of a program.
class CWinApp {
 public:
  explicit CWinApp(LPCTSTR appName = nullptr) : m_appName(appName) {}
  virtual ~CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  CString m_appName;
};

// Initialises the framework for this program. On POSIX it fails (FALSE,
// GetLastError EBADF) when standard input, output or error is not open, since
// the tool reads its key from one and writes its texts to the others; and it
// ignores the file-size-limit signal (SIGXFSZ) from then on, so that a write
// past the limit fails with its error (EFBIG) instead of killing the process.
// The broken-pipe signal (SIGPIPE) is ignored from before main, so that a
// write to a pipe whose reader has gone fails with EPIPE (AfxWinInit fails
// when that could not be done). On every platform it installs the
// interruption handlers of platform/interrupt.h.
BOOL AfxWinInit(HINSTANCE instance, HINSTANCE prevInstance, LPTSTR cmdLine, int cmdShow);

// ---------------------------------------------------------------------------
// The string table on POSIX. Each program defines this function in its own
// source (the platform layer only calls it): the text of entry id, or null
// when there is none. Used by CString::LoadString; the Windows build reads the
// executable's resource instead.
const char* AfxLookupString(UINT id);

// ---------------------------------------------------------------------------
// Path helpers, shared by every build.

// The current directory as the platform spells it, of any length. Empty on
// failure, with GetLastError set.
CString AfxGetCurrentDirectory();

// Holds on to the current directory so that the process can go back to it
// after moving through other folders: on POSIX as an open handle of the
// directory itself (so it is reached again whatever the length of its path
// and whatever became of the folders above it), on Windows as its path.
// Save it, move, then call Restore and check the result; the destructor goes
// back as well when Restore was never called, and releases the handle.
class CSavedCurrentDirectory {
 public:
  // Saves the current directory; IsSaved tells whether that worked
  // (GetLastError set when not).
  CSavedCurrentDirectory();
  ~CSavedCurrentDirectory();
  CSavedCurrentDirectory(const CSavedCurrentDirectory&) = delete;
  CSavedCurrentDirectory& operator=(const CSavedCurrentDirectory&) = delete;

  BOOL IsSaved() const;
  // Makes the saved directory the current one again. FALSE, with
  // GetLastError set, when nothing was saved or going back failed: the
  // process then still stands wherever it was moved to.
  BOOL Restore();

 private:
  INT_PTR m_handle = -1;  // POSIX: the directory's descriptor; -1 when none
  CString m_path;         // Windows: the directory's path; empty when none
  bool m_restoreDue = true;
};

// The Windows runtime's path split (see _splitpath) into strings, without
// length limits, reading platform/path_traits.h. Any output may be null.
//   drive: the first two characters when the second is a colon (Windows only)
//   dir:   after the drive, up to and including the last separator
//   fname: the rest up to, not including, the last dot after dir
//   ext:   from that dot to the end
void AfxSplitPath(const CString& path, CString* drive, CString* dir, CString* fname, CString* ext);
