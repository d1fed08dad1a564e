// SPDX-License-Identifier: MIT
// kelb-probe's listing on standard output: a table per map, or JSON.

#include "host/probe.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace kelb_probe {

namespace {

// A JSON string holding `s`. Well-formed UTF-8 is copied as it is; any other
// byte (paths and names are bytes, not always UTF-8) becomes \u00XX with its
// value, so the output always parses. Since real characters U+0080 to U+00FF
// are written as their UTF-8 bytes, such an escape stands only for a raw byte.
std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = kelb_host::utf8_length(s, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || n == 0) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.append(s, i, n);
      i += n;
      continue;
    }
    i++;
  }
  return out + "\"";
}

std::string json_partition(const row &r) {
  char buf[160];
  snprintf(buf, sizeof buf,
           "\"index\": %" PRId32 ", \"start\": %" PRIu64 ", \"length\": %" PRIu64
           ", \"offset\": %" PRIu64,
           r.part.index, r.part.start, r.part.length, r.part.offset);
  const extent e = extent_of(r.part);
  const auto number = [](const std::string &v) { return v == "-" ? std::string("null") : v; };
  return "{\"name\": " + json_string(r.name) + ", " + buf + ", \"end\": " + number(e.end) +
         ", \"start_byte\": " + e.start_byte + ", \"end_byte\": " + number(e.end_byte) +
         ", \"length_bytes\": " + e.length_bytes + "}";
}

// What a map's OFFSET is: each module's rule, so that the table's header
// says it; "" for a map of no module known here.
const char *offset_meaning(const char *map) {
  const std::string name = map;
  if (name == "sun_partition_map") return "the label's sector";
  if (name == "Linux/ADFS partition map") return "the ADFS boot block's sector";
  if (name == "amiga_partition_map") return "the partition block's byte position";
  if (name == "apple_partition_map") return "the map entry's byte position";
  return "";
}

// Characters `text` takes on a terminal, for text printable() made.
size_t width_of(const std::string &text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // not a continuation byte
  }));
}

// The map's header line and its table. NAME is left-aligned and at least
// 6 characters wide, SIZE right-aligned and at least 6, START, END, LENGTH
// and OFFSET right-aligned and at least 12; a column widens to its widest
// cell, and one blank separates two columns. `bytes`: START, END and
// LENGTH in bytes instead of sectors.
void print_table(const std::string &image, const map_result &m, bool bytes) {
  const size_t kColumns = 6;
  std::vector<std::vector<std::string>> lines = {
      {"NAME", "START", "END", "LENGTH", "SIZE", "OFFSET"}};
  for (const row &r : m.rows) {
    const extent e = extent_of(r.part);
    lines.push_back({kelb_host::printable(r.name), bytes ? e.start_byte : e.start,
                     bytes ? e.end_byte : e.end, bytes ? e.length_bytes : e.length,
                     human_size(r.part.length), std::to_string(r.part.offset)});
  }
  size_t width[kColumns] = {6, 12, 12, 12, 6, 12};
  for (const auto &cells : lines)
    for (size_t i = 0; i < kColumns; i++) width[i] = std::max(width[i], width_of(cells[i]));
  std::string units = bytes ? "START, END and LENGTH in bytes" : "sectors of 512 bytes";
  const std::string offset = offset_meaning(m.map->name);
  if (!offset.empty()) units += "; OFFSET: " + offset;
  out("%s: %s (%s)\n", kelb_host::printable(image).c_str(),
      kelb_host::printable(m.map->name).c_str(), units.c_str());
  for (const auto &cells : lines) {
    std::string line = cells[0];
    line.append(width[0] - width_of(cells[0]), ' ');
    for (size_t i = 1; i < kColumns; i++) {
      line.append(1 + width[i] - cells[i].size(), ' ');  // the blank between, then the padding
      line += cells[i];
    }
    out("%s\n", line.c_str());
  }
}

}  // namespace

void list_maps(const options &o, uint64_t sectors, const std::vector<map_result> &accepted) {
  if (!o.json) {
    for (size_t i = 0; i < accepted.size(); i++) {
      if (i) out("\n");
      print_table(o.image, accepted[i], o.bytes);
    }
    return;
  }
  out("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": [", json_string(o.image).c_str(),
      sectors);
  for (size_t i = 0; i < accepted.size(); i++) {
    out("%s\n  {\"name\": %s, \"partitions\": [", i ? "," : "",
        json_string(accepted[i].map->name).c_str());
    for (size_t k = 0; k < accepted[i].rows.size(); k++)
      out("%s\n    %s", k ? "," : "", json_partition(accepted[i].rows[k]).c_str());
    out("]}");
  }
  out("]}\n");
}

void list_none(const options &o, uint64_t sectors, const std::vector<std::string> &rejected) {
  if (o.json) {
    out("{\"disk\": %s, \"sectors\": %" PRIu64 ", \"maps\": []}\n", json_string(o.image).c_str(),
        sectors);
    return;
  }
  out("%s: no partition map recognised\n", kelb_host::printable(o.image).c_str());
  for (const std::string &why : rejected) out("  %s\n", kelb_host::printable(why).c_str());
}

void list_one(const options &o, kelb_partition_map *map, const row &r) {
  if (o.json)
    out("{\"disk\": %s, \"map\": %s, \"partition\": %s}\n", json_string(o.image).c_str(),
        json_string(map->name).c_str(), json_partition(r).c_str());
  else
    print_table(o.image, map_result{map, {r}}, o.bytes);
}

}  // namespace kelb_probe
