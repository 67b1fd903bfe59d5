// The filter as CUPS runs it: the built program, the CUPS filter arguments,
// PPD in the environment, a raster written by libcups, and every byte of
// standard output together with the exit status.
#include <gtest/gtest.h>

#include "support.h"

namespace {

// One 72 x 72 point page, 600 x 600 pixels, row 0 = 00 then white.
TestPage OneInchPage()
{
    TestPage page = WhitePage(MonoHeader(600, 600, 72, 72));
    page.rows[0][0] = 0x00;
    return page;
}

// The stream for it, or for as many of its rows as the raster holds.
Bytes OneInchJob(std::size_t rows = 600)
{
    return Cat({kZeros, kInit, SettingsBlock(kOneInchPaper), kStart, RowCommand(Hex("00 FF")),
                Repeat(kBlank, rows - 1), kEnd});
}

class FilterProcess : public ::testing::Test {
protected:
    TempDir dir;
    std::string ppd = TestData("no-options.ppd");
    std::string Raster(const std::vector<TestPage>& pages, cups_mode_t mode = CUPS_RASTER_WRITE)
    {
        std::string path = dir.File("job.ras");
        WriteRaster(path, pages, mode);
        return path;
    }
};

TEST_F(FilterProcess, OnePageJobFromANamedFileOrStandardInputInBothRasterForms)
{
    for (const cups_mode_t mode : {CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED}) {
        const std::string path = Raster({OneInchPage()}, mode);
        RunSetup fromStdin;
        fromStdin.stdinPath = path;
        for (const RunResult& result :
             {RunFilter(FilterArgs("", path), ppd.c_str()), RunFilter(FilterArgs(""), ppd.c_str(), fromStdin)}) {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, OneInchJob());
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST_F(FilterProcess, StreamWithoutPagesGivesZerosAndInitAndFails)
{
    for (const RunResult& result :
         {RunFilter(FilterArgs(""), ppd.c_str()), RunFilter(FilterArgs("", Raster({})), ppd.c_str())}) {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, Cat({kZeros, kInit}));
    }
}

TEST_F(FilterProcess, SettingsComeOnceFromTheFirstPage)
{
    TestPage first = WhitePage(MonoHeader(4800, 6200, 612, 792, 2));
    TestPage second = WhitePage(MonoHeader(4958, 6814, 595, 842, 10));
    second.rows[0][0] = 0x7F;
    const RunResult result = RunFilter(FilterArgs("", Raster({first, second})), ppd.c_str());
    EXPECT_EQ(result.status, 0);
    // Letter margins (18 bytes, 150 rows) stay for the A4 page too.
    const Bytes secondRow = Hex("1B 2A 41 02 10 00  EF 00  00 80  82 00 82 00 82 00 82 00 93 00  00 03");
    EXPECT_EQ(result.out,
              Cat({kZeros, kInit, SettingsBlock("1B 78 EC 13 1B 79 C8 19", "02 00 1A 70"), kStart,
                   Repeat(kBlank, 150 + 6200), kEnd, kStart, Repeat(kBlank, 150), secondRow,
                   Repeat(kBlank, 6813), kEnd}));
}

TEST_F(FilterProcess, StreamEndingInsideAPageClosesThePage)
{
    TestPage page = OneInchPage();
    page.rows.resize(10);
    const RunResult result = RunFilter(FilterArgs("", Raster({page})), ppd.c_str());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, OneInchJob(10));
}

TEST_F(FilterProcess, JobOptionsReachTheSettingsBlock)
{
    const RunResult result =
        RunFilter(FilterArgs("PrintDensity=3 PaperWeight=3", Raster({OneInchPage()})),
                  TestData("with-options.ppd").c_str());
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(result.out.size(), 1046U);
    EXPECT_EQ(Bytes(result.out.begin() + 1036, result.out.begin() + 1046),
              Hex("1C 16 01 42 13  1C 16 02 42 13"));
}

TEST_F(FilterProcess, StartUpFailuresWriteNothingButSayWhy)
{
    const std::string raster = Raster({OneInchPage()});
    const std::string broken = TestData("broken.ppd");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* ppd;
    } cases[] = {
        {"argc 5", {"1", "u", "t", "1"}, ppd.c_str()},
        {"argc 8", {"1", "u", "t", "1", "", raster, "extra"}, ppd.c_str()},
        {"PPD unset", FilterArgs("", raster), nullptr},
        {"PPD missing", FilterArgs("", raster), "/nonexistent.ppd"},
        {"PPD broken", FilterArgs("", raster), broken.c_str()},
        {"raster file missing", FilterArgs("", dir.File("missing.ras")), ppd.c_str()},
    };
    for (const auto& c : cases) {
        const RunResult result = RunFilter(c.args, c.ppd);
        EXPECT_EQ(result.status, 1) << c.what;
        EXPECT_TRUE(result.out.empty()) << c.what;
        const bool explained = result.err.rfind("ERROR: ", 0) == 0 || result.err.rfind("Usage: ", 0) == 0;
        EXPECT_TRUE(explained) << c.what << ": " << result.err;
    }
}

}  // namespace
