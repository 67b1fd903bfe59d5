// The filter as CUPS runs it: the built program, the CUPS filter arguments,
// PPD in the environment; every byte of standard output and the exit
// status, for good jobs, a table of hostile inputs, and a world that fails
// around it (cancellation, a full disk, short memory).

#include <sys/stat.h>

#include <array>
#include <limits>
#include <random>
#include <utility>

#include "decode.h"
#include "support.h"

namespace {

// 600 x 600 dots on 72 x 72 points; row 0 starts with 00, the rest is white.
std::vector<TestPage> InchPages(std::size_t count)
{
    TestPage page = WhitePage(MonoHeader(600, 600, 72, 72));
    page.rows[0][0] = 0x00;
    std::vector<TestPage> pages(count, page);
    return pages;
}

class FilterProcess : public ::testing::Test {
protected:
    void SetUp() override { (void)std::signal(SIGPIPE, SIG_IGN); }
    std::string Raster(const std::vector<TestPage>& pages, cups_mode_t mode = CUPS_RASTER_WRITE)
    {
        WriteRaster(dir.File("job.ras"), pages, mode);
        return dir.File("job.ras");
    }
    TempDir dir;
    std::string ppd = TestData("no-options.ppd");
    const Bytes jobStart = Cat({kZeros, kInit, SettingsBlock(kOneInchPaper)});
};

TEST_F(FilterProcess, SettingsComeOnceFromTheFirstPage)
{
    const TestPage first = WhitePage(MonoHeader(4800, 6200, 612, 792, 2));
    TestPage second = WhitePage(MonoHeader(4958, 6814, 595, 842, 10));
    second.rows[0][0] = 0x7F;
    // Letter margins (18 bytes, 150 rows) stay for the A4 page too.
    const Bytes secondRow = Hex("1B 2A 41 02 10 00  EF 00  00 80  82 00 82 00 82 00 82 00 93 00  00 03");
    const Bytes expected = Cat({kZeros, kInit, SettingsBlock("1B 78 EC 13 1B 79 C8 19", "02 00 1A 70"), kStart,
                                Repeat(kBlank, 150 + 6200), kEnd, kStart, Repeat(kBlank, 150), secondRow,
                                Repeat(kBlank, 6813), kEnd});
    RunSetup fromStdin;
    fromStdin.stdinPath = Raster({first, second}, CUPS_RASTER_WRITE_COMPRESSED);
    const RunResult result = RunFilter("", "", ppd.c_str(), fromStdin);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
}

TEST_F(FilterProcess, WrongArgumentCountsAndUnreadableInputFail)
{
    const RunResult folder = RunFilter("", dir.path, ppd.c_str());  // reading it fails
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("ERROR: Reading the raster stream failed."), std::string::npos) << folder.err;
    for (const std::size_t args : {5, 8}) {
        const std::vector<std::string> argv = {"rastertomono", "1", "u", "t", "1", "", Raster(InchPages(1)), "extra"};
        const RunResult result = RunProgram(RTM_FILTER_PATH, {argv.begin(), argv.begin() + static_cast<long>(args)});
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.out.empty());
        EXPECT_EQ(result.err.rfind("Usage: ", 0), 0U) << result.err;
    }
}

TEST_F(FilterProcess, SigtermClosesThePageWithItsOwedRows)
{
    for (const std::size_t pages : {0, 1}) {
        TestPage page = WhitePage(MonoHeader(600, 100, 72, 72));
        page.rows[2][0] = 0x00;
        page.rows.resize(5);  // the rest of the page never comes
        RunSetup setup;
        setup.stdinPipe = true;
        RunningProgram filter = StartFilter("", "", ppd.c_str(), setup);
        const Bytes raster = RawRaster(std::vector<TestPage>(pages, page));
        ASSERT_EQ(write(filter.stdinFd, raster.data(), raster.size()), static_cast<ssize_t>(raster.size()));
        ASSERT_TRUE(WaitUntilReadingStdin(filter.pid));
        kill(filter.pid, SIGTERM);
        const RunResult result = FinishProgram(filter);
        EXPECT_EQ(result.status, pages == 0 ? 1 : 0);
        // 186 rows of top margin, rows 0 and 1 white, row 2 printed, 3 and 4 white.
        EXPECT_EQ(result.out, pages == 0 ? Cat({kZeros, kInit})
                                         : Cat({jobStart, kStart, Repeat(kBlank, 188), RowCommand(Hex("00 FF")),
                                                Repeat(kBlank, 2), kEnd}));
    }
}

// Inch pages of random pixels, whose commands fill a pipe within the first
// two pages.
std::vector<TestPage> NoisePages(std::size_t count)
{
    std::mt19937 noise(7);
    std::vector<TestPage> pages = InchPages(count);
    for (TestPage& page : pages)
        for (Bytes& row : page.rows)
            for (std::uint8_t& byte : row)
                byte = static_cast<std::uint8_t>(noise());
    return pages;
}

// A printer that takes nothing until the test drains it.
class LaggingPrinter {
public:
    explicit LaggingPrinter(std::string fifo) : path(std::move(fifo))
    {
        if (mkfifo(path.c_str(), 0600) == 0)
            received = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    LaggingPrinter(const LaggingPrinter&) = delete;
    LaggingPrinter& operator=(const LaggingPrinter&) = delete;
    ~LaggingPrinter()
    {
        if (received >= 0)
            close(received);
    }
    [[nodiscard]] Bytes Drain() const
    {
        (void)fcntl(received, F_SETFL, 0);
        Bytes stream;
        std::array<std::uint8_t, 65536> chunk;
        for (ssize_t got; (got = read(received, chunk.data(), chunk.size())) > 0;)
            stream.insert(stream.end(), chunk.begin(), chunk.begin() + got);
        return stream;
    }
    std::string path;
    int received = -1;
};

// Cancelled while the printer is slower than the job: SIGTERM comes while
// the filter waits to write to a full pipe, and the printer still gets
// every row it was sent whole and the page closed.
TEST_F(FilterProcess, SigtermWhileThePrinterLagsStillClosesThePage)
{
    const std::vector<TestPage> pages = NoisePages(10);
    LaggingPrinter printer(dir.File("printer"));
    ASSERT_GE(printer.received, 0);
    RunSetup setup;
    setup.stdinPath = Raster(pages);
    setup.stdoutPath = printer.path;
    RunningProgram filter = StartFilter("", "", ppd.c_str(), setup);
    ASSERT_TRUE(WaitUntilBlockedIn(filter.pid, "1", "0x1"));
    kill(filter.pid, SIGTERM);
    // The signal reaches the filter while the pipe is still full.
    EXPECT_TRUE(Eventually([&filter] {
        std::ifstream status("/proc/" + std::to_string(filter.pid) + "/status");
        int pending = 0;
        for (std::string line; std::getline(status, line);)
            pending += (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) &&
                       line.find_first_not_of("0\t", 7) != std::string::npos;
        return pending == 0;
    }, 1000, 5));
    const Bytes stream = printer.Drain();
    EXPECT_EQ(FinishProgram(filter).status, 0);
    const DecodedJob job = DecodeJob(stream);
    EXPECT_FALSE(job.violation) << Describe(*job.violation);
    EXPECT_LT(job.pages.size(), pages.size());
}

// The raster file cut short while the filter prints it (another program
// truncating it), by a file given as CUPS gives it and by one on standard
// input: the pages the file still holds print, the page cut short is
// closed, and the job fails instead of dying or printing what is gone.
TEST_F(FilterProcess, RasterFileCutShortUnderTheJobFails)
{
    const std::vector<TestPage> pages = NoisePages(30);
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "named" : "standard input");
        const std::string raster = Raster(pages);
        LaggingPrinter printer(dir.File(named ? "printer-named" : "printer-stdin"));
        ASSERT_GE(printer.received, 0);
        RunSetup setup;
        setup.stdinPath = named ? "" : raster;
        setup.stdoutPath = printer.path;
        RunningProgram filter = StartFilter("", named ? raster : "", ppd.c_str(), setup);
        ASSERT_TRUE(WaitUntilBlockedIn(filter.pid, "1", "0x1"));
        // Cut at a memory page's end (a mapped file reads as zeros up to
        // there), 180 rows into the eleventh page: 4 bytes of sync word,
        // 1,796 of header and 45,000 of rows a page.
        ASSERT_EQ(truncate(raster.c_str(), off_t{118} * 4096), 0);
        const Bytes stream = printer.Drain();
        const RunResult result = FinishProgram(filter);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "ERROR: Reading the raster stream failed.\n");
        const DecodedJob job = DecodeJob(stream);
        EXPECT_FALSE(job.violation) << Describe(*job.violation);
        EXPECT_EQ(job.pages.size(), 11U);
    }
}

TEST_F(FilterProcess, FullDiskStopsTheJobEarlyAndFails)
{
    const Bytes raster = RawRaster(InchPages(60));
    RunSetup setup;
    setup.stdinPipe = true;
    setup.stdoutPath = "/dev/full";
    RunningProgram filter = StartFilter("", "", ppd.c_str(), setup);
    const std::size_t taken = WriteInPieces(filter.stdinFd, raster, {4096});
    const RunResult result = FinishProgram(filter);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ERROR: Writing the printer data failed."), std::string::npos) << result.err;
    // It gave up instead of reading and coding all 60 pages for nothing.
    EXPECT_LT(taken, raster.size() / 2);
}

#ifndef RTM_SANITIZED  // the sanitizer runtime owns malloc there
TEST_F(FilterProcess, ShortMemoryEndsTheJobCleanlyAndFails)
{
    // 9,896 dots on 9,900-dot paper: no margin, and a row buffer of 1,238
    // bytes, a size nothing else in the filter asks for.
    TestPage page = WhitePage(MonoHeader(9896, 4, 1188, 72));
    page.rows[1][5] = 0x00;
    const std::string raster = Raster({page, page});
    for (const int buffersThatWork : {0, 1}) {
        RunSetup setup;
        setup.env = {std::string("LD_PRELOAD=") + RTM_FAIL_ALLOC_PATH, "RTM_FAIL_MALLOC_SIZE=1238",
                     "RTM_FAIL_MALLOC_AFTER=" + std::to_string(buffersThatWork)};
        const RunResult result = RunFilter("", raster, ppd.c_str(), setup);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("ERROR: "), std::string::npos) << result.err;
        // The page that cannot be begun is not; the one before it is whole.
        const DecodedJob job = DecodeJob(result.out);
        EXPECT_FALSE(job.violation.has_value());
        ASSERT_EQ(job.pages.size(), static_cast<std::size_t>(buffersThatWork));
        EXPECT_TRUE(buffersThatWork == 0 ? result.out == Cat({kZeros, kInit}) : job.pages[0].encodedRows == 1);
    }
}
#endif

struct HostileCase {
    std::string name;
    Bytes raster;
    int status;
    std::uint32_t pages;  // pages in the stream, each closed
    std::string options;
    std::string ppd = "no-options.ppd";
};

void PrintTo(const HostileCase& c, std::ostream* out)
{
    *out << c.name;
}

Bytes Random(std::size_t size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

TestPage Inked(const cups_page_header2_t& header)
{
    TestPage page = WhitePage(header);
    for (std::size_t y = 0; y < page.rows.size(); y += 2)
        page.rows[y][0] = 0x0F;
    return page;
}

// A small page that prints, with its header changed.
Bytes Changed(const std::function<void(cups_page_header2_t&)>& change, std::size_t rows = 8)
{
    TestPage page = Inked(MonoHeader(64, 8, 72, 72));
    change(page.header);
    page.rows.resize(rows, Bytes(8, 0xFF));
    return RawRaster({page});
}

std::vector<HostileCase> Cases()
{
    const Bytes valid = RawRaster({Inked(MonoHeader(64, 8, 72, 72))});
    const Bytes headerOnly(valid.begin(), valid.begin() + 4 + sizeof(cups_page_header2_t));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto pageSize = [](float width, float length) {
        return [=](cups_page_header2_t& h) {
            h.PageSize[0] = h.PageSize[1] = 100;
            h.cupsPageSize[0] = width;
            h.cupsPageSize[1] = length;
        };
    };
    const auto size = [](unsigned width, unsigned height, unsigned bytesPerLine) {
        return [=](cups_page_header2_t& h) {
            h.cupsWidth = width;
            h.cupsHeight = height;
            h.cupsBytesPerLine = bytesPerLine;
        };
    };
    const auto eightBit = [](cups_page_header2_t& h) {
        h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
        h.cupsBytesPerLine = 64;
    };
    const Bytes eightBitPage = Changed(eightBit);
    TempDir dir;
    WriteRaster(dir.File("c.ras"), {Inked(MonoHeader(600, 50, 72, 72))}, CUPS_RASTER_WRITE_COMPRESSED);
    Bytes compressed = ReadFile(dir.File("c.ras"));
    compressed.resize(compressed.size() - 20);

    return {
        {"empty stream", {}, 1, 0, ""},
        {"truncated row", Bytes(valid.begin(), valid.end() - 20), 0, 1, ""},
        {"header alone", headerOnly, 0, 1, ""},
        {"garbage after a valid header", Cat({headerOnly, Random(100000, 1)}), 1, 1, ""},
        {"width 0", Changed(size(0, 8, 0)), 1, 0, ""},
        {"width 1", Changed(size(1, 8, 1)), 0, 1, ""},
        {"width 65535", RawRaster({Inked(MonoHeader(65535, 2, 72, 72))}), 0, 1, ""},
        {"width 65536", Changed(size(65536, 8, 8192)), 1, 0, ""},
        {"height 0", Changed(size(64, 0, 8)), 1, 0, ""},
        {"height 65535, rows missing", Changed(size(64, 65535, 8), 3), 0, 1, ""},
        {"bytes per line one too many", Changed(size(64, 8, 9)), 1, 0, ""},
        {"8-bit raster", eightBitPage, 1, 0, ""},
        {"three colours", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_RGB; h.cupsNumColors = 3; }), 1, 0, ""},
        {"sGray colour space", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_SW; }), 0, 1, ""},
        {"300 dpi", Changed([](cups_page_header2_t& h) { h.HWResolution[0] = h.HWResolution[1] = 300; }), 1, 0, ""},
        {"page size NaN", Changed(pageSize(nan, 100)), 1, 0, ""},
        {"page width 0", Changed(pageSize(0, 100)), 1, 0, ""},
        {"page height 0", Changed(pageSize(100, 0)), 1, 0, ""},
        {"page size just over 65535 dots", Changed(pageSize(7865, 100)), 1, 0, ""},
        {"NumCopies at its maximum", Changed([](cups_page_header2_t& h) { h.NumCopies = 0xFFFFFFFF; }), 0, 1, ""},
        {"second page unprintable", Cat({valid, Bytes(eightBitPage.begin() + 4, eightBitPage.end())}), 1, 1, ""},
        {"many small pages", RawRaster(std::vector<TestPage>(300, Inked(MonoHeader(8, 2, 72, 72)))), 0, 300, ""},
        {"compressed stream cut short", compressed, 0, 1, ""},
        {"very long options", valid, 0, 1, std::string(100000, 'a') + "=b"},
        {"bytes that are not text", valid, 0, 1, "\xff\xfe=\x01\x02 PaperWeight=\x80"},
        {"PPD unset", valid, 1, 0, "", ""},
        {"PPD not a PPD", valid, 1, 0, "", "broken.ppd"},
        {"PPD with an absurd choice", valid, 0, 1, "", "absurd-choice.ppd"},
    };
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

// Every case has a defined exit status, says why it failed, and whatever it
// wrote is a stream the printer reads: every page begun is closed.
TEST_P(HostileInput, HasADefinedOutcomeAndAWellFormedStream)
{
    const HostileCase& c = GetParam();
    TempDir dir;
    WriteFile(dir.File("job.ras"), c.raster);
    const std::string ppd = TestData(c.ppd);
    const RunResult result = RunFilter(c.options, dir.File("job.ras"), c.ppd.empty() ? nullptr : ppd.c_str());
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_TRUE(result.status == 0 || result.err.find("ERROR: ") != std::string::npos) << "a failed job says why";
    const DecodedJob job = DecodeJob(result.out);
    EXPECT_EQ(job.pages.size(), c.pages);
    EXPECT_TRUE(result.out.empty() || !job.violation) << Describe(*job.violation);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

}  // namespace
