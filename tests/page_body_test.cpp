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
Bytes SendPage(const TestPage& page, std::uint32_t marginLeft, std::int32_t marginTop, bool cancelled = false)
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

bool Blank(const Bytes& row, unsigned width)
{
    return IsBlankRow(row.data(), static_cast<std::uint32_t>(row.size()), width);
}

TEST(BlankRowTest, PartialLastByteMustHaveWhitePixelsAndClearPadding)
{
    Bytes row(620, 0xFF);
    row.back() = 0xFC;  // 4,958 pixels: six in the last byte
    EXPECT_TRUE(Blank(row, 4958));
    row.back() = 0xFD;
    EXPECT_FALSE(Blank(row, 4958));
    row.back() = 0xFF;
    EXPECT_FALSE(Blank(row, 4958));
    row.back() = 0xFC;
    row[300] = 0xFE;
    EXPECT_FALSE(Blank(row, 4958));
}

TEST(BlankRowTest, WholeBytesMustAllBeWhite)
{
    Bytes row(75, 0xFF);
    EXPECT_TRUE(Blank(row, 600));
    for (const std::size_t at : {0UL, 1UL, 37UL, 73UL, 74UL}) {
        Bytes dirty = row;
        dirty[at] = 0xFE;
        EXPECT_FALSE(Blank(dirty, 600)) << at;
    }
    EXPECT_FALSE(Blank(Hex("00 FF FF FF"), 32));
}

TEST(BlankRowTest, RowsNarrowerThanEightPixels)
{
    EXPECT_TRUE(Blank(Hex("E0"), 3));
    EXPECT_FALSE(Blank(Hex("E1"), 3));
    EXPECT_FALSE(Blank(Hex("60"), 3));
    EXPECT_TRUE(Blank(Hex("FF E0"), 3));  // behind one margin byte
    EXPECT_FALSE(Blank(Hex("FF 60"), 3));
}

TEST(PageBody, WhitePageOwesItsTopMarginAndEveryRow)
{
    const Bytes sent = SendPage(WhitePage(MonoHeader(16, 3, 72, 72)), 0, 2);
    EXPECT_EQ(sent, Cat({kStart, Repeat(kBlank, 5), kEnd}));
}

TEST(PageBody, OwedRowsAreSentBeforeTheNextPrintedRow)
{
    TestPage page = WhitePage(MonoHeader(16, 5, 72, 72));
    page.rows[1] = Hex("12 34");
    page.rows[3] = Hex("00 FF");
    const Bytes sent = SendPage(page, 0, 1);
    EXPECT_EQ(sent, Cat({kStart, Repeat(kBlank, 2), RowCommand(Hex("01 ED CB")), kBlank,
                         RowCommand(Hex("00 FF")), kBlank, kEnd}));
}

TEST(PageBody, LeftMarginTravelsAsWhiteBytesInFrontOfTheRow)
{
    TestPage page = WhitePage(MonoHeader(24, 1, 72, 72));
    page.rows[0] = Hex("12 34 56");
    EXPECT_EQ(SendPage(page, 3, 0), Cat({kStart, RowCommand(Hex("FE 00 00 ED 01 CB A9")), kEnd}));
}

TEST(PageBody, PaddingBitSetInTheLastByteMakesAPrintedRow)
{
    TestPage page = WhitePage(MonoHeader(4958, 2, 595, 842));
    page.rows[0].back() = 0xFD;  // row 1 keeps FC: white
    EXPECT_EQ(SendPage(page, 0, 0),
              Cat({kStart, RowCommand(Hex("82 00 82 00 82 00 82 00 92 00 00 02")), kBlank, kEnd}));
}

TEST(PageBody, ShortPageIsClosedWithTheRowsItHas)
{
    TestPage page = WhitePage(MonoHeader(16, 6, 72, 72));
    page.rows.resize(2);
    page.rows[0] = Hex("00 00");
    EXPECT_EQ(SendPage(page, 0, 1), Cat({kStart, kBlank, RowCommand(Hex("01 FF FF")), kBlank, kEnd}));
}

TEST(PageBody, CancelledPageIsClosedWithItsOwedRows)
{
    EXPECT_EQ(SendPage(WhitePage(MonoHeader(16, 4, 72, 72)), 0, 3, true), Cat({kStart, Repeat(kBlank, 3), kEnd}));
}

}  // namespace
