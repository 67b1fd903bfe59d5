// The decoder on streams put together byte by byte: what it reads back
// from clean streams, and where and how it reports broken ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

#include "commands.h"
#include "decode.h"
#include "summary.h"
#include "support.h"

namespace {

// Density 2, weight 1, 600 x 600 dots, one copy.
const Bytes kSettings = SettingsBlock(kOneInchPaper);
constexpr std::size_t kFirstPageAt = 1024 + 12 + 43;

Bytes Page(std::initializer_list<Bytes> commands)
{
    Bytes page = kStart;
    for (const Bytes& command : commands)
        page.insert(page.end(), command.begin(), command.end());
    page.insert(page.end(), kEnd.begin(), kEnd.end());
    return page;
}

Bytes Job(std::initializer_list<Bytes> pages, const Bytes& settings = kSettings)
{
    Bytes job = Cat({kZeros, kInit, settings});
    for (const Bytes& page : pages)
        job.insert(job.end(), page.begin(), page.end());
    return job;
}

Bytes Complement(const Bytes& bytes)
{
    Bytes out(bytes.size());
    std::transform(bytes.begin(), bytes.end(), out.begin(),
                   [](std::uint8_t byte) { return static_cast<std::uint8_t>(~byte); });
    return out;
}

Bytes WithoutTrailingWhite(Bytes row)
{
    while (!row.empty() && row.back() == 0xFF)
        row.pop_back();
    return row;
}

TEST(Decode, TheWholeOneInchJobReadsBack)
{
    const Bytes stream = Cat({Job({}), kStart, RowCommand(Hex("00 FF")), Repeat(kBlank, 599), kEnd});
    const DecodedJob job = DecodeJob(stream);
    ASSERT_FALSE(job.violation) << Describe(*job.violation);
    ASSERT_TRUE(job.settings);
    EXPECT_EQ(job.settings->density, 2);
    EXPECT_EQ(job.settings->weight, 1);
    EXPECT_EQ(job.settings->paperWidth, 600);
    EXPECT_EQ(job.settings->paperHeight, 600);
    EXPECT_EQ(job.settings->copies, 1);
    ASSERT_EQ(job.pages.size(), 1U);
    const DecodedPage& page = job.pages[0];
    EXPECT_EQ(page.offset, kFirstPageAt);
    EXPECT_EQ(page.bytes, stream.size() - kFirstPageAt);
    EXPECT_EQ(page.encodedRows, 1U);
    EXPECT_EQ(page.blankRows, 599U);
    ASSERT_EQ(page.rows.size(), 600U);
    EXPECT_FALSE(page.rows[0].blank);
    EXPECT_EQ(page.rows[0].offset, kFirstPageAt + 9);
    EXPECT_EQ(page.rows[0].ink, Hex("FF"));  // raster 00 then white
    EXPECT_TRUE(page.rows[599].blank);
    EXPECT_TRUE(page.rows[599].ink.empty());
}

TEST(Decode, SettingValuesCopiesAndPagesComeThroughAsSent)
{
    // Darkness byte 05 is a setting below zero; 40 copies with their CRC.
    const Bytes settings = Hex(
        "1C 16 01 42 13  1C 16 02 42 05  1C 16 03 42 10  1B 26 41 01 00 01  1B 78 60 13 1B 79 68 1B"
        "  1B 26 41 03 00 00 00  1B 26 6C 28 00");
    const std::uint16_t crc = cyg_crc16(&settings[settings.size() - 5], 5);
    const Bytes copies = {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};
    const DecodedJob job =
        DecodeJob(Job({Page({}), Page({kBlank, RowCommand({})}), Page({RowCommand(Hex("FE 00"))})}, Cat({settings, copies})));
    ASSERT_FALSE(job.violation) << Describe(*job.violation);
    EXPECT_EQ(job.settings->weight, 3);
    EXPECT_EQ(job.settings->density, -11);
    EXPECT_EQ(job.settings->paperWidth, 4960);
    EXPECT_EQ(job.settings->paperHeight, 7016);
    EXPECT_EQ(job.settings->copies, 40);
    ASSERT_EQ(job.pages.size(), 3U);
    EXPECT_TRUE(job.pages[0].rows.empty());
    // An empty payload is a printed row that was all trailing white.
    ASSERT_EQ(job.pages[1].rows.size(), 2U);
    EXPECT_FALSE(job.pages[1].rows[1].blank);
    EXPECT_TRUE(job.pages[1].rows[1].ink.empty());
    EXPECT_EQ(job.pages[2].rows[0].ink, Bytes(3, 0x00));
}

TEST(RowPayload, WorkedExamplesExpandToTheComplementedRowWithoutTrailingWhite)
{
    for (const PayloadExample& example : kPayloadExamples) {
        InkBytes ink = {0x99};  // whatever was there before goes
        EXPECT_FALSE(ExpandRowPayload(Hex(example.payload), 0, ink)) << example.payload;
        EXPECT_EQ(ink, Complement(WithoutTrailingWhite(Hex(example.row)))) << example.payload;
    }
    // The longest literal run.
    InkBytes ink;
    Bytes literal = {0x7E};
    for (int i = 0; i < 127; ++i)
        literal.push_back(static_cast<std::uint8_t>(i));
    EXPECT_FALSE(ExpandRowPayload(literal, 0, ink));
    EXPECT_EQ(ink, Bytes(literal.begin() + 1, literal.end()));
}

TEST(RowPayload, ReservedHeadersAndRunsPastTheEndAreReportedWhereTheyStart)
{
    const struct {
        const char* payload;
        std::size_t at;
        const char* found;
    } cases[] = {
        {"7F 00", 0, "run header 7F"},
        {"00 AA 80", 2, "run header 80"},
        {"FE AA 81 00", 2, "run header 81"},
        {"01 AA BB FF AA", 3, "run header FF"},
        {"03 AA BB", 0, "literal run of 4 bytes with 2 payload bytes left"},
        {"00 AA 7E", 2, "literal run of 127 bytes with 0 payload bytes left"},
        {"00 AA FE", 2, "repeat run of 3 with its byte missing"},
        {"82", 0, "repeat run of 127 with its byte missing"},
    };
    for (const auto& c : cases) {
        InkBytes ink;
        const std::optional<Violation> violation = ExpandRowPayload(Hex(c.payload), 1000, ink);
        ASSERT_TRUE(violation) << c.payload;
        EXPECT_EQ(violation->offset, 1000 + c.at) << c.payload;
        EXPECT_EQ(violation->found, c.found) << c.payload;
    }
}

struct Broken {
    const char* what;
    Bytes stream;
    std::size_t offset;
    const char* found;
    const char* expected;  // the start of what is expected
};

Bytes Changed(Bytes bytes, std::size_t at, std::uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

TEST(StreamRules, TheFirstBrokenRuleIsReportedAtItsOffset)
{
    const Bytes good = Job({Page({RowCommand(Hex("00 AA"))})});
    const std::size_t row = kFirstPageAt + 9;
    const std::size_t afterPage = good.size();
    const Broken cases[] = {
        {"empty stream", {}, 0, "end of stream", "the rest of the 1024 zero bytes"},
        {"short preamble", Bytes(1000, 0x00), 1000, "end of stream", "the rest of the 1024 zero bytes"},
        {"preamble not zero", Changed(good, 700, 0x01), 700, "byte 01", "00: every job opens with 1024 zero bytes"},
        {"init", Changed(good, 1029, 0x41), 1029, "byte 41",
         "2D of the init command 1B 26 42 1B 25 2D 39 38 37 36 35 58"},
        {"init missing", Cat({kZeros, kSettings}), 1024, "paper-weight command", "init command"},
        {"settings missing", Cat({kZeros, kInit, Page({})}), 1036, "start-page command",
         "paper-weight command 1C 16 01 42 .., which opens the settings block"},
        {"settings out of order", Cat({kZeros, kInit, Hex("1C 16 02 42 12  1C 16 01 42 11")}), 1036,
         "darkness command", "paper-weight command"},
        {"render type", Changed(good, 1050, 0x11), 1050, "byte 11", "10 of the render-type command 1C 16 03 42 10"},
        {"input bin left out", Cat({kZeros, kInit, Hex("1C 16 01 42 11  1C 16 02 42 12  1C 16 03 42 10"),
                                    Hex("1B 78 58 02 1B 79 58 02")}),
         1051, "paper-size command", "input-bin command 1B 26 41 01 00 01"},
        {"resolution", Changed(good, 1068, 0x02), 1068, "byte 02", "03 of the resolution command"},
        {"copies CRC", Job({Page({})}, SettingsBlock(kOneInchPaper, "01 00 49 26")), 1077, "CRC-16 49 26",
         "49 25, the CRC-16 of 1B 26 6C 01 00"},
        {"no copies", Job({Page({})}, SettingsBlock(kOneInchPaper, "00 00 78 16")), 1075, "copy count 0", "a count from 1 to 32767"},
        {"negative copies", Job({Page({})}, SettingsBlock(kOneInchPaper, "00 80 F0 87")), 1075, "copy count 32768",
         "a count from 1 to 32767"},
        {"settings without a page", Job({}), kFirstPageAt, "end of stream", "start-page command"},
        {"second settings block", Cat({good, kSettings, Page({})}), afterPage, "paper-weight command",
         "start-page command 1B 24 41 1B 21 41 00 00 00, or the end of the stream"},
        {"rubbish after the last page", Cat({good, Hex("00")}), afterPage, "bytes 00", "start-page command"},
        {"start-page", Changed(good, kFirstPageAt + 4, 0x22), kFirstPageAt + 4, "byte 22",
         "21 of the start-page command"},
        {"blank-row count", Job({Page({Hex("1B 2A 42 02 00")})}), row + 3, "byte 02",
         "01 of the blank-row command 1B 2A 42 01 00"},
        {"unknown command", Job({Page({Hex("1B 2A 43 02 00 00")})}), row, "bytes 1B 2A 43 02 00 00 ...",
         "row command 1B 2A 41 02 .. .., blank-row command 1B 2A 42 01 00 or end-page command 1B 24 42"},
        {"row type", Job({Page({Hex("1B 2A 41 03 00 00")})}), row + 3, "byte 03", "02 of the row command"},
        {"reserved run header", Job({Page({RowCommand(Hex("00 AA 80"))})}), row + 6 + 2, "run header 80",
         "a literal-run header 00..7E or a repeat-run header 82..FE"},
        {"length field too short, run cut", Job({Page({Hex("1B 2A 41 02 02 00  01 ED CB")})}), row + 6,
         "literal run of 2 bytes with 1 payload bytes left", "runs that end where the 2-byte payload ends"},
        {"length field too short, runs whole", Job({Page({Hex("1B 2A 41 02 02 00  00 AA 00 BB")})}), row + 8,
         "bytes 00 BB 1B 24 42", "row command"},
        {"length field too long", Job({Page({Hex("1B 2A 41 02 04 00  00 AA")})}), row + 8,
         "literal run of 28 bytes with 1 payload bytes left", "runs that end where the 4-byte payload ends"},
        {"end of stream in a page", Bytes(good.begin(), good.end() - 3), afterPage - 3,
         "end of stream inside page 1", "row command"},
        {"end of stream in a payload", Bytes(good.begin(), good.end() - 4), afterPage - 4,
         "end of stream after 1 of the row's payload bytes",
         "2 payload bytes, as the length field at offset 1092 says"},
        {"end of stream in a row header", Bytes(good.begin(), good.begin() + row + 5), row + 5, "end of stream",
         "the rest of the row command"},
        {"end of stream in end-page", Bytes(good.begin(), good.end() - 1), afterPage - 1, "end of stream",
         "the rest of the end-page command 1B 24 42"},
    };
    for (const Broken& c : cases) {
        const DecodedJob job = DecodeJob(c.stream);
        ASSERT_TRUE(job.violation) << c.what;
        EXPECT_EQ(job.violation->offset, c.offset) << c.what << ": " << Describe(*job.violation);
        EXPECT_EQ(job.violation->found, c.found) << c.what;
        EXPECT_EQ(job.violation->expected.rfind(c.expected, 0), 0U)
            << c.what << ": expected '" << job.violation->expected << "'";
    }
}

TEST(StreamRules, DescribeGivesOffsetFoundAndExpected)
{
    EXPECT_EQ(Describe({1077, "CRC-16 49 26", "49 25"}), "offset 1077: CRC-16 49 26, expected 49 25");
}

// A job of three pages with every kind of row command.
Bytes ThreePageJob()
{
    return Job({Page({kBlank, RowCommand(Hex("00 AA 01 BB CC FE 00")), kBlank, RowCommand({})}),
                Page({RowCommand(Hex("82 55 7E 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"
                              " 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 24 25 26 27"
                              " 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F"
                              " 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 55 56 57"
                              " 58 59 5A 5B 5C 5D 5E 5F 60 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F"
                              " 70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E"))}),
                Page({})});
}

TEST(StreamRules, EveryCutOfAJobIsCaughtUnlessItFallsBetweenPages)
{
    const Bytes job = ThreePageJob();
    const DecodedJob whole = DecodeJob(job);
    ASSERT_FALSE(whole.violation);
    ASSERT_EQ(whole.pages.size(), 3U);
    const std::size_t cleanCuts[] = {1036, whole.pages[1].offset, whole.pages[2].offset};
    for (std::size_t size = 0; size < job.size(); ++size) {
        const DecodedJob cut = DecodeJob(std::span(job).first(size));
        if (std::find(std::begin(cleanCuts), std::end(cleanCuts), size) != std::end(cleanCuts)) {
            EXPECT_FALSE(cut.violation) << "cut at " << size;
            continue;
        }
        ASSERT_TRUE(cut.violation) << "cut at " << size;
        EXPECT_EQ(cut.violation->offset, size) << Describe(*cut.violation);
        EXPECT_EQ(cut.violation->found.rfind("end of stream", 0), 0U) << Describe(*cut.violation);
    }
}

TEST(StreamRules, DamagedStreamsEndInAReportNeverACrash)
{
    const Bytes job = ThreePageJob();
    std::mt19937 random(7);
    int caught = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = job;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = 1000 + random() % (damaged.size() - 1000);
            switch (random() % 3) {
            case 0: damaged[at] = static_cast<std::uint8_t>(random()); break;
            case 1: damaged.erase(damaged.begin() + static_cast<long>(at)); break;
            default: damaged.insert(damaged.begin() + static_cast<long>(at), static_cast<std::uint8_t>(random()));
            }
        }
        const DecodedJob decoded = DecodeJob(damaged);
        if (decoded.violation) {
            ++caught;
            EXPECT_LE(decoded.violation->offset, damaged.size());
        } else {
            const std::size_t bytes =
                std::accumulate(decoded.pages.begin(), decoded.pages.end(), kFirstPageAt,
                                [](std::size_t sum, const DecodedPage& page) { return sum + page.bytes; });
            EXPECT_EQ(bytes, damaged.size());
        }
    }
    EXPECT_GT(caught, 2000);
}

TEST(Summary, PaperNamesAllowTwoMillimetres)
{
    const struct {
        std::uint32_t width, height;
        const char* name;
    } cases[] = {
        {4960, 7016, "A4"},       {4960, 7015, "A4"},      {3512, 4958, "A5"},
        {4958, 3512, "A5 landscape"}, {4176, 5908, "B5"},  {5100, 6600, "Letter"},
        {6600, 5100, "Letter landscape"}, {5100, 8400, "Legal"}, {600, 600, "custom"},
        {5100, 7016, "custom"},   {0, 0, "custom"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PaperName(c.width, c.height), c.name) << c.width << "x" << c.height;
}

TEST(Summary, LinesHaveTheAgreedForm)
{
    const Bytes stream = Cat({Job({}), kStart, RowCommand(Hex("00 FF")), Repeat(kBlank, 599), kEnd});
    const DecodedJob job = DecodeJob(stream);
    ASSERT_TRUE(job.settings);
    EXPECT_EQ(SettingsLine(*job.settings),
              "settings: density=2 weight=1 paper=600x600 dots (25.4x25.4 mm, custom) copies=1");
    EXPECT_EQ(SettingsLine({-11, 3, 4960, 7016, 2}),
              "settings: density=-11 weight=3 paper=4960x7016 dots (210.0x297.0 mm, A4) copies=2");

    // 600 rows of 75 bytes stand for 45,000 raster bytes; the page takes 3,015.
    RowCounts page = CountPage(job.pages.at(0), *job.settings);
    EXPECT_EQ(PageLine(1, page), "page 1: rows=600 blank=599 encoded=1 bytes=3015 ratio=14.9");
    RowCounts total;
    Add(total, page);
    Add(total, page);
    total.bytes = 6109;
    EXPECT_EQ(TotalLine(2, total), "total: pages=2 rows=1200 blank=1198 encoded=2 bytes=6109 ratio=14.7");
}

}  // namespace
