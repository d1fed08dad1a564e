// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/path_traits.h"

namespace {

bool HasSeparator(const CString& path) {
  for (int i = 0; i < path.GetLength(); ++i)
    if (PathTraits::IsSeparator(path[i])) return true;
  return false;
}

}  // namespace

CString MakeFullInputPath(const CString& argument) {
  if (HasSeparator(argument)) return argument;
  const CString cwd = AfxGetCurrentDirectory();
  if (cwd.IsEmpty()) return argument;
  CString full;
  full.Format("%s%c%s", cwd.GetString(), PathTraits::kPreferredSeparator, argument.GetString());
  return full;
}

CString MakeOutputDir(const CString& fullInputPath) {
  int nameStart = fullInputPath.GetLength();
  while (nameStart > 0 && !PathTraits::IsSeparator(fullInputPath[nameStart - 1])) --nameStart;
  const CString name = fullInputPath.Mid(nameStart);
  const int dot = name.ReverseFind('.');
  if (dot < 0) return fullInputPath;
  // A stem of nothing but dots is no stem: ".dat" is a name, not an extension.
  bool stem = false;
  for (int i = 0; i < dot; ++i) stem = stem || name[i] != '.';
  if (!stem) return fullInputPath;
  return fullInputPath.Left(nameStart + dot);
}
