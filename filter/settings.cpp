#include "settings.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

#include "commands.h"
#include "output_cache.h"

PRINTER_SETTINGS gPrinterSettings{};
std::uint32_t gMarginLeft = 0;
std::int32_t gMarginTop = 0;

namespace {

struct KnownPaper {
    unsigned widthPt;
    unsigned lengthPt;
    PaperDots dots;
};

// The printer's own sizes. The 595-point side of A5 is 4,958 dots, of A4 4,960.
constexpr std::array<KnownPaper, 4> kKnownPapers = {{
    {595, 842, {4960, 7016}},  // A4
    {595, 420, {4958, 3512}},  // A5 landscape
    {420, 595, {3512, 4958}},  // A5
    {498, 708, {4176, 5908}},  // B5
}};

std::uint32_t PointsToDots(float points)
{
    // Single precision, multiplication first: 841.89 pt gives 7,015 dots.
    return static_cast<std::uint32_t>(points * 600.0F / 72.0F);
}

std::uint8_t SettingByte(std::int32_t value)
{
    return static_cast<std::uint8_t>((static_cast<std::uint32_t>(value) + kSettingValueBias) & 0xFF);
}

}  // namespace

PaperDots PaperSizeInDots(const cups_page_header2_t& header)
{
    for (const KnownPaper& paper : kKnownPapers)
        if (header.PageSize[0] == paper.widthPt && header.PageSize[1] == paper.lengthPt)
            return paper.dots;
    return {PointsToDots(header.cupsPageSize[0]), PointsToDots(header.cupsPageSize[1])};
}

int getSettingsChoice(const char* pOption, ppd_file_t* ppd)
{
    ppd_choice_t* choice = ppdFindMarkedChoice(ppd, pOption);
    if (choice == nullptr) {
        ppd_option_t* option = ppdFindOption(ppd, pOption);
        if (option == nullptr)
            return -1;
        choice = ppdFindChoice(option, option->defchoice);
        if (choice == nullptr)
            return -1;
    }
    // The keyword's leading number, as atoi reads it, but without
    // overflowing on absurd keywords.
    const long value = std::strtol(choice->choice, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

void parsePrinterSettings(ppd_file_t* ppd, const char* pSettings, const cups_page_header2_t& header)
{
    ppdMarkDefaults(ppd);
    cups_option_t* options = nullptr;
    const int numOptions = cupsParseOptions(pSettings, 0, &options);
    if (numOptions != 0 && options != nullptr) {
        cupsMarkOptions(ppd, numOptions, options);
        cupsFreeOptions(numOptions, options);
    }

    gPrinterSettings = {};
    gPrinterSettings.mPrintDensity = getSettingsChoice("PrintDensity", ppd);
    if (gPrinterSettings.mPrintDensity == -1)
        gPrinterSettings.mPrintDensity = gPrintDensityDefVar;
    szDarknessCmd[kSettingValueAt] = SettingByte(gPrinterSettings.mPrintDensity);

    gPrinterSettings.mPaperWeight = getSettingsChoice("PaperWeight", ppd);
    if (gPrinterSettings.mPaperWeight == -1)
        gPrinterSettings.mPaperWeight = gPaperWeightDefVar;
    szPaperWeightCmd[kSettingValueAt] = SettingByte(gPrinterSettings.mPaperWeight);

    // Only the low 16 bits travel; as a signed count they must be at least 1.
    auto numCopies = static_cast<std::uint16_t>(header.NumCopies & 0xFFFF);
    if (static_cast<std::int16_t>(numCopies) < 1)
        numCopies = 1;
    PutLe16(&szPrintNumCopiesCmd[kCopiesAt], numCopies);
    const std::uint16_t crc16 = cyg_crc16(szPrintNumCopiesCmd.data(), static_cast<int>(kCopiesCrcAt));
    PutLe16(&szPrintNumCopiesCmd[kCopiesCrcAt], crc16);

    const PaperDots paper = PaperSizeInDots(header);
    // Centre the raster across the paper to whole bytes: half the slack, in bytes.
    gMarginLeft = paper.width > header.cupsWidth ? (paper.width - header.cupsWidth) >> 4 : 0;
    // Three eighths of the vertical slack goes above the raster.
    gMarginTop = paper.height > header.cupsHeight
                     ? static_cast<std::int32_t>(((paper.height - header.cupsHeight) >> 3) * 3)
                     : 0;
    PutLe16(&szPaperSizeSelfdefCmd[kPaperWidthAt], paper.width);
    PutLe16(&szPaperSizeSelfdefCmd[kPaperHeightAt], paper.height);
}

void sendSettingsToPrinter()
{
    ImageDataCpy(szPaperWeightCmd);
    ImageDataCpy(szDarknessCmd);
    ImageDataCpy(szRenderTypeCmd);
    ImageDataCpy(szInputBinCmd);
    ImageDataCpy(szPaperSizeSelfdefCmd);
    ImageDataCpy(szResolutionCmd);
    ImageDataCpy(szPrintNumCopiesCmd);
}
