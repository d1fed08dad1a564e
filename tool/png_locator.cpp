#include "lumvane.h"

#include "platform/iobuffer.h"

#include <iostream>

namespace {

// Reads of this size stay in the cache while they are searched; any size
// gives the same table.
constexpr size_t kScanReadSize = 256 * 1024;

// Reads the file at path once from its start, handing each read to
// feed(data, n, bytesRead, length), which returns false when it wants no
// more. The length is fixed when the read begins: a file that grows meanwhile
// is read as it was, one that shrinks as far as it goes. Returns 1 when the
// reads are done, 0 after writing the failure's message.
template <class Feed>
int ReadInput(const CString& path, Feed feed)
{
    CFile file;
    if (!file.Open(path, CFile::modeRead)) {
        std::cout << "\n File Open Failed!\n" << std::endl;
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    const ULONGLONG length = file.GetLength();
    if (length == 0 && GetLastError() != ERROR_SUCCESS) {
        std::cout << "\n File Read Failed!\n" << std::endl;
        return 0;
    }
    const CIOBuffer buffer = AfxAllocIOBuffer(kScanReadSize);
    if (!buffer) {
        std::cout << "\n Not enough memory!\n" << std::endl;
        return 0;
    }
    ULONGLONG done = 0;
    while (done < length) {
        const ULONGLONG want = length - done < kScanReadSize ? length - done : kScanReadSize;
        const LONGLONG got = file.Read(buffer.get(), want);
        if (got < 0) {
            std::cout << "\n File Read Failed!\n" << std::endl;
            return 0;
        }
        if (got == 0)
            break;   // the file became shorter: scan what there was
        done += static_cast<ULONGLONG>(got);
        if (!feed(buffer.get(), static_cast<size_t>(got), done, length))
            break;
    }
    file.Close();
    return 1;
}

}  // namespace

int ScanFile(const unsigned char* pattern, int patternLength, const CString& path,
             int recordStarts)
{
    CPNGScanner scanner(pattern, static_cast<size_t>(patternLength), recordStarts, g_offsetTable);
    return ReadInput(path, [&](const unsigned char* data, size_t n, ULONGLONG, ULONGLONG) {
        return scanner.Feed(data, n);
    });
}

int LocateImages(const CString& path, const ScanProgress& progress)
{
    CPNGLocator locator(g_offsetTable);
    const int result = ReadInput(path, [&](const unsigned char* data, size_t n, ULONGLONG done,
                                           ULONGLONG length) {
        locator.Feed(data, n);
        if (progress)
            progress(done, length);
        return true;
    });
    locator.Finish();
    return result;
}
