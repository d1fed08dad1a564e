// SPDX-License-Identifier: MIT
#include "tool/command_line.h"

#include <cstring>

namespace {

bool Is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

CommandLine ParseList(int argc, char* argv[]) {
  CommandLine command;
  command.action = CommandLine::kList;
  int i = 2;
  if (i < argc && Is(argv[i], "--json")) {
    command.json = true;
    ++i;
  }
  if (i < argc && Is(argv[i], "--")) ++i;
  if (i >= argc) {
    command.action = CommandLine::kListUsage;
  } else if (i + 1 < argc) {
    command.action = CommandLine::kListUsage;
    command.extra = argv[i + 1];
  } else {
    command.file = argv[i];
  }
  return command;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char* argv[]) {
  CommandLine command;
  if (argc < 2) return command;
  const char* first = argv[1];
  if (Is(first, "--help")) {
    command.action = CommandLine::kHelp;
  } else if (Is(first, "--version")) {
    command.action = CommandLine::kVersion;
  } else if (Is(first, "--list")) {
    return ParseList(argc, argv);
  } else if (Is(first, "--")) {
    command.file = argc > 2 ? argv[2] : nullptr;
  } else {
    command.file = first;
  }
  return command;
}

const char* HelpText() {
  return "\n Usage:\n\n"
         "      Lumvane.exe FILE\n"
         "      Lumvane.exe --list [--json] FILE\n"
         "      Lumvane.exe --help | --version\n"
         "\n"
         " FILE            write every PNG image found in FILE to 00.png, 01.png, ...\n"
         "                 in the folder named after FILE less its extension (its\n"
         "                 files are deleted first), then wait for a key\n"
         " --list FILE     scan FILE as a run does, write nothing and wait for no key;\n"
         "                 print one line per image a run would write: NAME, OFFSET\n"
         "                 and LENGTH in bytes, END (IEND: its own IEND chunk; next:\n"
         "                 cut at the next image's start; eof: cut at the end of\n"
         "                 FILE) and HEALTH (ok, or the first fault of its chunks)\n"
         " --list --json   the same listing as JSON\n"
         " --              the next argument is FILE, even if it begins with -\n"
         "                 (so is any first argument other than these options)\n"
         " --help          print this text\n"
         " --version       print the version\n"
         "\n"
         " Exit status: 0 done (a listing: FILE was read), 1 otherwise.\n";
}
