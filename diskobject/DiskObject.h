// SPDX-License-Identifier: MIT
// CDiskObject: the small utility through which the tool touches directories.
// It qualifies a directory path against the current directory, creates a
// directory with every missing parent, empties a held folder of its files,
// and keeps the text of the last failure in m_errorText instead of
// raising an error. Each text it has to show also goes to an optional status
// window.
//
// Paths follow platform/path_traits.h: on Windows '\' separates ('/' is
// accepted), drives and UNC names exist; on POSIX '/' is the only separator.
// "sep" below is the platform's separator.
//
// Every operation works on its own copy of the caller's path, and every
// operation that moves the process's current directory sets it back by handle
// before it returns, so the object must only be used from one thread while no
// other thread relies on the current directory. An operation whose path
// cannot be qualified, or that cannot go back, fails with the system's text
// in m_errorText.
#pragma once

#include "platform/afx.h"
#include "platform/folder.h"

class CDiskObject {
 public:
  // statusWnd may be null (nothing is shown); it is not owned and must outlive
  // the object.
  explicit CDiskObject(CWnd* statusWnd = nullptr);

  // Creates directory and every missing parent. The path is qualified first
  // (NormalizeDirectoryPath); then each level from the root prefix (the drive,
  // or "\\server" for a UNC path, of which the share is the first level; empty
  // on POSIX) down to the whole path with its trailing separator is shown in
  // the status window and tried in order: entered if it exists, otherwise
  // created. Stops at the first level that can be neither, with the system
  // text of the creation's error and that level in m_errorText. Nonzero when
  // the last level tried exists at the end. An empty path is an internal
  // error and touches nothing. Levels created before a failure remain. The
  // current directory is saved by handle first (the operation fails, moving
  // nothing, when it cannot be) and is the same afterwards; when going back
  // to it fails, the operation fails with the system's text and the saved
  // directory's path in m_errorText, and the object has lost the current
  // directory (HasLostCurrentDirectory).
  BOOL MakeDirectoryTree(const CString& directory);

  // Deletes every file of a folder held open (platform/folder.h): lists it,
  // shows each name (as CFolder::DisplayName shows it) in listing order, then
  // shows and deletes each in the same order through the folder's handle,
  // never by a path, so the folder's name may be swapped for a link
  // meanwhile without any file elsewhere being touched. Stops at the first
  // file that cannot be deleted (read-only, in use, no right) with the
  // system text and the folder's path, sep and the name in m_errorText; a
  // listing that fails gives the system text and the folder's path, sep and
  // "*.*". Folders, links to folders and their contents are never deleted;
  // a link to a file is deleted itself, never its target. Every name the
  // system holds is deleted by that name (on Windows its UTF-16 name,
  // whatever the ANSI code page). Nonzero when every file was deleted or
  // there was none.
  BOOL DeleteDirectoryFiles(const CFolder& folder);

  // Qualifies a directory path in place: alternate separators become sep, a
  // missing trailing sep is added (to a non-empty path), and unless the path
  // is a UNC name ("\\..." on Windows) it goes through ResolveRelativePath.
  // The empty path becomes the current directory and sep. Never fails.
  void NormalizeDirectoryPath(CString& path);

  // Makes a path without a drive absolute against the current directory C0,
  // in place; adds no trailing separator, so it also serves for a file path:
  //   - a path with a drive is left as it is ("E:out" too);
  //   - leading "..sep" steps are taken from C0 (surplus steps stop at the
  //     root), and the rest follows the directory reached: "../../out" in
  //     /a/b/c gives /a/out;
  //   - a path that begins with sep gets C0's drive in front (nothing on
  //     POSIX);
  //   - any other path, the empty one too, becomes C0, sep, the path; sep is
  //     added even when C0 ends in one (a root), so "out" at / gives //out.
  // Only leading parent steps are resolved; "." and inner ".." are left for
  // the system. When the current directory cannot be read (it was removed),
  // the path is left relative rather than being resolved against nothing.
  // The current directory moves while parent steps are taken and is set back
  // by handle. When it cannot be saved first, or the directory reached
  // cannot be read, the path is left as it was and m_errorText holds the
  // system's text and the current directory's path; the operation that
  // qualified it fails. When going back fails, the same, and the object has
  // lost the current directory.
  void ResolveRelativePath(CString& path);

  // TRUE once an operation could not go back to the current directory it
  // started in: the process now stands in another folder, where relative
  // paths name other files. Every later operation of the object then fails
  // at once, with that failure's text in m_errorText, touching nothing.
  BOOL HasLostCurrentDirectory() const;

  // m_errorText becomes the system's message text for code with white space
  // trimmed at both ends, then, when path is not empty, a blank and path; it
  // is shown in the status window. When the system has no text for the code,
  // the text is "System error N" with the code in decimal.
  void ReportSystemError(DWORD code, const CString& path);
  // m_errorText becomes "CDiskObject internal error"; it is shown.
  void ReportInternalError();
  // Empties m_errorText; nothing is shown.
  void ResetErrorText();

  CString m_errorText;  // the last failure's text; empty after a success
  CWnd* m_pStatusWnd;   // the status window, or null; not owned

 private:
  void ShowStatus(const CString& text);
  // NormalizeDirectoryPath for an operation: FALSE, with m_errorText set,
  // when the path could not be qualified.
  BOOL Qualify(CString& path);
  // Restore of saved; on failure reports the system's text with path and
  // marks the current directory lost.
  BOOL GoBack(CSavedCurrentDirectory& saved, const CString& path);
  // TRUE, with the lost directory's failure in m_errorText and shown, when
  // the current directory has been lost.
  BOOL RefuseWhenLost();
  // Shows each level below root in turn (root, sep and the levels so far)
  // and enters it, or creates it when it cannot be entered; FALSE, with the
  // system's text and the level in m_errorText, at the first that can be
  // neither.
  BOOL EnterOrCreateLevels(const CString& root, CStringArray& levels);

  BOOL m_bQualifyFailed = FALSE;
  BOOL m_bLostCurrentDirectory = FALSE;
  CString m_lostText;
};
