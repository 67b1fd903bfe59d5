// Fuzzes what the Printer Application makes of a client's page before the
// filter sees it: the page header check, each line converted onto a paper
// of the printer's PPD (every dot checked against the rule), and the job
// options turned into the filter's.
//
// Header fields are drawn either from values clients really send or as any
// 32-bit value, so that both the pages that pass and the ones refused are
// reached without a seed corpus.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "page_input.h"

namespace {

const std::vector<Paper>& Papers()
{
    static const std::vector<Paper> papers = [] {
        std::vector<Paper> loaded;
        std::string error;
        if (!LoadPapers(RTM_PPD, loaded, error))
            std::abort();
        return loaded;
    }();
    return papers;
}

unsigned Field(FuzzedDataProvider& input, std::initializer_list<unsigned> usual)
{
    if (input.ConsumeBool())
        return input.ConsumeIntegral<unsigned>();
    return *(usual.begin() + input.ConsumeIntegralInRange<std::size_t>(0, usual.size() - 1));
}

void Fail(const char* what)
{
    (void)std::fputs(what, stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    cups_page_header2_t header{};
    header.HWResolution[0] = Field(input, {600, 300, 1200});
    header.HWResolution[1] = Field(input, {600, 300, 1200});
    header.cupsBitsPerPixel = Field(input, {1, 8, 16, 24});
    // Stored as the wire has it: any 32-bit value, not only the enum's.
    const unsigned space = Field(input, {CUPS_CSPACE_K, CUPS_CSPACE_SW, CUPS_CSPACE_W, CUPS_CSPACE_SRGB});
    std::memcpy(&header.cupsColorSpace, &space, sizeof space);
    header.cupsWidth = Field(input, {0, 1, 7, 9, 4960, 5100, 65535, 65536, 0x20000000});
    header.cupsHeight = Field(input, {0, 1, 7015, 65536});
    header.cupsBytesPerLine = input.ConsumeBool()
                                  ? static_cast<unsigned>((std::uint64_t{header.cupsWidth} * header.cupsBitsPerPixel + 7) / 8)
                                  : input.ConsumeIntegral<unsigned>();

    InputPage page;
    std::string reason;
    if (!InputFromHeader(header, page, reason)) {
        if (reason.empty())
            Fail("a page refused without a reason\n");
    } else {
        const Paper& paper = Papers()[input.ConsumeIntegralInRange<std::size_t>(0, Papers().size() - 1)];
        Dither dither{};
        input.ConsumeData(dither, sizeof dither);
        const auto y = input.ConsumeIntegral<unsigned>();
        const unsigned left = Field(input, {0, paper.left, 3, 8, 9});
        const unsigned outWidth = paper.header.cupsWidth;
        // PAPPL hands over lines of at least the header's length; a short
        // one stands for a client line that ended early.
        std::vector<std::uint8_t> line =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, page.bytesPerLine));
        std::vector<std::uint8_t> row((outWidth + 7) / 8, 0xA5);
        ConvertLine(line, page, y, left, dither, row, outWidth);
        // Every dot against the rule: an input dot at left + x that is black,
        // or grey no lighter than the dither's threshold there, is toner; all
        // else is paper. The filter takes the bits past the last dot as they
        // are: they must be 0.
        const bool bits = page.sense == LineSense::kBlack1 || page.sense == LineSense::kWhite1;
        const unsigned tonerBit = page.sense == LineSense::kBlack1 ? 1 : 0;
        const std::size_t have = std::min<std::size_t>(page.width, bits ? line.size() * 8 : line.size());
        for (std::size_t x = 0; x < row.size() * 8; ++x) {
            const std::size_t at = left + x;
            const unsigned threshold = dither[y % 16][at % 16];
            const bool toner = at < have && (bits                              ? ((line[at / 8] >> (7 - at % 8)) & 1) == tonerBit
                                             : page.sense == LineSense::kGray8 ? line[at] < 255 && line[at] <= threshold
                                                                               : line[at] > threshold);
            if (((row[x / 8] >> (7 - x % 8)) & 1) != static_cast<unsigned>(x < outWidth && !toner))
                Fail("a dot of the row is not what the line holds there\n");
        }
    }

    const int density = DensityForDarkness(input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>());
    const int weight = WeightForMediaType(input.ConsumeRandomLengthString(64).c_str());
    if (density < 1 || density > 5 || weight < 1 || weight > 3)
        Fail("a density or paper weight the PPD does not have\n");
    (void)FindPaper(Papers(), input.ConsumeRandomLengthString(64).c_str());
    (void)FilterOptions(density, weight);
    return 0;
}
