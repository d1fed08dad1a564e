// SPDX-License-Identifier: MIT
#include "platform/afx.h"

INT_PTR CStringArray::Add(const CString& text) {
  m_items.push_back(text);
  return GetSize() - 1;
}

CString CStringArray::GetAt(INT_PTR index) const {
  if (index < 0 || index >= GetSize()) return CString();
  return m_items[static_cast<std::size_t>(index)];
}

void CStringArray::SetAt(INT_PTR index, const CString& text) {
  if (index < 0 || index >= GetSize()) return;
  m_items[static_cast<std::size_t>(index)] = text;
}

CString& CStringArray::operator[](INT_PTR index) {
  return m_items.at(static_cast<std::size_t>(index));
}

const CString& CStringArray::operator[](INT_PTR index) const {
  return m_items.at(static_cast<std::size_t>(index));
}
