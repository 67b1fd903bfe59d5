// The monodump program as a person or a script runs it: on streams the
// real filter wrote from rasters written through libcups, with its exit
// status, its summary lines, its reports and the page images it draws.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "decode.h"
#include "support.h"

namespace {

struct DumpResult {
    int status = -1;
    std::string out;
    std::string err;
};

DumpResult RunMonodump(const std::vector<std::string>& args, const std::string& stdinPath = "")
{
    std::vector<std::string> argv = {"monodump"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunSetup setup;
    setup.stdinPath = stdinPath;
    const RunResult run = RunProgram(RTM_MONODUMP_PATH, argv, setup);
    return {run.status, {run.out.begin(), run.out.end()}, run.err};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string OneDecimal(double value)
{
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%.1f", value);
    return text.data();
}

// 600 x 600 dots of paper (72 points square); a 483 x 400 raster sits 7
// bytes from the left edge and 75 rows down.
constexpr unsigned kWidth = 483;
constexpr unsigned kHeight = 400;
constexpr unsigned kLeftDots = 7 * 8;
constexpr unsigned kTop = 75;

TestPage DrawnPage(unsigned copies)
{
    TestPage page = WhitePage(MonoHeader(kWidth, kHeight, 72, 72, copies));
    for (unsigned y = 10; y < 60; ++y)
        for (unsigned x = 0; x < 30; ++x)
            page.rows[y][x] = static_cast<std::uint8_t>(0xFF ^ (1U << (y % 8)));
    // Three black dots in the last, partial byte; its five padding bits
    // are 0 as in every raster, and print as black too.
    page.rows[kHeight - 1][kWidth / 8] = 0x00;
    return page;
}

class MonodumpProgram : public ::testing::Test {
protected:
    TempDir dir;
    std::string job = dir.File("job.prn");
    Bytes stream;

    // Runs the filter as CUPS does on the pages and keeps its output in job.
    void Filter(const std::vector<TestPage>& pages)
    {
        WriteRaster(dir.File("job.ras"), pages);
        const RunResult run = RunFilter(FilterArgs("", dir.File("job.ras")), TestData("no-options.ppd").c_str());
        ASSERT_EQ(run.status, 0);
        stream = run.out;
        WriteFile(job, stream);
    }
};

TEST_F(MonodumpProgram, SumsUpACleanJobInTheAgreedLines)
{
    Filter({DrawnPage(2), WhitePage(MonoHeader(kWidth, kHeight, 72, 72, 2))});
    const DumpResult result = RunMonodump({job});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 4U) << result.out;
    EXPECT_EQ(lines[0], "settings: density=2 weight=1 paper=600x600 dots (25.4x25.4 mm, custom) copies=2");

    const std::regex pageLine(R"(page (\d): rows=475 blank=(\d+) encoded=(\d+) bytes=(\d+) ratio=(\d+\.\d))");
    std::smatch first;
    std::smatch second;
    ASSERT_TRUE(std::regex_match(lines[1], first, pageLine)) << lines[1];
    ASSERT_TRUE(std::regex_match(lines[2], second, pageLine)) << lines[2];
    EXPECT_EQ(first[1], "1");
    EXPECT_EQ(first[2], "424");
    EXPECT_EQ(first[3], "51");  // rows 10..59 and the last row
    EXPECT_EQ(second[1], "2");
    EXPECT_EQ(second[2], "475");
    EXPECT_EQ(second[3], "0");
    // A white page: 9 + 475 x 5 + 3 bytes for 475 rows of 75 bytes.
    EXPECT_EQ(second[4], "2387");
    EXPECT_EQ(second[5], "14.9");
    const std::size_t firstBytes = std::stoul(first[4]);
    EXPECT_EQ(1079 + firstBytes + 2387, stream.size());
    const std::string ratio = OneDecimal(950.0 * 75 / static_cast<double>(stream.size()));
    EXPECT_EQ(lines[3], "total: pages=2 rows=950 blank=899 encoded=51 bytes=" + std::to_string(stream.size()) +
                            " ratio=" + ratio);

    // The same from standard input; nothing at all with --quiet.
    const DumpResult fromStdin = RunMonodump({"-"}, job);
    EXPECT_EQ(fromStdin.status, 0);
    EXPECT_EQ(fromStdin.out, result.out);
    const DumpResult quiet = RunMonodump({"--quiet", job});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
}

TEST_F(MonodumpProgram, BrokenStreamsExitOneNamingTheOffset)
{
    Filter({DrawnPage(1), DrawnPage(1)});
    const DecodedJob decoded = DecodeJob(stream);
    ASSERT_FALSE(decoded.violation);
    const DecodedRow& printed = decoded.pages[0].rows[kTop + 10];
    const std::size_t header = printed.offset + 6;

    Bytes reserved = stream;
    reserved[header] = 0x80;
    WriteFile(job, reserved);
    DumpResult result = RunMonodump({job});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "monodump: offset " + std::to_string(header) +
                              ": run header 80, expected a literal-run header 00..7E or a repeat-run header 82..FE\n");
    // What came before the fault is still summed up; no total for a broken stream.
    EXPECT_EQ(Lines(result.out).size(), 1U) << result.out;

    const Bytes cut(stream.begin(), stream.end() - 3);
    WriteFile(job, cut);
    result = RunMonodump({job});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("monodump: offset " + std::to_string(cut.size()) +
                                   ": end of stream inside page 2, expected row command",
                               0),
              0U)
        << result.err;
    EXPECT_EQ(Lines(result.out).size(), 2U) << result.out;

    WriteFile(job, {});
    result = RunMonodump({"--quiet", job});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "monodump: offset 0: end of stream, expected the rest of the 1024 zero bytes that open every job\n");
}

TEST_F(MonodumpProgram, UsageErrorsAndUnusableFilesExitTwo)
{
    const std::vector<std::vector<std::string>> usage = {
        {}, {"--png"}, {"--png", "", job}, {"--pbm"}, {"--colour", job}, {job, job}, {"--quiet"}, {""},
    };
    for (const auto& args : usage) {
        const DumpResult result = RunMonodump(args);
        EXPECT_EQ(result.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "usage: monodump [--png DIR] [--pbm DIR] [--quiet] FILE|-\n");
    }
    const DumpResult help = RunMonodump({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "usage: monodump [--png DIR] [--pbm DIR] [--quiet] FILE|-\n");

    // A readable job is read before the image folder is made.
    WriteFile(job, {});
    const std::string missing = dir.File("missing.prn");
    const struct {
        std::vector<std::string> args;
        std::string err;  // its start
    } unusable[] = {
        {{missing}, "monodump: cannot read " + missing + ": "},
        {{dir.path}, "monodump: cannot read " + dir.path + ": "},
        {{"--png", job + "/png", job}, "monodump: cannot create " + job + "/png: "},
    };
    for (const auto& c : unusable) {
        const DumpResult result = RunMonodump(c.args);
        EXPECT_EQ(result.status, 2) << c.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(c.err, 0), 0U) << result.err;
    }
}

struct Picture {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<bool> black;  // row by row
};

Picture ReadPng(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture picture;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        ADD_FAILURE() << path << ": " << image.message;
        return picture;
    }
    image.format = PNG_FORMAT_GRAY;
    Bytes grey(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr) == 0) {
        ADD_FAILURE() << path << ": " << image.message;
        return picture;
    }
    picture.width = image.width;
    picture.height = image.height;
    for (const std::uint8_t value : grey) {
        EXPECT_TRUE(value == 0 || value == 255);
        picture.black.push_back(value == 0);
    }
    return picture;
}

Picture ReadPbm(const std::string& path)
{
    const Bytes file = ReadFile(path);
    const std::string text(file.begin(), file.end());
    Picture picture;
    std::istringstream in(text);
    std::string magic;
    in >> magic >> picture.width >> picture.height;
    EXPECT_EQ(magic, "P4");
    in.get();  // the one white-space byte before the bits
    const std::string bits = text.substr(static_cast<std::size_t>(in.tellg()));
    const unsigned rowBytes = (picture.width + 7) / 8;
    EXPECT_EQ(bits.size(), std::size_t{rowBytes} * picture.height);
    for (std::size_t at = 0; at < bits.size(); ++at) {
        const auto byte = static_cast<unsigned char>(bits[at]);
        for (unsigned bit = 0; bit < 8; ++bit) {
            const bool black = ((byte >> (7 - bit)) & 1) != 0;
            if ((at % rowBytes) * 8 + bit < picture.width)
                picture.black.push_back(black);
            else
                EXPECT_FALSE(black) << "padding bit in row " << at / rowBytes;  // as netpbm writes them
        }
    }
    return picture;
}

// Where the printer puts toner for the page on 600 x 600 dots: every raster
// bit that is 0 in a printed row, padding bits included, moved by the
// margins.
Picture Expected(const TestPage& page)
{
    Picture picture{600, 600, std::vector<bool>(std::size_t{600} * 600, false)};
    const unsigned padded = page.header.cupsBytesPerLine * 8;
    for (unsigned y = 0; y < page.rows.size(); ++y) {
        const Bytes& row = page.rows[y];
        if (row == WhiteRow(kWidth))
            continue;
        for (unsigned x = 0; x < padded; ++x)
            if (((row[x / 8] >> (7 - x % 8)) & 1) == 0)
                picture.black[(kTop + y) * 600 + kLeftDots + x] = true;
    }
    return picture;
}

TEST_F(MonodumpProgram, DrawsEveryPageWhereThePrinterPutsToner)
{
    const TestPage drawn = DrawnPage(1);
    const TestPage white = WhitePage(MonoHeader(kWidth, kHeight, 72, 72));
    Filter({drawn, white});
    const std::string png = dir.File("png");
    const std::string pbm = dir.File("pictures/pbm");
    const DumpResult result = RunMonodump({"--png", png, "--pbm", pbm, job});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const std::string& image : {png + "/page-001.png", pbm + "/page-001.pbm", png + "/page-002.png"})
        EXPECT_NE(result.out.find("image: " + image + "\n"), std::string::npos) << image;

    const Picture expected[] = {Expected(drawn), Expected(white)};
    ASSERT_GT(std::count(expected[0].black.begin(), expected[0].black.end(), true), 1000);
    for (const int page : {1, 2}) {
        const std::string name = "/page-00" + std::to_string(page);
        for (const Picture& picture : {ReadPng(png + name + ".png"), ReadPbm(pbm + name + ".pbm")}) {
            EXPECT_EQ(picture.width, 600U);
            EXPECT_EQ(picture.height, 600U);
            EXPECT_TRUE(picture.black == expected[page - 1].black) << name;
        }
    }
}

TEST_F(MonodumpProgram, InkOffThePaperIsCutOffWithAWarning)
{
    // 640 x 620 dots on 625 x 600: no margins, and dots beyond both edges;
    // the right edge falls inside a byte.
    TestPage page = WhitePage(MonoHeader(640, 620, 75, 72));
    page.rows[0][1] = 0x7F;    // dot 8: on the paper
    page.rows[1][78] = 0x7F;   // dot 624: the last one on the paper
    page.rows[2][78] = 0xBF;   // dot 625: just off it
    page.rows[3][79] = 0x00;   // the last byte
    page.rows[610][0] = 0x00;  // below the bottom edge
    Filter({page});
    const std::string png = dir.File("png");
    const std::string pbm = dir.File("pbm");
    const DumpResult result = RunMonodump({"--png", png, "--pbm", pbm, "--quiet", job});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "monodump: warning: page 1: black dots past the paper's right edge (625 dots) cut off in 2 of 620"
              " rows\n"
              "monodump: warning: page 1: black dots below the paper's bottom edge (600 rows) cut off in 1 of 620"
              " rows\n");
    for (const Picture& picture : {ReadPng(png + "/page-001.png"), ReadPbm(pbm + "/page-001.pbm")}) {
        ASSERT_EQ(picture.width, 625U);
        ASSERT_EQ(picture.height, 600U);
        EXPECT_TRUE(picture.black[8]);
        EXPECT_TRUE(picture.black[625 + 624]);
        EXPECT_EQ(std::count(picture.black.begin(), picture.black.end(), true), 2);
    }
}

TEST_F(MonodumpProgram, PaperWithoutAreaGetsNoImageAndAWarning)
{
    // The filter refuses such pages, but a stream can name any size.
    WriteFile(job, Cat({kZeros, kInit, SettingsBlock("1B 78 00 00 1B 79 00 00"), kStart, RowCommand(Hex("00 FF")), kEnd}));
    const std::string png = dir.File("png");
    const DumpResult result = RunMonodump({"--png", png, job});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("paper=0x0 dots"), std::string::npos) << result.out;
    EXPECT_NE(result.err.find("monodump: warning: page 1: the paper has no area, so no image is drawn"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(png + "/page-001.png"));
}

}  // namespace
