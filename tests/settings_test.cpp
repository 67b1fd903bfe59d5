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

Ppd OpenPpd(const std::string& name)
{
    Ppd ppd(ppdOpenFile(TestData(name).c_str()));
    EXPECT_NE(ppd, nullptr) << name;
    return ppd;
}

template <std::size_t N>
Bytes AsBytes(const std::array<std::uint8_t, N>& command)
{
    return {command.begin(), command.end()};
}

void Parse(const std::string& ppdName, const std::string& options, const cups_page_header2_t& header)
{
    const Ppd ppd = OpenPpd(ppdName);
    parsePrinterSettings(ppd.get(), options.c_str(), header);
}

TEST(PaperAndMargins, A4IsTakenFromTheTable)
{
    Parse("no-options.ppd", "", MonoHeader(4958, 6814, 595, 842));
    EXPECT_EQ(AsBytes(szPaperSizeSelfdefCmd), Hex("1B 78 60 13 1B 79 68 1B"));
    EXPECT_EQ(gMarginLeft, 0U);
    EXPECT_EQ(gMarginTop, 75);
}

TEST(PaperAndMargins, OtherTableSizes)
{
    const struct {
        float width, length;
        PaperDots dots;
    } sizes[] = {{595, 420, {4958, 3512}}, {420, 595, {3512, 4958}}, {498, 708, {4176, 5908}}};
    for (const auto& size : sizes) {
        const PaperDots dots = PaperSizeInDots(MonoHeader(100, 100, size.width, size.length));
        EXPECT_EQ(dots.width, size.dots.width);
        EXPECT_EQ(dots.height, size.dots.height);
    }
}

TEST(PaperAndMargins, SizesOutsideTheTableComeFromThePointSize)
{
    const PaperDots letter = PaperSizeInDots(MonoHeader(100, 100, 612, 792));
    EXPECT_EQ(letter.width, 5100U);
    EXPECT_EQ(letter.height, 6600U);

    // Single precision: 841.89 * 600 / 72 is 7,015.75.
    cups_page_header2_t header = MonoHeader(100, 100, 841.89F, 1000);
    header.PageSize[0] = 842;
    EXPECT_EQ(PaperSizeInDots(header).width, 7015U);
}

TEST(PaperAndMargins, MarginsCentreAcrossAndPlaceThreeEighthsAbove)
{
    // Letter: 5,100 x 6,600 dots around a 4,800 x 6,200 raster.
    Parse("no-options.ppd", "", MonoHeader(4800, 6200, 612, 792));
    EXPECT_EQ(gMarginLeft, (5100U - 4800U) >> 4);
    EXPECT_EQ(gMarginTop, ((6600 - 6200) >> 3) * 3);
    EXPECT_EQ(AsBytes(szPaperSizeSelfdefCmd), Hex("1B 78 EC 13 1B 79 C8 19"));
}

TEST(PaperAndMargins, RasterAsLargeAsThePaperHasNoMargins)
{
    Parse("no-options.ppd", "", MonoHeader(4960, 7016, 595, 842));
    EXPECT_EQ(gMarginLeft, 0U);
    EXPECT_EQ(gMarginTop, 0);
    Parse("no-options.ppd", "", MonoHeader(5000, 8000, 595, 842));
    EXPECT_EQ(gMarginLeft, 0U);
    EXPECT_EQ(gMarginTop, 0);
}

TEST(DensityAndWeight, BuiltInDefaultsWhenThePpdHasNoOptions)
{
    Parse("no-options.ppd", "", MonoHeader(600, 600, 72, 72));
    EXPECT_EQ(gPrinterSettings.mPrintDensity, 2);
    EXPECT_EQ(gPrinterSettings.mPaperWeight, 1);
    EXPECT_EQ(AsBytes(szDarknessCmd), Hex("1C 16 02 42 12"));
    EXPECT_EQ(AsBytes(szPaperWeightCmd), Hex("1C 16 01 42 11"));
}

TEST(DensityAndWeight, PpdDefaultsApply)
{
    Parse("with-options.ppd", "", MonoHeader(600, 600, 72, 72));
    EXPECT_EQ(AsBytes(szDarknessCmd), Hex("1C 16 02 42 15"));
    EXPECT_EQ(AsBytes(szPaperWeightCmd), Hex("1C 16 01 42 12"));
}

TEST(DensityAndWeight, JobOptionsOverrideThePpdDefaults)
{
    Parse("with-options.ppd", "PrintDensity=3 PaperWeight=3", MonoHeader(600, 600, 72, 72));
    EXPECT_EQ(AsBytes(szDarknessCmd), Hex("1C 16 02 42 13"));
    EXPECT_EQ(AsBytes(szPaperWeightCmd), Hex("1C 16 01 42 13"));
}

TEST(DensityAndWeight, ChoicesThePpdDoesNotOfferAreIgnored)
{
    Parse("with-options.ppd", "PrintDensity=9", MonoHeader(600, 600, 72, 72));
    EXPECT_EQ(AsBytes(szDarknessCmd), Hex("1C 16 02 42 15"));
}

TEST(DensityAndWeight, NonNumericChoiceKeywordReadsAsZero)
{
    Parse("named-choice.ppd", "", MonoHeader(600, 600, 72, 72));
    EXPECT_EQ(gPrinterSettings.mPrintDensity, 0);
    EXPECT_EQ(AsBytes(szDarknessCmd), Hex("1C 16 02 42 10"));
}

TEST(DensityAndWeight, ChoiceLookup)
{
    const Ppd ppd = OpenPpd("with-options.ppd");
    ppdMarkDefaults(ppd.get());
    EXPECT_EQ(getSettingsChoice("PrintDensity", ppd.get()), 5);
    EXPECT_EQ(getSettingsChoice("NoSuchOption", ppd.get()), -1);
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
