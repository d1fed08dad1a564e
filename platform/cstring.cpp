// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/afx.h"

namespace {

const char kWhiteSpace[] = " \t\r\n\v\f";

// Clamps a caller's position into [0, length].
std::size_t Clamp(int value, std::size_t length) {
  if (value < 0) return 0;
  return std::min(static_cast<std::size_t>(value), length);
}

}  // namespace

CString::CString(const char* text) : m_text(text ? text : "") {}

CString::CString(const char* text, int length) {
  if (text != nullptr && length > 0) m_text.assign(text, length);
}

CString::CString(char ch, int repeat) {
  if (repeat > 0) m_text.assign(static_cast<std::size_t>(repeat), ch);
}

char CString::GetAt(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= m_text.size()) return '\0';
  return m_text[static_cast<std::size_t>(index)];
}

CString& CString::operator=(const char* text) {
  m_text = text ? text : "";
  return *this;
}

CString& CString::operator+=(const CString& text) {
  m_text += text.m_text;
  return *this;
}

CString& CString::operator+=(const char* text) {
  if (text) m_text += text;
  return *this;
}

CString& CString::operator+=(char ch) {
  m_text += ch;
  return *this;
}

CString CString::Left(int count) const {
  return CString(m_text.substr(0, Clamp(count, m_text.size())));
}

CString CString::Mid(int first) const {
  return CString(m_text.substr(Clamp(first, m_text.size())));
}

CString CString::Mid(int first, int count) const {
  const std::size_t start = Clamp(first, m_text.size());
  return CString(m_text.substr(start, Clamp(count, m_text.size() - start)));
}

int CString::Find(char ch, int start) const {
  if (start < 0) start = 0;
  const std::size_t pos = m_text.find(ch, static_cast<std::size_t>(start));
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const {
  const std::size_t pos = m_text.rfind(ch);
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Replace(char oldCh, char newCh) {
  int count = 0;
  for (char& c : m_text) {
    if (c == oldCh) {
      c = newCh;
      ++count;
    }
  }
  return count;
}

CString& CString::TrimLeft() { return TrimLeft(kWhiteSpace); }
CString& CString::TrimRight() { return TrimRight(kWhiteSpace); }

CString& CString::TrimLeft(const char* targets) {
  const std::size_t pos = m_text.find_first_not_of(targets ? targets : "");
  m_text.erase(0, pos == std::string::npos ? m_text.size() : pos);
  return *this;
}

CString& CString::TrimRight(const char* targets) {
  const std::size_t pos = m_text.find_last_not_of(targets ? targets : "");
  m_text.erase(pos == std::string::npos ? 0 : pos + 1);
  return *this;
}

void CString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatV(format, args);
  va_end(args);
}

void CString::FormatV(const char* format, va_list args) {
  if (format == nullptr) {
    m_text.clear();
    return;
  }
  va_list measure;
  va_copy(measure, args);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) {
    m_text.clear();
    return;
  }
  std::string out(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
  out.resize(static_cast<std::size_t>(needed));
  m_text.swap(out);
}

char* CString::GetBuffer(int minLength) {
  if (minLength > 0 && static_cast<std::size_t>(minLength) > m_text.size())
    m_text.resize(static_cast<std::size_t>(minLength), '\0');
  return m_text.data();
}

void CString::ReleaseBuffer(int newLength) {
  if (newLength < 0) {
    m_text.resize(std::strlen(m_text.c_str()));
  } else {
    m_text.resize(std::min(static_cast<std::size_t>(newLength), m_text.size()));
  }
}

CString operator+(const CString& a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}

CString operator+(const CString& a, const char* b) {
  CString r(a);
  r += b;
  return r;
}

CString operator+(const CString& a, char b) {
  CString r(a);
  r += b;
  return r;
}
