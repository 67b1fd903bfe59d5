#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "commands.h"
#include "driver.h"
#include "output_cache.h"
#include "settings.h"
#include "support.h"

namespace {

// Runs start-page, the page body and end-page over one page written through
// libcups, with the given margins, and returns the bytes sent. A cancelled
// page is cancelled right after start-page.
Bytes SendPage(const TestPage& page, std::uint32_t marginLeft, std::int32_t marginTop, bool cancelled)
{
    TempDir dir;
    WriteRaster(dir.File("page.ras"), {page});
    const int fd = open(dir.File("page.ras").c_str(), O_RDONLY);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header{};
    EXPECT_EQ(cupsRasterReadHeader2(ras, &header), 1U);

    gMarginLeft = marginLeft;
    gMarginTop = marginTop;
    gCanceled = 0;
    ResetImageCache();
    const Capture sent = CaptureStdout(
        [&] {
            ASSERT_TRUE(AllocatePageBuffers(header));
            PageSetup();
            gCanceled = cancelled ? 1 : 0;
            SendPageBody(ras, header);
            PageFinish();
            JobFinish();
        },
        true);
    gCanceled = 0;
    cupsRasterClose(ras);
    close(fd);
    EXPECT_EQ(gFeed, 0);
    EXPECT_EQ(szRasterBuf, nullptr);
    return sent.All();
}

TEST(BlankRowTest, WhiteDotsAndClearPaddingBitsOnly)
{
    const struct {
        const char* row;
        unsigned width;
        bool blank;
    } cases[] = {
        // 4,958 pixels: six in the last byte.
        {"FF*619 FC", 4958, true},
        {"FF*619 FD", 4958, false},
        {"FF*620", 4958, false},
        {"FF*300 FE FF*318 FC", 4958, false},
        {"FF*75", 600, true},
        {"FE FF*74", 600, false},
        {"FF FE FF*73", 600, false},
        {"FF*37 FE FF*37", 600, false},
        {"FF*73 FE FF", 600, false},
        {"FF*74 FE", 600, false},
        {"00 FF FF FF", 32, false},
        // Narrower than eight pixels, alone and behind one margin byte.
        {"E0", 3, true},
        {"E1", 3, false},
        {"60", 3, false},
        {"FF E0", 3, true},
        {"FF 60", 3, false},
    };
    for (const auto& c : cases) {
        const Bytes row = Hex(c.row);
        EXPECT_EQ(IsBlankRow(row.data(), static_cast<std::uint32_t>(row.size()), c.width), c.blank) << c.row;
    }
}

TEST(PageBody, OwedBlankRowsGoBeforeTheNextPrintedRowAndBeforeEndPage)
{
    const struct {
        const char* what;
        unsigned width, height;
        std::vector<std::pair<std::size_t, const char*>> rows;  // the rows that are not white
        std::size_t rowsSent;                                   // the rest of the page never comes
        std::uint32_t marginLeft;
        std::int32_t marginTop;
        bool cancelled;
        Bytes expected;  // between start-page and end-page
    } cases[] = {
        {"white page", 16, 3, {}, 3, 0, 2, false, Repeat(kBlank, 5)},
        {"printed rows", 16, 5, {{1, "12 34"}, {3, "00 FF"}}, 5, 0, 1, false,
         Cat({Repeat(kBlank, 2), RowCommand(Hex("01 ED CB")), kBlank, RowCommand(Hex("00 FF")), kBlank})},
        {"left margin", 24, 1, {{0, "12 34 56"}}, 1, 3, 0, false, RowCommand(Hex("FE 00 00 ED 01 CB A9"))},
        {"padding bit set", 4958, 2, {{0, "FF*619 FD"}}, 2, 0, 0, false,
         Cat({RowCommand(Hex("82 00 82 00 82 00 82 00 92 00 00 02")), kBlank})},
        {"short page", 16, 6, {{0, "00 00"}}, 2, 0, 1, false, Cat({kBlank, RowCommand(Hex("01 FF FF")), kBlank})},
        {"cancelled page", 16, 4, {}, 4, 0, 3, true, Repeat(kBlank, 3)},
    };
    for (const auto& c : cases) {
        TestPage page = WhitePage(MonoHeader(c.width, c.height, 72, 72));
        for (const auto& [y, row] : c.rows)
            page.rows[y] = Hex(row);
        page.rows.resize(c.rowsSent);
        EXPECT_TRUE(SameBytes(SendPage(page, c.marginLeft, c.marginTop, c.cancelled), Cat({kStart, c.expected, kEnd})))
            << c.what;
    }
}

}  // namespace
