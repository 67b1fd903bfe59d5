// Raster in, raster out: rasters written through libcups go through the
// real filter binary, and the decoder must give back every row exactly,
// complemented, behind the left margin and after the top margin, with only
// trailing white missing. libtiff's PackBits decoder expands the same
// payloads on its own, so that the filter's encoder and our decoder cannot
// agree on one mistake unnoticed.
#include <tiffio.h>

#include <random>

#include "decode.h"
#include "support.h"

namespace {

// Every payload in one strip of an 8-bit TIFF one row high, as wide as the
// longest expected row plus one; the rest of each strip is runs of a
// sentinel, which a payload expanding to a byte more or less moves.
void CrossCheckWithLibtiff(const std::vector<DecodedRow>& rows, const std::vector<Bytes>& expected,
                           const std::string& path)
{
    constexpr std::uint8_t kSentinel = 0x5A;
    std::size_t width = 1;
    for (const Bytes& row : expected)
        width = std::max(width, row.size() + 1);
    TIFFSetWarningHandler(nullptr);
    TIFF* out = TIFFOpen(path.c_str(), "w");
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows.size()));
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Bytes strip(rows[i].payload.begin(), rows[i].payload.end());
        for (std::size_t fill = width - expected[i].size(); fill > 0;) {
            const std::size_t run = std::min<std::size_t>(fill, 127);
            strip.push_back(run == 1 ? 0x00 : static_cast<std::uint8_t>(1 - static_cast<int>(run)));
            strip.push_back(kSentinel);
            fill -= run;
        }
        TIFFWriteRawStrip(out, static_cast<std::uint32_t>(i), strip.data(), static_cast<tmsize_t>(strip.size()));
    }
    TIFFClose(out);
    TIFF* in = TIFFOpen(path.c_str(), "r");
    Bytes decoded(width);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Bytes wanted = expected[i];
        wanted.resize(width, kSentinel);
        std::fill(decoded.begin(), decoded.end(), 0);
        EXPECT_EQ(TIFFReadEncodedStrip(in, static_cast<std::uint32_t>(i), decoded.data(), static_cast<tmsize_t>(width)),
                  static_cast<tmsize_t>(width));
        ASSERT_EQ(decoded, wanted) << "libtiff expands printed row " << i << " differently";
    }
    TIFFClose(in);
}

// Runs the filter on a raster file as CUPS hands a job over: named as its
// last argument, or through a pipe that delivers the stream in pieces of
// every size, from a byte to more than the filter reads at once.
RunResult RunOnRaster(const std::string& path, bool throughPipe)
{
    const std::string ppd = TestData("no-options.ppd");
    if (!throughPipe)
        return RunFilter("", path, ppd.c_str());
    RunSetup setup;
    setup.stdinPipe = true;
    RunningProgram filter = StartFilter("", "", ppd.c_str(), setup);
    WriteInPieces(filter.stdinFd, ReadFile(path), {1, 7, 637, 4093, 65536, 70001});
    return FinishProgram(filter);
}

// Runs the filter on the page as CUPS does, decodes its output and
// compares every row.
void ExpectRoundTrip(const TestPage& page, cups_mode_t mode, unsigned paperWidth, unsigned paperHeight,
                     bool throughPipe = false)
{
    TempDir dir;
    WriteRaster(dir.File("job.ras"), {page}, mode);
    const RunResult run = RunOnRaster(dir.File("job.ras"), throughPipe);
    EXPECT_EQ(run.status, 0);
    const DecodedJob job = DecodeJob(run.out);
    ASSERT_FALSE(job.violation) << Describe(*job.violation);
    ASSERT_EQ(job.pages.size(), 1U);
    ASSERT_EQ(job.settings->paperWidth, paperWidth);
    ASSERT_EQ(job.settings->paperHeight, paperHeight);
    const std::uint32_t marginLeft = paperWidth > page.header.cupsWidth ? (paperWidth - page.header.cupsWidth) / 16 : 0;
    const std::uint32_t marginTop = paperHeight > page.header.cupsHeight ? (paperHeight - page.header.cupsHeight) / 8 * 3 : 0;
    const std::vector<DecodedRow>& decoded = job.pages[0].rows;
    ASSERT_EQ(decoded.size(), marginTop + page.rows.size());
    std::vector<DecodedRow> printed;
    std::vector<Bytes> expected;
    for (std::size_t y = 0; y < decoded.size(); ++y) {
        const bool white = y < marginTop || page.rows[y - marginTop] == WhiteRow(page.header.cupsWidth);
        ASSERT_EQ(decoded[y].blank, white) << "row " << y;
        if (white)
            continue;
        // The margin and the row, complemented, up to the last byte that is not white.
        Bytes ink = Cat({Bytes(marginLeft, 0xFF), page.rows[y - marginTop]});
        while (!ink.empty() && ink.back() == 0xFF)
            ink.pop_back();
        for (std::uint8_t& byte : ink)
            byte = static_cast<std::uint8_t>(~byte);
        ASSERT_EQ(decoded[y].ink, ink) << "row " << y;
        printed.push_back(decoded[y]);
        expected.push_back(ink);
    }
    CrossCheckWithLibtiff(printed, expected, dir.File("rows.tif"));
}

Bytes NoiseRow(std::mt19937& random, unsigned width, double black)
{
    std::bernoulli_distribution isBlack(black);
    Bytes row((width + 7) / 8, 0xFF);
    for (unsigned x = 0; x < width; ++x)
        if (isBlack(random))
            row[x / 8] &= static_cast<std::uint8_t>(~(0x80 >> (x % 8)));
    ClearPadding(row, width);
    return row;
}

TEST(RoundTrip, RandomNoiseOfManyWidthsDensitiesAndPapers)
{
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const unsigned width = 8 * (1 + random() % 200) + seed % 8;  // every remainder
        const unsigned height = 1 + random() % 40;
        // Paper from smaller than the raster (no margins) to much larger.
        const unsigned paperWidth = 25 * (1 + random() % 100);
        const unsigned paperHeight = 25 * (1 + random() % 8);
        const double densities[] = {0.0, 0.01, 0.1, 0.5, 0.9, 0.99, 1.0};
        // Paper of a whole number of points, three copies.
        TestPage page = WhitePage(MonoHeader(width, height, static_cast<float>(paperWidth) * 72 / 600,
                                             static_cast<float>(paperHeight) * 72 / 600, 3));
        for (Bytes& row : page.rows)
            if (random() % 5 != 0)
                row = NoiseRow(random, width, densities[random() % std::size(densities)]);
        // Rows noise seldom makes: black, padding included; the first dot
        // alone; the last dot alone; white with its padding bits set, which
        // is printed, as an empty payload.
        if (height >= 4) {
            std::fill(page.rows[0].begin(), page.rows[0].end(), 0x00);
            page.rows[1] = page.rows[2] = WhiteRow(width);
            page.rows[1][0] = 0x7F;
            page.rows[2].back() &= static_cast<std::uint8_t>(~(0x80 >> ((width - 1) % 8)));
            std::fill(page.rows[3].begin(), page.rows[3].end(), 0xFF);
        }
        ExpectRoundTrip(page, seed % 2 == 0 ? CUPS_RASTER_WRITE : CUPS_RASTER_WRITE_COMPRESSED, paperWidth, paperHeight);
    }
}

// A page far taller than the 64 KiB the filter reads at a time, so that
// rows straddle its reads, with a left margin, in both stream forms, from
// a file and through a pipe.
TEST(RoundTrip, TallPagesFromAFileAndThroughAPipe)
{
    std::mt19937 random(7);
    const unsigned width = 5093;  // 637 bytes, the last one partly padding
    TestPage page = WhitePage(MonoHeader(width, 300, 648, 48));
    for (std::size_t y = 0; y < page.rows.size(); ++y)
        if (y % 3 != 0)
            page.rows[y] = NoiseRow(random, width, y % 3 == 1 ? 0.02 : 0.5);
    for (const bool throughPipe : {false, true})
        for (const cups_mode_t mode : {CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED}) {
            SCOPED_TRACE(std::string(throughPipe ? "pipe, " : "file, ") +
                         (mode == CUPS_RASTER_WRITE ? "uncompressed" : "compressed"));
            ExpectRoundTrip(page, mode, 5400, 400, throughPipe);
        }
}

}  // namespace
