// SPDX-License-Identifier: MIT
#include "tool/output_folder.h"

#include "diskobject/DiskObject.h"
#include "platform/fsinfo.h"
#include "platform/path_traits.h"
#include "platform/printable.h"
#include "tool/lumvane.h"

#include <iostream>

namespace {

// True when emptying the held output folder could delete the input or the
// name it was given by: the folder is, or lies above, the folder that holds
// the input's target or the folder that holds the name as typed (which
// differ when the name is a link).
bool EndangersTheInput(const CFolder& output, LPCTSTR inputName) {
  if (AfxIsFolderAtOrAbove(output, inputName)) return true;
  CString drive, dir;
  AfxSplitPath(inputName, &drive, &dir, nullptr, nullptr);
  CString holder = drive + dir;
  if (holder.IsEmpty()) holder = ".";
  return AfxIsSameFolder(output, holder) || AfxIsFolderAtOrAbove(output, holder);
}

// The last name of a path: its file name with its extension.
CString LastName(const CString& path) {
  CString name, ext;
  AfxSplitPath(path, nullptr, nullptr, &name, &ext);
  return name + ext;
}

void RefuseOutputFolder(const char* reason) {
  std::cout << "\n Output folder refused: " << AfxPrintable(g_strOutputDir).GetString() << reason
            << "\n"
            << std::endl;
}

// A code for "not there" from opening the output folder.
bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

}  // namespace

int CheckOutputFolder(LPCTSTR inputName) {
  if (PathTraits::IsNameTheSystemChanges(LastName(g_strOutputDir))) {
    RefuseOutputFolder(" is a name Windows would change.");
    return 0;
  }
  CFolder folder;
  if (folder.Open(g_strOutputDir)) {
    if (EndangersTheInput(folder, inputName)) {
      RefuseOutputFolder(" contains the input file.");
      return 0;
    }
  } else {
    const DWORD code = GetLastError();
    if (code == CFolder::kLinkRefused) {
      RefuseOutputFolder(" is a link.");
      return 0;
    }
    // A file or a device (the input itself, when its name has no
    // extension): no folder can ever be made there.
    if (code == ERROR_DIRECTORY) {
      RefuseOutputFolder(" is not a folder.");
      std::cerr << "lumvane: " << AfxPrintable(g_strOutputDir).GetString() << ": "
                << SystemReason(code).GetString() << std::endl;
      return 0;
    }
  }
  CString place;
  if (!AfxCanMakeIn(g_strOutputDir, place)) {
    const DWORD code = GetLastError();
    RefuseOutputFolder(" cannot be written.");
    std::cerr << "lumvane: " << AfxPrintable(place).GetString() << ": "
              << SystemReason(code).GetString() << std::endl;
    return 0;
  }
  return 1;
}

BOOL PrepareOutputFolder(COutputFolder& out, LPCTSTR inputName) {
  // A name the system would spell otherwise ("photos." is "photos" on
  // Windows) would empty and fill another folder than the one named.
  if (PathTraits::IsNameTheSystemChanges(LastName(g_strOutputDir))) {
    RefuseOutputFolder(" is a name Windows would change.");
    return FALSE;
  }
  CDiskObject disk(nullptr);
  // Standing in another folder after it, every relative name would lead
  // elsewhere: nothing is deleted or written.
  const BOOL made = disk.MakeDirectoryTree(g_strOutputDir);
  const DWORD makeError = made ? ERROR_SUCCESS : GetLastError();
  if (disk.HasLostCurrentDirectory()) {
    std::cout << "\n Current directory lost: " << AfxPrintable(disk.m_errorText).GetString() << "\n"
              << std::endl;
    return FALSE;
  }
  if (out.folder.Open(g_strOutputDir)) {
    // Emptying must never reach the input's own folder or one above it.
    if (EndangersTheInput(out.folder, inputName)) {
      RefuseOutputFolder(" contains the input file.");
      return FALSE;
    }
    // The images are written even when this fails; a folder that was not
    // emptied (old files may stand beside the images) is reported once
    // they are written.
    if (!disk.DeleteDirectoryFiles(out.folder)) out.emptyingFailure = disk.m_errorText;
    return TRUE;
  }
  out.error = GetLastError();
  // Only a real folder is emptied, never the folder a link leads to. A
  // name that cannot be made since it exists, yet cannot be opened since
  // it does not, is a link that leads nowhere: Wine shows no more of it.
  if (out.error == CFolder::kLinkRefused ||
      (makeError == ERROR_ALREADY_EXISTS && IsMissing(out.error))) {
    RefuseOutputFolder(" is a link.");
    return FALSE;
  }
  // Why the folder is not there: making it failed first.
  if (makeError != ERROR_SUCCESS && IsMissing(out.error)) out.error = makeError;
  return TRUE;
}
