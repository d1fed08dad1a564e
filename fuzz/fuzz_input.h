// SPDX-License-Identifier: MIT
// FuzzInput: takes fields from the front of a fuzz input. Every read is
// defined for any input: past the end a field reads as zero, so every
// prefix of an input is itself a valid input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

  uint16_t U16() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }

  // Up to n bytes as text (a NUL inside it ends the text the way C sees it,
  // which is also what a caller passing it as const char* gets).
  std::string Text(size_t n) {
    n = n < Left() ? n : Left();
    std::string s(reinterpret_cast<const char*>(m_data + m_pos), n);
    m_pos += n;
    return s;
  }

  const uint8_t* Rest() const { return m_data + m_pos; }
  size_t Left() const { return m_size - m_pos; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// Prints what went wrong and aborts, so that libFuzzer (or the corpus run)
// keeps the input and reports it.
[[noreturn]] void FuzzFail(const char* what, ...) __attribute__((format(printf, 1, 2)));
#define FUZZ_CHECK(cond, ...)           \
  do {                                  \
    if (!(cond)) FuzzFail(__VA_ARGS__); \
  } while (0)
