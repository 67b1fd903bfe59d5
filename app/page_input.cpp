#include "page_input.h"

#include <cups/ppd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr unsigned kResolution = 600;
// The largest page the filter takes, in dots either way (109 inches).
constexpr unsigned kMaxDots = 65535;

unsigned PointsToDots(float points)
{
    return static_cast<unsigned>(std::lround(points * static_cast<float>(kResolution) / 72.0F));
}

int PointsToHundredthsMm(float points)
{
    return static_cast<int>(std::ceil(points * 2540.0F / 72.0F));
}

// The IPP name of a PPD paper: the registered one where libcups knows the
// PPD name, otherwise a self-describing custom name with the same size.
std::string PwgNameFor(const ppd_size_t& size)
{
    if (const pwg_media_t* media = pwgMediaForPPD(size.name))
        return media->pwg;
    char name[128];
    std::string lower(size.name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!pwgFormatSizeName(name, sizeof(name), "custom", lower.c_str(), PWG_FROM_POINTS(size.width),
                           PWG_FROM_POINTS(size.length), nullptr))
        return {};
    return name;
}

struct PpdCloser {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};

}  // namespace

bool LoadPapers(const char* ppdPath, std::vector<Paper>& papers, std::string& error)
{
    const std::unique_ptr<ppd_file_t, PpdCloser> ppd(ppdOpenFile(ppdPath));
    if (!ppd) {
        error = std::string("cannot read the printer's PPD ") + ppdPath;
        return false;
    }
    papers.clear();
    for (int i = 0; i < ppd->num_sizes; ++i) {
        const ppd_size_t& size = ppd->sizes[i];
        Paper paper;
        paper.pwgName = PwgNameFor(size);
        paper.ppdName = size.name;
        if (paper.pwgName.empty())
            continue;
        // The header CUPS gives a PPD queue's raster for this paper.
        ppdMarkDefaults(ppd.get());
        ppdMarkOption(ppd.get(), "PageSize", size.name);
        if (cupsRasterInterpretPPD(&paper.header, ppd.get(), 0, nullptr, nullptr) != 0)
            continue;
        paper.left = PointsToDots(size.left);
        paper.top = PointsToDots(size.length - size.top);
        paper.marginLeft = PointsToHundredthsMm(size.left);
        paper.marginRight = PointsToHundredthsMm(size.width - size.right);
        paper.marginBottom = PointsToHundredthsMm(size.bottom);
        paper.marginTop = PointsToHundredthsMm(size.length - size.top);
        papers.push_back(std::move(paper));
    }
    if (papers.empty()) {
        error = std::string("the printer's PPD ") + ppdPath + " offers no paper";
        return false;
    }
    return true;
}

const Paper* FindPaper(const std::vector<Paper>& papers, const char* pwgName)
{
    for (const Paper& paper : papers)
        if (paper.pwgName == pwgName)
            return &paper;
    return nullptr;
}

bool InputFromHeader(const cups_page_header2_t& header, InputPage& input, std::string& reason)
{
    if (header.HWResolution[0] != kResolution || header.HWResolution[1] != kResolution) {
        reason = "the page is at " + std::to_string(header.HWResolution[0]) + "x" +
                 std::to_string(header.HWResolution[1]) +
                 " dpi; the printer prints 600x600 dpi only and would print it at the wrong size";
        return false;
    }
    // A client's header holds any number there, not only the enum's values.
    unsigned space = 0;
    static_assert(sizeof space == sizeof header.cupsColorSpace);
    std::memcpy(&space, &header.cupsColorSpace, sizeof space);
    if (header.cupsBitsPerPixel == 1 && space == CUPS_CSPACE_K)
        input.sense = LineSense::kBlack1;
    else if (header.cupsBitsPerPixel == 1 && (space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW))
        input.sense = LineSense::kWhite1;
    else if (header.cupsBitsPerPixel == 8 && space == CUPS_CSPACE_K)
        input.sense = LineSense::kBlack8;
    else if (header.cupsBitsPerPixel == 8 && (space == CUPS_CSPACE_SW || space == CUPS_CSPACE_W))
        input.sense = LineSense::kGray8;
    else {
        reason = "the page's colour model (" + std::to_string(header.cupsBitsPerPixel) + " bits, colour space " +
                 std::to_string(space) + ") is not one the printer takes";
        return false;
    }
    // Refused before PAPPL sizes its line buffers by the header, or skips a
    // short page's missing lines one by one.
    if (header.cupsWidth > kMaxDots || header.cupsHeight > kMaxDots) {
        reason = "the page is " + std::to_string(header.cupsWidth) + "x" + std::to_string(header.cupsHeight) +
                 " dots; the printer takes at most " + std::to_string(kMaxDots) + " dots either way";
        return false;
    }
    const unsigned long long needed =
        (static_cast<unsigned long long>(header.cupsWidth) * header.cupsBitsPerPixel + 7) / 8;
    if (header.cupsWidth == 0 || header.cupsHeight == 0 || header.cupsBytesPerLine != needed) {
        reason = "the page header's size fields do not agree";
        return false;
    }
    input.width = header.cupsWidth;
    input.height = header.cupsHeight;
    input.bytesPerLine = header.cupsBytesPerLine;
    return true;
}

void ConvertLine(std::span<const std::uint8_t> in, const InputPage& input, unsigned y, unsigned left,
                 const Dither& dither, std::span<std::uint8_t> out, unsigned outWidth)
{
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const std::size_t usable = std::min<std::size_t>(in.size(), input.bytesPerLine);
    // The input dots that land in the row: from `left` up to the input's
    // width or the row's, whichever ends first. The rest stays white.
    const bool bits = input.sense == LineSense::kBlack1 || input.sense == LineSense::kWhite1;
    const unsigned inWidth =
        std::min<unsigned>(input.width, bits ? static_cast<unsigned>(usable * 8) : static_cast<unsigned>(usable));
    const unsigned dots = inWidth > left ? std::min(inWidth - left, outWidth) : 0;

    if (bits && left % 8 == 0) {
        // Whole bytes, complemented where 1 is toner; then the bits past
        // the last dot cleared.
        const std::size_t bytes = (dots + 7) / 8;
        const std::uint8_t flip = input.sense == LineSense::kBlack1 ? 0xFF : 0x00;
        for (std::size_t i = 0; i < bytes; ++i)
            out[i] = static_cast<std::uint8_t>(in[left / 8 + i] ^ flip);
        if (dots % 8 != 0)
            out[bytes - 1] &= static_cast<std::uint8_t>(0xFF00U >> (dots % 8));
    } else {
        const unsigned char* row = dither[y & 15];
        for (unsigned x = 0; x < dots; ++x) {
            const unsigned at = left + x;
            bool black = false;
            switch (input.sense) {
            case LineSense::kBlack1:
                black = (in[at / 8] & (0x80U >> (at % 8))) != 0;
                break;
            case LineSense::kWhite1:
                black = (in[at / 8] & (0x80U >> (at % 8))) == 0;
                break;
            case LineSense::kGray8:
                black = in[at] < 255 && in[at] <= row[at & 15];
                break;
            case LineSense::kBlack8:
                black = in[at] > row[at & 15];
                break;
            }
            if (!black)
                out[x / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
        }
    }
    // Dots past the input's right edge are paper: white.
    for (unsigned x = dots; x < outWidth; ++x)
        out[x / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
}

int DensityForDarkness(int printDarkness, int darknessConfigured, ipp_quality_t quality)
{
    // Wide enough for any two ints: PAPPL checks the job's value, not the
    // one a state file brings.
    const long long level = std::clamp(static_cast<long long>(darknessConfigured) + printDarkness, 0LL, 100LL);
    const int density = static_cast<int>(1 + (level * 4 + 50) / 100);
    const int step = quality == IPP_QUALITY_DRAFT ? -1 : quality == IPP_QUALITY_HIGH ? 1 : 0;
    return std::clamp(density + step, 1, 5);
}

Screen ScreenFor(pappl_color_mode_t colorMode, pappl_content_t content)
{
    if (colorMode == PAPPL_COLOR_MODE_BI_LEVEL || content == PAPPL_CONTENT_TEXT)
        return Screen::kThreshold;
    return content == PAPPL_CONTENT_PHOTO ? Screen::kDispersed : Screen::kClustered;
}

int TurnFor(ipp_orient_t orientation, bool named)
{
    switch (orientation) {
    case IPP_ORIENT_LANDSCAPE:
        return 90;
    case IPP_ORIENT_REVERSE_LANDSCAPE:
        return 270;
    case IPP_ORIENT_REVERSE_PORTRAIT:
        return 180;
    case IPP_ORIENT_PORTRAIT:
        return named ? 0 : -1;
    default:
        return -1;
    }
}

int WeightForMediaType(const char* mediaType)
{
    if (std::strcmp(mediaType, "stationery-heavyweight") == 0)
        return 2;
    if (std::strcmp(mediaType, "cardstock") == 0)
        return 3;
    return 1;
}

std::string FilterOptions(int density, int weight)
{
    return "PrintDensity=" + std::to_string(density) + " PaperWeight=" + std::to_string(weight);
}
