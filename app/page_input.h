// Turning the pages and options PAPPL hands the application into what the
// rastertomono filter reads: a CUPS raster of the printable area (one bit,
// white = 1, padding bits 0) and the PPD options string.
#pragma once

#include <cups/raster.h>
#include <pappl/pappl.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One paper of the printer, as its PPD describes it.
struct Paper {
    std::string pwgName;  // what IPP clients ask for
    std::string ppdName;  // the PPD's PageSize choice
    // The page header a PPD queue's raster has for this paper: printable
    // area, resolution and colour model as CUPS works them out from the PPD.
    cups_page_header2_t header{};
    unsigned left = 0;  // printable area's left edge on the whole page, in dots
    unsigned top = 0;   // printable area's top edge on the whole page, in dots
    // Unprintable edges in hundredths of millimetres, as IPP states margins.
    int marginLeft = 0, marginRight = 0, marginBottom = 0, marginTop = 0;
};

// Reads every paper of the PPD that has an IPP name. Returns false with a
// message when the PPD cannot be read or offers no paper.
bool LoadPapers(const char* ppdPath, std::vector<Paper>& papers, std::string& error);

// The paper an IPP media name stands for, or nullptr.
const Paper* FindPaper(const std::vector<Paper>& papers, const char* pwgName);

// How the lines of a page arrive from PAPPL.
enum class LineSense : std::uint8_t {
    kBlack1,  // one bit per dot, 1 = toner
    kWhite1,  // one bit per dot, 1 = paper
    kGray8,   // one byte per dot, 255 = white
    kBlack8,  // one byte per dot, 255 = toner
};

struct InputPage {
    LineSense sense = LineSense::kBlack1;
    unsigned width = 0;   // dots in an input line
    unsigned height = 0;  // lines on the input page
    unsigned bytesPerLine = 0;
};

// What a page header from a client means for this printer: the input page,
// or false with the reason the page cannot be printed at its true size.
bool InputFromHeader(const cups_page_header2_t& header, InputPage& input, std::string& reason);

// One 16 × 16 threshold matrix, as PAPPL's dither arrays are laid out.
using Dither = unsigned char[16][16];

// Converts input line y of the whole page into the filter's row for the
// printable area that starts at (left, top): the dots from `left` on, cut
// or padded with white to out's width, white = 1, padding bits 0. Grey
// dots are set by the dither matrix, tiled over the whole page.
void ConvertLine(std::span<const std::uint8_t> in, const InputPage& input, unsigned y, unsigned left,
                 const Dither& dither, std::span<std::uint8_t> out, unsigned outWidth);

// The filter's PrintDensity (1-5) for a job's print-darkness (-100..100)
// on a printer set to printer-darkness-configured (0..100): five levels,
// 25 apart, so that the printer's default of 25 prints at density 2. Draft
// quality prints one level lighter, to save toner; high quality one
// darker, for solid blacks.
int DensityForDarkness(int printDarkness, int darknessConfigured, ipp_quality_t quality = IPP_QUALITY_NORMAL);

// How grey becomes dots: a clustered screen (ghostscript's own for PDF),
// a dispersed one (finer, for photos), or a threshold at the middle.
enum class Screen : std::uint8_t { kClustered, kDispersed, kThreshold };

// The screen for a job: bi-level colour and text content threshold, photo
// content disperses, everything else (graphics, left to the printer)
// clusters.
Screen ScreenFor(pappl_color_mode_t colorMode, pappl_content_t content);

// How far a job's pages turn on the paper, in degrees counter-clockwise;
// -1 turns a page when that fits it better (its long side across the
// paper's). A printer left at its factory orientation (portrait) turns
// pages that fit better so unless the job names an orientation, as CUPS
// lays pages out.
int TurnFor(ipp_orient_t orientation, bool named);

// The filter's PaperWeight (1-3) for an IPP media-type.
int WeightForMediaType(const char* mediaType);

// The options string the filter marks into the PPD.
std::string FilterOptions(int density, int weight);
