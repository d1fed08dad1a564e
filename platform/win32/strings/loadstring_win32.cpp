// SPDX-License-Identifier: MIT
// CString::LoadString on Windows: the executable's own string-table
// resource, as the class library reads it. Read through KERNEL32's resource
// calls rather than USER32's LoadString: a process that loads USER32 counts
// as a windowed program, and the system then no longer tells its console
// handler of log-off and shut-down.
#include "platform/afx.h"

#include <string>

namespace {

// The UTF-16 text of entry id in the string table of module; false when
// there is none. The table is kept in blocks of 16 entries, block
// id / 16 + 1, each entry a count of UTF-16 units and then the units.
bool FindEntry(HMODULE module, UINT id, const WCHAR*& text, int& length) {
  HRSRC block = FindResourceA(module, MAKEINTRESOURCEA(id / 16 + 1), MAKEINTRESOURCEA(6));
  if (block == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, block);
  const auto* at = loaded == nullptr ? nullptr : static_cast<const WCHAR*>(LockResource(loaded));
  const DWORD size = SizeofResource(module, block) / sizeof(WCHAR);
  if (at == nullptr) return false;
  DWORD offset = 0;
  for (UINT entry = 0; entry < id % 16; ++entry) {
    if (offset >= size) return false;
    offset += 1 + at[offset];
  }
  if (offset >= size || at[offset] == 0 || offset + 1 + at[offset] > size) return false;
  text = at + offset + 1;
  length = at[offset];
  return true;
}

}  // namespace

BOOL CString::LoadString(UINT id) {
  const WCHAR* text = nullptr;
  int length = 0;
  if (!FindEntry(GetModuleHandleA(nullptr), id, text, length)) {
    Empty();
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return FALSE;
  }
  const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, text, length, narrow.data(), size, nullptr, nullptr);
  *this = CString(narrow.c_str());
  return TRUE;
}
