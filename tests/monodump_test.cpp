// The decoder on streams put together byte by byte (what it reads back, and
// where and how it reports broken ones), its summary lines, and the
// monodump program on streams the real filter wrote.
#include <png.h>

#include "decode.h"
#include "support.h"

namespace {

// Density 2, weight 1, 600 x 600 dots, one copy.
const Bytes kSettings = SettingsBlock(kOneInchPaper);
constexpr std::size_t kFirstPageAt = 1024 + 12 + 43;

Bytes Page(const Bytes& rows = {})
{
    return Cat({kStart, rows, kEnd});
}

Bytes Job(const Bytes& pages, const Bytes& settings = kSettings)
{
    return Cat({kZeros, kInit, settings, pages});
}

TEST(Decode, PayloadsExpandToTheComplementedRowWithoutTrailingWhite)
{
    for (const PayloadExample& example : kPayloadExamples) {
        InkBytes ink = {0x99};  // whatever was there before goes
        EXPECT_FALSE(ExpandRowPayload(Hex(example.payload), 0, ink)) << example.payload;
        Bytes row = Hex(example.row);
        while (!row.empty() && row.back() == 0xFF)
            row.pop_back();
        for (std::uint8_t& byte : row)
            byte = static_cast<std::uint8_t>(~byte);
        EXPECT_EQ(ink, row) << example.payload;
    }
    InkBytes ink;
    const Bytes literal = Cat({{0x7E}, Hex("AB*127")});  // the longest literal run
    EXPECT_FALSE(ExpandRowPayload(literal, 0, ink));
    EXPECT_EQ(ink, Hex("AB*127"));
}

Bytes Changed(Bytes bytes, std::size_t at, std::uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

TEST(Decode, TheFirstBrokenRuleIsReportedAtItsOffset)
{
    const Bytes good = Job(Page(RowCommand(Hex("00 AA"))));
    const std::size_t row = kFirstPageAt + 9;
    const std::size_t end = good.size();
    const struct {
        Bytes stream;
        std::size_t offset;
        const char* found;
        const char* expected;  // its start
    } cases[] = {
        {{}, 0, "end of stream", "the rest of the 1024 zero bytes"},
        {Changed(good, 700, 0x01), 700, "byte 01", "00: every job opens with 1024 zero bytes"},
        {Changed(good, 1029, 0x41), 1029, "byte 41", "2D of the init command 1B 26 42 1B 25 2D 39 38 37 36 35 58"},
        {Cat({kZeros, kSettings}), 1024, "paper-weight command", "init command"},
        {Cat({kZeros, kInit, Page()}), 1036, "start-page command",
         "paper-weight command 1C 16 01 42 .., which opens the settings block"},
        {Changed(good, 1050, 0x11), 1050, "byte 11", "10 of the render-type command 1C 16 03 42 10"},
        {Cat({kZeros, kInit, Hex("1C 16 01 42 11  1C 16 02 42 12  1C 16 03 42 10  1B 78 58 02 1B 79 58 02")}), 1051,
         "paper-size command", "input-bin command 1B 26 41 01 00 01"},
        {Job(Page(), SettingsBlock(kOneInchPaper, "01 00 49 26")), 1077, "CRC-16 49 26",
         "49 25, the CRC-16 of 1B 26 6C 01 00"},
        {Job(Page(), SettingsBlock(kOneInchPaper, "00 00 78 16")), 1075, "copy count 0", "a count from 1 to 32767"},
        {Job(Page(), SettingsBlock(kOneInchPaper, "00 80 F0 87")), 1075, "copy count 32768", "a count from 1 to 32767"},
        {Job({}), kFirstPageAt, "end of stream", "start-page command"},
        {Cat({good, kSettings, Page()}), end, "paper-weight command",
         "start-page command 1B 24 41 1B 21 41 00 00 00, or the end of the stream"},
        {Cat({good, Hex("00")}), end, "bytes 00", "start-page command"},
        {Changed(good, kFirstPageAt + 4, 0x22), kFirstPageAt + 4, "byte 22", "21 of the start-page command"},
        {Job(Page(Hex("1B 2A 42 02 00"))), row + 3, "byte 02", "01 of the blank-row command 1B 2A 42 01 00"},
        {Job(Page(Hex("1B 2A 43 02 00 00"))), row, "bytes 1B 2A 43 02 00 00 ...",
         "row command 1B 2A 41 02 .. .., blank-row command 1B 2A 42 01 00 or end-page command 1B 24 42"},
        {Job(Page(Hex("1B 2A 41 03 00 00"))), row + 3, "byte 03", "02 of the row command"},
        {Job(Page(RowCommand(Hex("00 AA 80")))), row + 8, "run header 80",
         "a literal-run header 00..7E or a repeat-run header 82..FE"},
        {Job(Page(RowCommand(Hex("01 AA BB FF AA")))), row + 9, "run header FF", "a literal-run header"},
        {Job(Page(RowCommand(Hex("00 AA FE")))), row + 8, "repeat run of 3 with its byte missing", "runs that end"},
        {Job(Page(Hex("1B 2A 41 02 02 00  01 ED CB"))), row + 6, "literal run of 2 bytes with 1 payload bytes left",
         "runs that end where the 2-byte payload ends"},
        {Job(Page(Hex("1B 2A 41 02 02 00  00 AA 00 BB"))), row + 8, "bytes 00 BB 1B 24 42", "row command"},
        {Job(Page(Hex("1B 2A 41 02 7F 00  7E AA*126"))), row + 6, "literal run of 127 bytes with 126 payload bytes left",
         "runs that end where the 127-byte payload ends"},
        {Bytes(good.begin(), good.end() - 3), end - 3, "end of stream inside page 1", "row command"},
        {Bytes(good.begin(), good.end() - 4), end - 4, "end of stream after 1 of the row's payload bytes",
         "2 payload bytes, as the length field at offset 1092 says"},
        {Bytes(good.begin(), good.begin() + row + 5), row + 5, "end of stream", "the rest of the row command"},
        {Bytes(good.begin(), good.end() - 1), end - 1, "end of stream", "the rest of the end-page command 1B 24 42"},
    };
    for (const auto& c : cases) {
        const DecodedJob job = DecodeJob(c.stream);
        ASSERT_TRUE(job.violation) << c.found;
        EXPECT_EQ(Describe(*job.violation).rfind("offset " + std::to_string(c.offset) + ": " + c.found + ", expected " + c.expected, 0), 0U)
            << Describe(*job.violation);
    }
}

// The monodump program.
RunResult Monodump(const std::vector<std::string>& args, const std::string& stdinPath = "")
{
    std::vector<std::string> argv = {"monodump"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunSetup setup;
    setup.stdinPath = stdinPath;
    return RunProgram(RTM_MONODUMP_PATH, argv, setup);
}

std::string Text(const RunResult& run)
{
    return std::to_string(run.status) + std::string(run.out.begin(), run.out.end()) + run.err;
}

// 600 x 600 dots of paper; a 483 x 400 raster sits 7 bytes from the left
// edge and 75 rows down.
constexpr unsigned kWidth = 483;
constexpr unsigned kHeight = 400;

TestPage DrawnPage()
{
    TestPage page = WhitePage(MonoHeader(kWidth, kHeight, 72, 72, 2));
    for (unsigned y = 10; y < 60; ++y)
        for (unsigned x = 0; x < 30; ++x)
            page.rows[y][x] = static_cast<std::uint8_t>(0xFF ^ (1U << (y % 8)));
    // Three black dots in the last, partial byte, whose five padding bits
    // (0, as in every raster) print as black too.
    page.rows[kHeight - 1][kWidth / 8] = 0x00;
    return page;
}

class MonodumpProgram : public ::testing::Test {
protected:
    void Filter(const std::vector<TestPage>& pages)
    {
        WriteRaster(dir.File("job.ras"), pages);
        const RunResult run = RunFilter("", dir.File("job.ras"), TestData("no-options.ppd").c_str());
        ASSERT_EQ(run.status, 0);
        stream = run.out;
        WriteFile(job, stream);
    }
    TempDir dir;
    std::string job = dir.File("job.prn");
    Bytes stream;
};

TEST_F(MonodumpProgram, SumsUpACleanJobAndNamesTheOffsetOfABrokenOne)
{
    Filter({DrawnPage(), WhitePage(MonoHeader(kWidth, kHeight, 72, 72, 2))});
    const DecodedJob decoded = DecodeJob(stream);
    const std::size_t secondAt = decoded.pages[1].offset;
    const auto ratio = [](double raster, std::size_t bytes) {
        char text[16];
        (void)std::snprintf(text, sizeof text, "%.1f", raster / static_cast<double>(bytes));
        return std::string(text);
    };
    // Rows of 75 bytes over the page's bytes; on the total line, the stream's.
    const std::string summary =
        "settings: density=2 weight=1 paper=600x600 dots (25.4x25.4 mm, custom) copies=2\n"
        "page 1: rows=475 blank=424 encoded=51 bytes=" + std::to_string(secondAt - 1079) + " ratio=" +
        ratio(475 * 75, secondAt - 1079) + "\npage 2: rows=475 blank=475 encoded=0 bytes=2387 ratio=14.9\n"
        "total: pages=2 rows=950 blank=899 encoded=51 bytes=" + std::to_string(stream.size()) + " ratio=" +
        ratio(950 * 75, stream.size()) + "\n";
    EXPECT_EQ(Text(Monodump({job})), "0" + summary);
    EXPECT_EQ(Text(Monodump({"-"}, job)), "0" + summary);
    EXPECT_EQ(Text(Monodump({"--quiet", job})), "0");

    // The summary of the pages before the fault, and the first broken rule.
    WriteFile(job, Bytes(stream.begin(), stream.end() - 3));
    const RunResult broken = Monodump({job});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err, "monodump: offset " + std::to_string(stream.size() - 3) +
                              ": end of stream inside page 2, expected row command 1B 2A 41 02 .. .., blank-row "
                              "command 1B 2A 42 01 00 or end-page command 1B 24 42\n");
    EXPECT_EQ(std::string(broken.out.begin(), broken.out.end()), summary.substr(0, summary.find("page 2")));
}

TEST_F(MonodumpProgram, UsageErrorsAndUnusableFilesExitTwo)
{
    const std::string usage = "usage: monodump [--png DIR] [--pbm DIR] [--quiet] FILE|-\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--png"}, {"--png", "", job}, {"--pbm"}, {"--colour", job}, {job, job}, {"--quiet"}, {""}})
        EXPECT_EQ(Text(Monodump(args)), "2" + usage) << testing::PrintToString(args);
    EXPECT_EQ(Text(Monodump({"--help"})), "0" + usage);
    // A readable job is read before the image folder is made.
    WriteFile(job, {});
    for (const auto& [args, err] : {std::pair<std::vector<std::string>, std::string>{{dir.path}, "cannot read " + dir.path},
                                    {{"--png", job + "/png", job}, "cannot create " + job + "/png"}}) {
        const RunResult result = Monodump(args);
        EXPECT_EQ(result.status, 2) << err;
        EXPECT_TRUE(result.out.empty());
        EXPECT_EQ(result.err.rfind("monodump: " + err + ": ", 0), 0U) << result.err;
    }
}

// Black dots row by row, from a PNG (through libpng) or a PBM.
std::vector<bool> ReadImage(const std::string& path, unsigned width, unsigned height)
{
    std::vector<bool> black;
    if (path.ends_with(".png")) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        EXPECT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << path;
        image.format = PNG_FORMAT_GRAY;
        Bytes grey(PNG_IMAGE_SIZE(image));
        EXPECT_NE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr), 0) << path;
        EXPECT_EQ(image.width * 1000 + image.height, width * 1000 + height) << path;
        for (const std::uint8_t value : grey)
            black.push_back(value == 0);
        const Bytes file = ReadFile(path);  // and it ends as a PNG must, with IEND
        EXPECT_EQ(std::string(file.end() - 12, file.end()), std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12)) << path;
        return black;
    }
    const Bytes file = ReadFile(path);
    const std::string header = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    EXPECT_EQ(std::string(file.begin(), file.begin() + static_cast<long>(header.size())), header) << path;
    const unsigned rowBytes = (width + 7) / 8;
    EXPECT_EQ(file.size(), header.size() + std::size_t{rowBytes} * height) << path;
    for (std::size_t at = 0; at + header.size() < file.size(); ++at)
        for (unsigned bit = 0; bit < 8; ++bit)
            if (const bool dot = ((file[header.size() + at] >> (7 - bit)) & 1) != 0; (at % rowBytes) * 8 + bit < width)
                black.push_back(dot);
            else
                EXPECT_FALSE(dot) << "padding bit set in " << path;  // as netpbm writes them
    return black;
}

TEST_F(MonodumpProgram, DrawsEveryPageOnItsPaperCuttingOffInkPastTheEdges)
{
    // 640 x 620 dots on 625 x 600: no margins, and dots beyond both edges;
    // the right edge falls inside a byte. The drawn page's rows, widened:
    // their padding bits print now.
    TestPage page = DrawnPage();
    page.header = MonoHeader(640, 620, 75, 72);
    page.rows.resize(620, WhiteRow(640));
    for (Bytes& row : page.rows)
        row.resize(80, 0xFF);
    page.rows[0][1] = 0x7F;    // dot 8
    page.rows[1][78] = 0x7F;   // dot 624: the last one on the paper
    page.rows[2][78] = 0xBF;   // dot 625: just off it
    page.rows[3][79] = 0x00;   // the last byte
    page.rows[610][0] = 0x00;  // below the bottom edge
    Filter({page, WhitePage(page.header)});
    const RunResult result = Monodump({"--png", dir.File("png"), "--pbm", dir.File("a/pbm"), job});
    EXPECT_EQ(result.status, 0);
    for (const char* image : {"png/page-001.png", "a/pbm/page-001.pbm", "png/page-002.png"})
        EXPECT_NE(std::string(result.out.begin(), result.out.end()).find("image: " + dir.File(image) + "\n"), std::string::npos);
    EXPECT_EQ(result.err,
              "monodump: warning: page 1: black dots past the paper's right edge (625 dots) cut off in 2 of 620 rows\n"
              "monodump: warning: page 1: black dots below the paper's bottom edge (600 rows) cut off in 1 of 620 rows\n");
    std::vector<bool> expected(std::size_t{625} * 600);
    for (unsigned y = 0; y < 600; ++y)
        for (unsigned x = 0; x < 625; ++x)
            expected[y * 625 + x] = ((page.rows[y][x / 8] >> (7 - x % 8)) & 1) == 0;
    ASSERT_GT(std::count(expected.begin(), expected.end(), true), 1000);
    for (const char* name : {"png/page-001.png", "a/pbm/page-001.pbm"})
        EXPECT_TRUE(ReadImage(dir.File(name), 625, 600) == expected) << name;
    for (const char* name : {"png/page-002.png", "a/pbm/page-002.pbm"})
        EXPECT_TRUE(ReadImage(dir.File(name), 625, 600) == std::vector<bool>(std::size_t{625} * 600)) << name;

    // A paper without area (a stream can name any size) gets no image.
    WriteFile(job, Job(Page(RowCommand(Hex("00 FF"))), SettingsBlock("1B 78 00 00 1B 79 58 02")));
    const RunResult none = Monodump({"--png", dir.File("none"), job});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.err.find("monodump: warning: page 1: the paper has no area, so no image is drawn"), std::string::npos)
        << none.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("none/page-001.png")));
    // White sent past the right edge of 8-dot paper is no ink cut off.
    WriteFile(job, Job(Page(RowCommand(Hex("01 FF 00"))), SettingsBlock("1B 78 08 00 1B 79 08 00")));
    EXPECT_EQ(Monodump({"--pbm", dir.File("white"), job}).err, "");
}

}  // namespace
