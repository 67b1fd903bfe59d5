// How a job ends when the world around the filter fails: the scheduler
// cancels it, standard output refuses bytes, memory runs out.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <thread>

#include "decode.h"
#include "support.h"

namespace {

bool WriteAll(int fd, const Bytes& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Pages of 600 x 600 dots with one black row each.
std::vector<TestPage> InchPages(std::size_t count)
{
    TestPage page = WhitePage(MonoHeader(600, 600, 72, 72));
    page.rows[0][0] = 0x00;
    std::vector<TestPage> pages(count, page);
    return pages;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override { (void)std::signal(SIGPIPE, SIG_IGN); }
    std::string ppd = TestData("no-options.ppd");
};

TEST_F(Faults, SigtermClosesThePageWithItsOwedRowsAndKeepsTheJob)
{
    TestPage page = WhitePage(MonoHeader(600, 100, 72, 72));
    page.rows[2][0] = 0x00;
    page.rows.resize(5);  // the rest of the page never comes

    RunSetup setup;
    setup.stdinPipe = true;
    RunningProgram filter = StartFilter(FilterArgs(""), ppd.c_str(), setup);
    ASSERT_TRUE(WriteAll(filter.stdinFd, RawRaster({page})));
    ASSERT_TRUE(WaitUntilReadingStdin(filter.pid));
    kill(filter.pid, SIGTERM);
    const RunResult result = FinishProgram(filter);

    // 186 rows of top margin, rows 0 and 1 white, row 2 printed, 3 and 4 white.
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Cat({kZeros, kInit, SettingsBlock(kOneInchPaper), kStart, Repeat(kBlank, 188),
                               Hex("1B 2A 41 02 02 00 00 FF"), Repeat(kBlank, 2), kEnd}));
}

TEST_F(Faults, SigtermBeforeTheFirstPageEndsWithoutPages)
{
    RunSetup setup;
    setup.stdinPipe = true;
    RunningProgram filter = StartFilter(FilterArgs(""), ppd.c_str(), setup);
    ASSERT_TRUE(WaitUntilReadingStdin(filter.pid));
    kill(filter.pid, SIGTERM);
    const RunResult result = FinishProgram(filter);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Cat({kZeros, kInit}));
}

TEST_F(Faults, FullDiskStopsTheJobEarlyAndFails)
{
    const Bytes raster = RawRaster(InchPages(60));
    RunSetup setup;
    setup.stdinPipe = true;
    setup.stdoutPath = "/dev/full";
    RunningProgram filter = StartFilter(FilterArgs(""), ppd.c_str(), setup);
    std::size_t taken = 0;
    std::thread feeder([&] {
        for (std::size_t done = 0; done < raster.size(); done += 4096) {
            const std::size_t size = std::min<std::size_t>(4096, raster.size() - done);
            if (write(filter.stdinFd, raster.data() + done, size) != static_cast<ssize_t>(size))
                return;
            taken = done + size;
        }
    });
    feeder.join();
    const RunResult result = FinishProgram(filter);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ERROR: Writing the printer data failed."), std::string::npos) << result.err;
    // It gave up instead of reading and coding all 60 pages for nothing.
    EXPECT_LT(taken, raster.size() / 2);
}

TEST_F(Faults, ClosedPipeFails)
{
    TempDir dir;
    WriteRaster(dir.File("job.ras"), InchPages(3));
    RunSetup setup;
    setup.stdoutUnread = true;
    const RunResult result = RunFilter(FilterArgs("", dir.File("job.ras")), ppd.c_str(), setup);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ERROR: Writing the printer data failed."), std::string::npos) << result.err;
}

#ifndef RTM_SANITIZED  // the sanitizer runtime owns malloc there
TEST_F(Faults, ShortMemoryEndsTheJobCleanlyAndFails)
{
    // 9,896 dots on 9,900-dot paper: no margin, and a row buffer of 1,238
    // bytes, a size nothing else in the filter asks for.
    TestPage page = WhitePage(MonoHeader(9896, 4, 1188, 72));
    page.rows[1][5] = 0x00;
    TempDir dir;
    WriteRaster(dir.File("job.ras"), {page, page});
    const auto run = [&](const char* buffersThatWork) {
        RunSetup setup;
        setup.env = {std::string("LD_PRELOAD=") + RTM_FAIL_ALLOC_PATH, "RTM_FAIL_MALLOC_SIZE=1238",
                     std::string("RTM_FAIL_MALLOC_AFTER=") + buffersThatWork};
        return RunFilter(FilterArgs("", dir.File("job.ras")), ppd.c_str(), setup);
    };

    const RunResult first = run("0");
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.out, Cat({kZeros, kInit}));
    EXPECT_NE(first.err.find("ERROR: Not enough memory"), std::string::npos) << first.err;

    // The second page cannot be begun; the first is whole.
    const RunResult second = run("1");
    EXPECT_EQ(second.status, 1);
    const DecodedJob job = DecodeJob(second.out);
    EXPECT_FALSE(job.violation.has_value());
    ASSERT_EQ(job.pages.size(), 1U);
    EXPECT_EQ(job.pages[0].encodedRows, 1U);
}
#endif

}  // namespace
