// SPDX-License-Identifier: MIT
// Lumvane's driver: banner, framework, paths, the locator's single pass (with
// the progress line on a terminal), the writer, and the key prompt; and the
// options (command_line.h), which print no banner and wait for no key.
#include "tool/command_line.h"
#include "tool/lumvane.h"
#include "tool/png_list.h"
#include "tool/progress.h"

#include "platform/printable.h"

#include <cstdlib>
#include <iostream>
#include <new>

CWinApp theApp;

CString g_strInputPath;
CString g_strOutputDir;
COffsetTable g_offsetTable;

namespace {

// Memory kept back from the start and given up at the first allocation that
// fails, so that the exception, the unwinding and the message that follow
// it still find some.
char* g_memoryReserve = nullptr;
constexpr size_t kMemoryReserve = 64 * 1024;

void OnOutOfMemory() {
  if (g_memoryReserve == nullptr) throw std::bad_alloc();
  std::free(g_memoryReserve);
  g_memoryReserve = nullptr;
  throw std::bad_alloc();
}

// The banner's version line: its first line that is not empty.
CString VersionLine() {
  CString banner;
  banner.LoadString(IDS_BANNER);
  const std::string& text = banner.str();
  const size_t from = text.find_first_not_of('\n');
  if (from == std::string::npos) return CString();
  const size_t to = text.find('\n', from);
  return CString(text.substr(from, to - from).c_str());
}

// Standard output failed somewhere (a pipe whose reader went away, a full
// disk): what was asked for was not shown, so it did not succeed.
int CheckedOutput(int status) {
  std::cout << std::flush;
  if (std::cout) return status;
  std::cerr << "\n Console Write Failed!\n" << std::endl;
  return 1;
}

// Every form but the run: no banner, no key prompt.
int RunOption(const CommandLine& command) {
  switch (command.action) {
    case CommandLine::kHelp:
      std::cout << HelpText();
      return CheckedOutput(0);
    case CommandLine::kVersion:
      std::cout << VersionLine().GetString() << "\n";
      return CheckedOutput(0);
    case CommandLine::kListUsage:
      std::cerr << "\n Usage:\n\n      Lumvane.exe --list [--json] FILE\n" << std::endl;
      return 1;
    default:
      break;
  }
  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << " Fatal Error: MFC initialization failed" << std::endl;
    return 1;
  }
  try {
    return CheckedOutput(ListImages(command.file, command.json));
  } catch (const std::bad_alloc&) {
    std::cerr << "\n Not enough memory!\n" << std::endl;
    return 1;
  }
}

int ReportNoMemory() {
  std::cout << "\n Not enough memory!\n" << std::endl;
  return 1;
}

// The key prompt that ends every run that started; gives the exit status.
int QuitPrompt(int status) {
  std::cout << "\n\n Any Key to Quit..." << std::endl;
  // Standard output failed somewhere (a pipe whose reader went away, a full
  // disk): the run did not show what it did, so it did not succeed; and
  // the prompt did not show either, so no key is waited for.
  if (!std::cout) {
    std::cerr << "\n Console Write Failed!\n" << std::endl;
    return 1;
  }
  _getch();
  return status;
}

// The run on the input named file (as typed): the scan, then the images
// written; gives the exit status.
int AnalyseAndDump(LPCTSTR file) {
  g_strInputPath = MakeFullInputPath(file);
  g_strOutputDir = MakeOutputDir(g_strInputPath);
  g_offsetTable.clear();

  CString text;
  text.Format("\n Now Analyse this file: \n     %s", AfxPrintable(g_strInputPath).GetString());
  std::cout << text.GetString() << std::endl;

  // Drawn on standard error only while that is a terminal, and erased
  // before the next text on standard output.
  CProgressLine progress;
  const ScanProgress report = [&progress](ULONGLONG bytesRead, ULONGLONG total, size_t images) {
    progress.Update(bytesRead, total, images);
  };
  // An output folder that can never be written is refused before the
  // input is read, however long that would take; then one read of the
  // input finds the starts and the ends together.
  if (CheckOutputFolder(file) && LocateImages(g_strInputPath, report))
    return DumpPNGs(file) ? 0 : 1;
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Taken with malloc: the nothrow new throws and catches inside, and with
  // memory that short the exception cannot be made, which ends the process.
  g_memoryReserve = static_cast<char*>(std::malloc(kMemoryReserve));
  std::set_new_handler(OnOutOfMemory);
  const CommandLine command = ParseCommandLine(argc, argv);
  if (command.action != CommandLine::kRun) return RunOption(command);
  int status = 1;
  try {
    // Without the reserve there is not even the memory for the exception
    // that reports a failed allocation: said at once, without one.
    if (g_memoryReserve == nullptr) return QuitPrompt(ReportNoMemory());
    CString banner;
    banner.LoadString(IDS_BANNER);
    std::cout << banner.GetString() << std::flush;

    if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
      std::cerr << " Fatal Error: MFC initialization failed" << std::endl;
      return 1;
    }

    if (command.file == nullptr)
      std::cerr << "\n Usage:\n\n      Lumvane.exe FILE\n" << std::endl;
    else
      status = AnalyseAndDump(command.file);
  } catch (const std::bad_alloc&) {
    // Whatever was under way has been undone on the way here: the table is
    // only memory, and a partly written image removes itself.
    status = ReportNoMemory();
  }
  return QuitPrompt(status);
}
