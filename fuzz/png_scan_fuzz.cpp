// Fuzz target: the PNG scanning core against a plain reference scan.
//
// The reference below is written straight from the locator's rules, one
// position at a time over the whole input held in memory, with none of the
// core's tricks (pair search, window over read boundaries, early stop). The
// core runs four ways: one Feed of everything, both passes fed in pieces
// whose sizes come from the input, the end pass stopping once the scanner
// wants no more, as ScanFile does, and (with the PNG patterns) the single
// pass that finds starts and markers together, in the same pieces. All
// tables must equal the reference's: same entries, same starts, same ends.
//
// Input: byte 0 is a flag byte: bit 0 set takes the two patterns from the
// input (1 to 16 bytes each, exercising the core for any pattern) instead of
// the PNG signature and "IEND"; bits 1-3 give a count c of piece sizes. Then
// (with bit 0) a length byte and that many pattern bytes, twice; then c
// 16-bit little-endian piece sizes, used in turn (0 feeds nothing); the rest
// is the stream.
#include "fuzz_input.h"
#include "png_scan.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace {

constexpr uint64_t kAdvance = 9;
constexpr uint64_t kIHDRAt = 12;
constexpr unsigned char kIHDR[4] = {'I', 'H', 'D', 'R'};

bool Occurs(const uint8_t* s, uint64_t n, uint64_t p, const std::vector<uint8_t>& pat)
{
    if (p + pat.size() > n)
        return false;
    for (size_t k = 0; k < pat.size(); ++k)
        if (s[p + k] != pat[k])
            return false;
    return true;
}

// Start mode: every occurrence with "IHDR" 12 bytes on is an image start;
// after any occurrence the search goes on 9 bytes on.
COffsetTable ReferenceStarts(const uint8_t* s, uint64_t n, const std::vector<uint8_t>& pat)
{
    COffsetTable t;
    uint64_t p = 0;
    while (p < n) {
        if (!Occurs(s, n, p, pat)) {
            ++p;
            continue;
        }
        bool ihdr = p + kIHDRAt + 4 <= n;
        for (size_t k = 0; ihdr && k < 4; ++k)
            ihdr = s[p + kIHDRAt + k] == kIHDR[k];
        if (ihdr)
            t.push_back({p, kNoEnd});
        p += kAdvance;
    }
    return t;
}

// End mode: an occurrence preceded by four zero bytes is a marker ending at
// e = p + 8. The waiting entry takes the first marker whose tag begins at or
// after its start (p >= start), unless e lies beyond the next entry's start:
// then that marker belongs to a later image, the next entry waits instead
// and takes the marker only if p >= its own start.
void ReferenceEnds(const uint8_t* s, uint64_t n, const std::vector<uint8_t>& pat, COffsetTable& t)
{
    size_t waiting = 0;
    uint64_t p = 0;
    while (p < n && waiting < t.size()) {
        if (!Occurs(s, n, p, pat)) {
            ++p;
            continue;
        }
        const bool marker = p >= 4 && s[p - 4] == 0 && s[p - 3] == 0 && s[p - 2] == 0 && s[p - 1] == 0;
        if (marker && p >= t[waiting].start) {
            const uint64_t e = p + 8;
            while (waiting + 1 < t.size() && e > t[waiting + 1].start)
                ++waiting;
            if (p >= t[waiting].start) {
                t[waiting].end = e;
                ++waiting;
            }
        }
        p += kAdvance;
    }
}

// Feeds the stream in pieces of the given sizes, in turn; stops early when
// the scanner wants no more (and then checks that it really ignores more).
void FeedInPieces(CPNGScanner& sc, const uint8_t* s, size_t n, const std::vector<size_t>& sizes)
{
    size_t at = 0, k = 0;
    unsigned zeroRun = 0;
    while (at < n && sc.WantsMore()) {
        size_t piece = sizes.empty() ? n : sizes[k++ % sizes.size()];
        // Sizes that are all 0 would never move on.
        zeroRun = piece == 0 ? zeroRun + 1 : 0;
        if (zeroRun > sizes.size())
            piece = n - at;
        if (piece > n - at)
            piece = n - at;
        const bool more = sc.Feed(s + at, piece);
        at += piece;
        FUZZ_CHECK(more == sc.WantsMore(), "Feed's result differs from WantsMore");
        FUZZ_CHECK(sc.StreamLength() == at, "stream length %" PRIu64 " after %zu bytes",
                   sc.StreamLength(), at);
    }
    if (at < n)
        FUZZ_CHECK(!sc.Feed(s + at, n - at), "a complete scan took more bytes");
}

void Expect(const COffsetTable& got, const COffsetTable& want, const char* how)
{
    if (got == want)
        return;
    std::fprintf(stderr, "%s: %zu entries, reference %zu\n", how, got.size(), want.size());
    for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
        if (i < got.size() && i < want.size() && got[i] == want[i])
            continue;
        std::fprintf(stderr, "  entry %zu: core ", i);
        if (i < got.size())
            std::fprintf(stderr, "[%" PRIu64 ", %" PRIx64 ")", got[i].start, got[i].end);
        std::fprintf(stderr, "  reference ");
        if (i < want.size())
            std::fprintf(stderr, "[%" PRIu64 ", %" PRIx64 ")", want[i].start, want[i].end);
        std::fputc('\n', stderr);
    }
    FuzzFail("%s: the core's table differs from the reference scan", how);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    std::vector<uint8_t> startPat(kPNGSignature, kPNGSignature + sizeof kPNGSignature);
    std::vector<uint8_t> endPat(kIENDTag, kIENDTag + sizeof kIENDTag);
    if (flags & 1) {
        for (std::vector<uint8_t>* pat : {&startPat, &endPat}) {
            const size_t len = 1 + in.Byte() % 16;
            pat->clear();
            for (size_t k = 0; k < len; ++k)
                pat->push_back(in.Byte());
        }
    }
    std::vector<size_t> sizes((flags >> 1) & 7);
    for (size_t& s : sizes)
        s = in.U16();
    const uint8_t* s = in.Rest();
    const size_t n = in.Left();

    COffsetTable want = ReferenceStarts(s, n, startPat);
    ReferenceEnds(s, n, endPat, want);

    // One Feed of everything.
    COffsetTable whole;
    ScanBuffer(s, n, startPat.data(), startPat.size(), 1, whole);
    ScanBuffer(s, n, endPat.data(), endPat.size(), 0, whole);
    Expect(whole, want, "one piece");

    // In pieces, as a file is read.
    COffsetTable pieces;
    {
        CPNGScanner starts(startPat.data(), startPat.size(), 1, pieces);
        FeedInPieces(starts, s, n, sizes);
    }
    {
        CPNGScanner ends(endPat.data(), endPat.size(), 0, pieces);
        FeedInPieces(ends, s, n, sizes);
    }
    Expect(pieces, want, "in pieces");

    // The single pass the driver runs, in the same pieces (it knows only the
    // PNG patterns), checking between pieces that the table only grows.
    if (!(flags & 1)) {
        COffsetTable once{{1, 2}};
        CPNGLocator locator(once);
        FUZZ_CHECK(once.empty(), "the locator did not empty its table");
        size_t at = 0, k = 0;
        unsigned zeroRun = 0;
        size_t seen = 0;
        while (at < n) {
            size_t piece = sizes.empty() ? n : sizes[k++ % sizes.size()];
            zeroRun = piece == 0 ? zeroRun + 1 : 0;
            if (zeroRun > sizes.size() || piece > n - at)
                piece = n - at;
            locator.Feed(s + at, piece);
            at += piece;
            FUZZ_CHECK(locator.StreamLength() == at, "single pass: stream length %" PRIu64
                       " after %zu bytes", locator.StreamLength(), at);
            FUZZ_CHECK(once.size() >= seen, "single pass: the table shrank");
            seen = once.size();
        }
        locator.Finish();
        Expect(once, want, "single pass");
    }

    // What the writer relies on: starts rise, a paired image holds at least
    // its tag and CRC, and paired ends rise.
    uint64_t lastEnd = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(i == 0 || want[i].start > want[i - 1].start, "starts out of order");
        if (want[i].end == kNoEnd)
            continue;
        FUZZ_CHECK(want[i].end >= want[i].start + 8, "entry %zu is shorter than 8 bytes", i);
        FUZZ_CHECK(want[i].end > lastEnd || lastEnd == 0, "ends out of order");
        lastEnd = want[i].end;
    }
    return 0;
}
