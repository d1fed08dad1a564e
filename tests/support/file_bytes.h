// SPDX-License-Identifier: MIT
// A whole file's bytes, read or written in one call, for tests on every
// build (paths in the platform's own spelling; on Windows, narrow paths go
// through the ANSI code page, as the tool's do).
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The bytes of the file at path; empty when it is missing or cannot be read.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string ReadFileBytes(const char* path) { return ReadFileBytes(std::string(path)); }
inline std::string ReadFileBytes(const std::filesystem::path& path) {
  return ReadFileBytes(path.string());
}

// Makes or cuts the file at path to hold exactly the size bytes at data. A
// failure is a failure of the calling test (naming the path) and returns
// false, so that a caller may also stop with ASSERT_TRUE.
inline bool WriteFileBytes(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (out.good()) return true;
  ADD_FAILURE() << "cannot write " << path;
  return false;
}
inline bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  return WriteFileBytes(path, bytes.data(), bytes.size());
}
inline bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  return WriteFileBytes(path, bytes.data(), bytes.size());
}
inline bool WriteFileBytes(const char* path, const std::string& bytes) {
  return WriteFileBytes(std::string(path), bytes);
}
inline bool WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  return WriteFileBytes(path.string(), bytes);
}
inline bool WriteFileBytes(const std::filesystem::path& path,
                           const std::vector<unsigned char>& bytes) {
  return WriteFileBytes(path.string(), bytes);
}
