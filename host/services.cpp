// SPDX-License-Identifier: MIT
// The kelb_ services other than disk reads: errors, memory, strings, debug
// printing and the list of partition maps.

#include "host/kelb_host.h"
#ifdef KELB_HOST_FAULTS
#include "host/kelb_host_faults.h"
#endif

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
kelb_err_t kelb_errno = KELB_ERR_NONE;
}

namespace {

std::string g_message;

#ifdef KELB_HOST_FAULTS
unsigned long g_malloc_calls = 0;
unsigned long g_malloc_fail_at = 0;  // call number that fails; 0: none
long g_live = 0;
#endif

bool g_debug_set = false;  // false: KELB_DEBUG decides
std::string g_debug;
#ifdef KELB_HOST_FAULTS
std::function<void(const std::string &)> g_debug_sink;
#endif

kelb_partition_map *g_maps = nullptr;

std::string vformat(const char *fmt, va_list ap) KELB_PRINTF(1, 0);
std::string vformat(const char *fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), fmt, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool list_has(const std::string &list, const char *word) {
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string item = list.substr(pos, comma - pos);
    // Blanks around an item are not part of it.
    while (!item.empty() && isspace(static_cast<unsigned char>(item.back()))) item.pop_back();
    size_t lead = 0;
    while (lead < item.size() && isspace(static_cast<unsigned char>(item[lead]))) lead++;
    item.erase(0, lead);
    if (item == "all" || item == word) return true;
    pos = comma + 1;
  }
  return false;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// kelb_real_dprintf's work, which may run out of memory.
void debug_line(const char *file, int line, const char *condition, const char *fmt, va_list ap)
    KELB_PRINTF(4, 0);
void debug_line(const char *file, int line, const char *condition, const char *fmt, va_list ap) {
  if (!kelb_host::debug_enabled(condition)) return;
  std::string text =
      std::string(file ? file : "?") + ":" + std::to_string(line) + ": " + vformat(fmt, ap);
#ifdef KELB_HOST_FAULTS
  if (g_debug_sink) return g_debug_sink(text);
#endif
  // Names and types in these lines come from the disk.
  const bool newline = !text.empty() && text.back() == '\n';
  if (newline) text.pop_back();
  fputs((kelb_host::printable(text) + (newline ? "\n" : "")).c_str(), stderr);
  fflush(stderr);
}

}  // namespace

extern "C" {

// The services below are called from modules, built without exceptions:
// nothing may be thrown through them, so memory running out is caught here.

kelb_err_t kelb_error(kelb_err_t code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  try {
    g_message = fmt ? vformat(fmt, ap) : std::string();
  } catch (const std::bad_alloc &) {
    g_message.assign("out of memory");  // within the string's own room: no allocation
  }
  va_end(ap);
  kelb_errno = code;
  return code;
}

void *kelb_malloc(size_t size) {
#ifdef KELB_HOST_FAULTS
  g_malloc_calls++;
  if (g_malloc_fail_at != 0 && g_malloc_calls == g_malloc_fail_at) {
    g_malloc_fail_at = 0;
    kelb_error(KELB_ERR_OUT_OF_MEMORY, "out of memory (allocation of %zu bytes)", size);
    return nullptr;
  }
#endif
  void *p = malloc(size ? size : 1);
  if (!p) {
    kelb_error(KELB_ERR_OUT_OF_MEMORY, "out of memory (allocation of %zu bytes)", size);
    return nullptr;
  }
#ifdef KELB_HOST_FAULTS
  g_live++;
#endif
  return p;
}

void kelb_free(void *ptr) {
  if (!ptr) return;
#ifdef KELB_HOST_FAULTS
  g_live--;
#endif
  free(ptr);
}

// Digits in `base` (2 to 36, or 0 for C-style prefixes); a "0x" prefix is
// taken in base 16 and 0. No sign and no leading blanks: text must start
// with a digit.
unsigned long kelb_strtoul(const char *str, char **end, int base) {
  const char *p = str;
  if (end) *end = const_cast<char *>(str);
  if (!str || base < 0 || base == 1 || base > 36) {
    kelb_error(KELB_ERR_BAD_ARGUMENT, "invalid base %d for a number", base);
    return 0;
  }
  if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      digit_value(p[2]) < 16) {
    p += 2;
    base = 16;
  } else if (base == 0) {
    base = p[0] == '0' ? 8 : 10;
  }
  if (digit_value(*p) >= base) {
    kelb_error(KELB_ERR_BAD_NUMBER, "unrecognized number '%.32s'", str);
    return 0;
  }
  // Counted in 64 bits whatever the width of long, so that the same texts
  // are numbers, and the same ones too large, on every machine.
  uint64_t value = 0;
  bool overflow = false;
  for (; digit_value(*p) < base; p++) {
    const unsigned d = static_cast<unsigned>(digit_value(*p));
    const uint64_t b = static_cast<uint64_t>(base);
    if (value > (UINT64_MAX - d) / b)
      overflow = true;
    else
      value = value * b + d;
  }
  if (end) *end = const_cast<char *>(p);
  if (overflow) {
    kelb_error(KELB_ERR_BAD_NUMBER, "number too large '%.32s'", str);
    return ULONG_MAX;
  }
  return value > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(value);
}

int kelb_sprintf(char *str, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = vsprintf(str, fmt, ap);
  va_end(ap);
  return n;
}

void *kelb_memmove(void *dest, const void *src, size_t n) { return memmove(dest, src, n); }

int kelb_strcmp(const char *s1, const char *s2) { return strcmp(s1, s2); }

void kelb_real_dprintf(const char *file, int line, const char *condition, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  try {
    debug_line(file, line, condition, fmt, ap);
  } catch (const std::bad_alloc &) {
    // A debug line that cannot be made is left out.
  }
  va_end(ap);
}

void kelb_partition_map_register(kelb_partition_map *map) {
  if (!map) return;
  kelb_partition_map **link = &g_maps;
  while (*link) {
    if (*link == map)  // already in the list: linking it again would loop
      return;
    link = &(*link)->next;
  }
  map->next = nullptr;
  *link = map;
}

void kelb_partition_map_unregister(kelb_partition_map *map) {
  for (kelb_partition_map **link = &g_maps; *link; link = &(*link)->next) {
    if (*link == map) {
      *link = map->next;
      map->next = nullptr;
      return;
    }
  }
}

}  // extern "C"

namespace kelb_host {

const std::string &error_message() { return g_message; }

void clear_error() {
  kelb_errno = KELB_ERR_NONE;
  g_message.clear();
}

#ifdef KELB_HOST_FAULTS
void fail_nth_malloc(unsigned long n) { g_malloc_fail_at = n ? g_malloc_calls + n : 0; }

unsigned long malloc_calls() { return g_malloc_calls; }

long live_allocations() { return g_live; }

void reset_counters() {
  g_malloc_calls = 0;
  g_malloc_fail_at = 0;
}

void set_debug_sink(std::function<void(const std::string &)> sink) {
  g_debug_sink = std::move(sink);
}

kelb_partition_map *find_map(const std::string &name) {
  for (kelb_partition_map *m = g_maps; m; m = m->next)
    if (m->name && name == m->name) return m;
  return nullptr;
}
#endif

void set_debug(const std::string &conditions) {
  g_debug_set = true;
  g_debug = conditions;
}

bool debug_enabled(const char *condition) {
  if (!condition) return false;
  if (!g_debug_set) {
    const char *env = getenv("KELB_DEBUG");
    return env && list_has(env, condition);
  }
  return list_has(g_debug, condition);
}

kelb_partition_map *maps() { return g_maps; }

}  // namespace kelb_host
