#include <gtest/gtest.h>

#include <memory>

#include "commands.h"
#include "settings.h"
#include "support.h"

namespace {

struct PpdCloser {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

template <std::size_t N>
Bytes AsBytes(const std::array<std::uint8_t, N>& command)
{
    return {command.begin(), command.end()};
}

void Parse(const std::string& ppdName, const std::string& options, const cups_page_header2_t& header)
{
    const Ppd ppd(ppdOpenFile(TestData(ppdName).c_str()));
    ASSERT_NE(ppd, nullptr) << ppdName;
    parsePrinterSettings(ppd.get(), options.c_str(), header);
}

TEST(PaperAndMargins, PaperSizeComesFromTheTableOrThePointSize)
{
    const struct {
        float width, length;
        PaperDots dots;
    } sizes[] = {
        {595, 842, {4960, 7016}},  // A4
        {595, 420, {4958, 3512}},  // A5 landscape
        {420, 595, {3512, 4958}},  // A5
        {498, 708, {4176, 5908}},  // B5
        {612, 792, {5100, 6600}},  // Letter, from its size in points
    };
    for (const auto& size : sizes) {
        const PaperDots dots = PaperSizeInDots(MonoHeader(100, 100, size.width, size.length));
        EXPECT_EQ(dots.width, size.dots.width) << size.width;
        EXPECT_EQ(dots.height, size.dots.height) << size.length;
    }
    // Single precision: 841.89 * 600 / 72 is 7,015.75.
    cups_page_header2_t header = MonoHeader(100, 100, 841.89F, 1000);
    header.PageSize[0] = 842;
    EXPECT_EQ(PaperSizeInDots(header).width, 7015U);
}

TEST(PaperAndMargins, MarginsCentreAcrossAndPlaceThreeEighthsAbove)
{
    const struct {
        unsigned width, height;
        float pageWidth, pageLength;
        std::uint32_t left;
        std::int32_t top;
        const char* paperSize;  // when checked
    } cases[] = {
        {4958, 6814, 595, 842, 0, 75, "1B 78 60 13 1B 79 68 1B"},
        // Letter: 5,100 x 6,600 dots around a 4,800 x 6,200 raster.
        {4800, 6200, 612, 792, (5100 - 4800) >> 4, ((6600 - 6200) >> 3) * 3, "1B 78 EC 13 1B 79 C8 19"},
        // A raster as large as the paper, or larger, has no margins.
        {4960, 7016, 595, 842, 0, 0, nullptr},
        {5000, 8000, 595, 842, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        Parse("no-options.ppd", "", MonoHeader(c.width, c.height, c.pageWidth, c.pageLength));
        EXPECT_EQ(gMarginLeft, c.left) << c.width;
        EXPECT_EQ(gMarginTop, c.top) << c.height;
        if (c.paperSize != nullptr) {
            EXPECT_EQ(AsBytes(szPaperSizeSelfdefCmd), Hex(c.paperSize));
        }
    }
}

TEST(DensityAndWeight, BuiltInDefaultsThenPpdDefaultsThenOfferedJobOptions)
{
    const struct {
        const char* ppd;
        const char* options;
        const char* darkness;
        const char* paperWeight;
    } cases[] = {
        {"no-options.ppd", "", "1C 16 02 42 12", "1C 16 01 42 11"},
        {"with-options.ppd", "", "1C 16 02 42 15", "1C 16 01 42 12"},
        {"with-options.ppd", "PrintDensity=3 PaperWeight=3", "1C 16 02 42 13", "1C 16 01 42 13"},
        // A choice the PPD does not offer is ignored.
        {"with-options.ppd", "PrintDensity=9", "1C 16 02 42 15", "1C 16 01 42 12"},
        // A keyword that is not a number reads as 0.
        {"named-choice.ppd", "", "1C 16 02 42 10", "1C 16 01 42 12"},
    };
    for (const auto& c : cases) {
        Parse(c.ppd, c.options, MonoHeader(600, 600, 72, 72));
        EXPECT_EQ(AsBytes(szDarknessCmd), Hex(c.darkness)) << c.ppd << " " << c.options;
        EXPECT_EQ(AsBytes(szPaperWeightCmd), Hex(c.paperWeight)) << c.ppd << " " << c.options;
    }
}

TEST(Copies, CountAndCrc)
{
    const struct {
        unsigned numCopies;
        const char* command;
    } cases[] = {
        {0, "1B 26 6C 01 00 49 25"},     {1, "1B 26 6C 01 00 49 25"},
        {2, "1B 26 6C 02 00 1A 70"},     {10, "1B 26 6C 0A 00 B3 F9"},
        {40000, "1B 26 6C 01 00 49 25"}, {65538, "1B 26 6C 02 00 1A 70"},
        {32767, nullptr},
    };
    for (const auto& c : cases) {
        Parse("no-options.ppd", "", MonoHeader(600, 600, 72, 72, c.numCopies));
        const Bytes command = AsBytes(szPrintNumCopiesCmd);
        if (c.command != nullptr) {
            EXPECT_EQ(command, Hex(c.command)) << c.numCopies;
        } else {
            EXPECT_EQ(command[3] | command[4] << 8, 32767);
            EXPECT_EQ(command[5] | command[6] << 8, cyg_crc16(command.data(), 5));
        }
    }
}

}  // namespace
