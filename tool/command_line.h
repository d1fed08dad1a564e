// SPDX-License-Identifier: MIT
// Lumvane's command line. A run is "Lumvane.exe FILE", as it always was; the
// only options are these exact first arguments: --help, --version,
// --list [--json] FILE, and "--", after which the next argument is FILE
// whatever it looks like. Any other first argument is FILE, so every name
// that worked before still names a file ("-x", "--lists", "--json").
#pragma once

struct CommandLine {
  enum Action {
    kRun,        // the run: file, or null when none was named (the usage)
    kHelp,       // --help
    kVersion,    // --version
    kList,       // --list [--json] FILE
    kListUsage,  // --list without its FILE, or with more than one
  };
  Action action = kRun;
  bool json = false;            // --list --json
  const char* file = nullptr;   // the input's name as typed
  const char* extra = nullptr;  // kListUsage: the argument after FILE, if that was it
};

// The action argv asks for (argv[0] is the program's own name). Arguments
// after FILE are ignored by a run, as they always were; --list refuses
// them, since a listing of one file while several were named would answer
// another question than the one asked.
CommandLine ParseCommandLine(int argc, char* argv[]);

// The text --help prints: the usage of every form and what each does.
const char* HelpText();
