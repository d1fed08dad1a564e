// SPDX-License-Identifier: MIT
#include "platform/afx.h"

INT_PTR CStringArray::Add(const CString& text) {
  m_items.push_back(text);
  return GetSize() - 1;
}

CString& CStringArray::operator[](INT_PTR index) {
  return m_items.at(static_cast<std::size_t>(index));
}
