// SPDX-License-Identifier: MIT
// Lumvane's driver: banner, framework, paths, the locator's single pass (with
// the progress line on a terminal), the writer, and the key prompt.
#include "tool/lumvane.h"
#include "tool/progress.h"

#include <iostream>

CWinApp theApp;

CString g_strInputPath;
CString g_strOutputDir;
COffsetTable g_offsetTable;

int main(int argc, char* argv[]) {
  CString banner;
  banner.LoadString(IDS_BANNER);
  std::cout << banner.GetString() << std::flush;

  if (!AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0)) {
    std::cerr << " Fatal Error: MFC initialization failed" << std::endl;
    return 1;
  }

  int status = 1;
  if (argc < 2) {
    std::cerr << "\n Usage:\n\n      Lumvane.exe FILE\n" << std::endl;
  } else {
    g_strInputPath = MakeFullInputPath(argv[1]);
    g_strOutputDir = MakeOutputDir(g_strInputPath);
    g_offsetTable.clear();

    CString text;
    text.Format("\n Now Analyse this file: \n     %s", g_strInputPath.GetString());
    std::cout << text.GetString() << std::endl;

    // Drawn on standard error only while that is a terminal, and erased
    // before the next text on standard output.
    CProgressLine progress;
    const ScanProgress report = [&progress](ULONGLONG bytesRead, ULONGLONG total, size_t images) {
      progress.Update(bytesRead, total, images);
    };
    // One read of the input finds the starts and the ends together.
    if (LocateImages(g_strInputPath, report)) status = DumpPNGs(argv[1]) ? 0 : 1;
  }

  std::cout << "\n\n Any Key to Quit..." << std::endl;
  _getch();
  return status;
}
