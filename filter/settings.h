// Job settings: print density and paper weight from the PPD (after the job
// options are marked), the copy count, the paper size in printer dots and
// the margins that place the raster on the paper. Worked out once per job
// from the first page header and sent as one block before the first page.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>

struct PRINTER_SETTINGS {
    std::int32_t mPrintDensity;
    std::int32_t mPaperWeight;
};

inline constexpr std::int32_t gPrintDensityDefVar = 2;
inline constexpr std::int32_t gPaperWeightDefVar = 1;

extern PRINTER_SETTINGS gPrinterSettings;
extern std::uint32_t gMarginLeft;  // bytes of white in front of every row
extern std::int32_t gMarginTop;    // white rows at the top of every page

struct PaperDots {
    std::uint32_t width;
    std::uint32_t height;
};

// Paper size in 600-dpi dots: known sizes from a table, others from the
// header's page size in points.
PaperDots PaperSizeInDots(const cups_page_header2_t& header);

// Numeric value of the marked (or default) choice of a PPD option; -1 when
// the PPD has no such option or choice.
int getSettingsChoice(const char* pOption, ppd_file_t* ppd);

void parsePrinterSettings(ppd_file_t* ppd, const char* pSettings, const cups_page_header2_t& header);
void sendSettingsToPrinter();
