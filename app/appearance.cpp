#include "appearance.h"

#include "printer_128_png.h"
#include "printer_48_png.h"
#include "printer_512_png.h"

namespace {

// The option names in the web interface. The paper types are IPP's (what
// phones and CUPS know), shown by the PPD's names; print-darkness sets
// the density in five steps, 0% the lightest and 100% the darkest.
constexpr const char* kEnglish = R"STRINGS(
"media-type.stationery" = "Plain";
"media-type.stationery-heavyweight" = "Thick";
"media-type.cardstock" = "Extra Thick";
"print-color-mode.monochrome" = "Greys";
"print-color-mode.bi-level" = "Black Only, No Greys";
"print-color-mode.auto" = "Automatic (Greys)";
"print-darkness" = "Density (0% Lightest, 25% Normal, 100% Darkest)";
"print-quality.draft" = "Draft (Lighter, Saves Toner)";
"print-quality.high" = "High (Darker)";
)STRINGS";

}  // namespace

void SetIcons(pappl_pr_driver_data_t& data)
{
    data.icons[0].data = kPrinter48Png;
    data.icons[0].datalen = sizeof kPrinter48Png;
    data.icons[1].data = kPrinter128Png;
    data.icons[1].datalen = sizeof kPrinter128Png;
    data.icons[2].data = kPrinter512Png;
    data.icons[2].datalen = sizeof kPrinter512Png;
}

void AddWebIcons(pappl_system_t* system)
{
    papplSystemAddResourceData(system, "/favicon.png", "image/png", kPrinter128Png, sizeof kPrinter128Png);
    papplSystemAddResourceData(system, "/navicon.png", "image/png", kPrinter48Png, sizeof kPrinter48Png);
}

void AddStrings(pappl_system_t* system)
{
    // Loaded, the strings are the web interface's. As a resource PAPPL
    // would also list its language in the printer's attributes once more
    // at every request, so it goes once loaded.
    constexpr const char* kPath = "/rastertomono/en.strings";
    papplSystemAddStringsData(system, kPath, "en", kEnglish);
    papplSystemRemoveResource(system, kPath);
}
