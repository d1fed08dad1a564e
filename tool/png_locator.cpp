#include "lumvane.h"

#include <iostream>
#include <vector>

namespace {

// Reads of this size stay in the cache while they are searched; any size
// gives the same table.
constexpr size_t kScanReadSize = 256 * 1024;

}  // namespace

int ScanFile(const unsigned char* pattern, int patternLength, const CString& path,
             int recordStarts, const ScanProgress& progress)
{
    CFile file;
    if (!file.Open(path, CFile::modeRead)) {
        std::cout << "\n File Open Failed!\n" << std::endl;
        return 0;
    }

    // The length is fixed when the scan begins, as the number of reads was;
    // a file that grows meanwhile is scanned as it was.
    SetLastError(ERROR_SUCCESS);
    const ULONGLONG length = file.GetLength();
    ULONGLONG remaining = length;
    if (remaining == 0 && GetLastError() != ERROR_SUCCESS) {
        std::cout << "\n File Read Failed!\n" << std::endl;
        return 0;
    }

    std::vector<unsigned char> buffer(kScanReadSize);
    CPNGScanner scanner(pattern, static_cast<size_t>(patternLength), recordStarts, g_offsetTable);
    if (progress)
        progress(0, length, g_offsetTable.size());
    while (remaining > 0 && scanner.WantsMore()) {
        const ULONGLONG want = remaining < buffer.size() ? remaining : buffer.size();
        const LONGLONG got = file.Read(buffer.data(), want);
        if (got < 0) {
            std::cout << "\n File Read Failed!\n" << std::endl;
            return 0;
        }
        if (got == 0)
            break;   // the file became shorter: scan what there was
        scanner.Feed(buffer.data(), static_cast<size_t>(got));
        remaining -= static_cast<ULONGLONG>(got);
        if (progress)
            progress(length - remaining, length, g_offsetTable.size());
    }
    file.Close();
    return 1;
}
