// Raster in, raster out: rasters written through libcups go through the
// real filter binary, and the decoder must give back every row exactly,
// complemented, behind the left margin and after the top margin, with
// only trailing white missing. libtiff's PackBits decoder expands the
// same payloads on its own, so that the filter's encoder and our decoder
// cannot agree on one mistake unnoticed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "decode.h"
#include "support.h"

namespace {

struct Paper {
    std::uint32_t width;  // dots
    std::uint32_t height;
};

// Paper sizes in dots that are a whole number of points (multiples of 25
// dots), so the filter's page-size arithmetic gives them back exactly.
cups_page_header2_t Header(unsigned width, unsigned height, Paper paper, unsigned copies = 1)
{
    const std::uint32_t widthPt = paper.width * 72 / 600;
    const std::uint32_t heightPt = paper.height * 72 / 600;
    return MonoHeader(width, height, static_cast<float>(widthPt), static_cast<float>(heightPt), copies);
}

// What the printer must get for a printed raster row: the white margin
// bytes and the row, complemented, up to the last byte that is not white.
Bytes ExpectedInk(const Bytes& raster, std::uint32_t marginLeft)
{
    Bytes row(marginLeft, 0xFF);
    row.insert(row.end(), raster.begin(), raster.end());
    while (!row.empty() && row.back() == 0xFF)
        row.pop_back();
    std::transform(row.begin(), row.end(), row.begin(),
                   [](std::uint8_t byte) { return static_cast<std::uint8_t>(~byte); });
    return row;
}

// libtiff reports through process-wide handlers; a PackBits stream that it
// has to repair (runs past the row, data missing) shows up here.
std::vector<std::string> gTiffComplaints;

void RecordTiffComplaint(const char* module, const char* format, va_list args)
{
    std::array<char, 512> text{};
    (void)std::vsnprintf(text.data(), text.size(), format, args);
    gTiffComplaints.push_back(std::string(module != nullptr ? module : "") + ": " + text.data());
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

// Puts every payload into one strip of an 8-bit TIFF one row high, as
// wide as the longest expected row plus one; each payload is followed by
// runs of a sentinel byte that fill the strip, so a payload that expands
// to a single byte more or less than expected moves the sentinel.
// Returns the rows libtiff checked.
std::size_t CrossCheckWithLibtiff(const std::vector<std::span<const std::uint8_t>>& payloads,
                                  const std::vector<Bytes>& expected, const std::string& path)
{
    constexpr std::uint8_t kSentinel = 0x5A;
    if (payloads.empty())
        return 0;
    std::size_t width = 0;
    for (const Bytes& row : expected)
        width = std::max(width, row.size() + 1);

    gTiffComplaints.clear();
    TIFFSetErrorHandler(RecordTiffComplaint);
    TIFFSetWarningHandler(RecordTiffComplaint);
    {
        const Tiff out(TIFFOpen(path.c_str(), "w"));
        EXPECT_TRUE(out);
        if (!out)
            return 0;
        TIFFSetField(out.get(), TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
        TIFFSetField(out.get(), TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(payloads.size()));
        TIFFSetField(out.get(), TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(out.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(out.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(out.get(), TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
        TIFFSetField(out.get(), TIFFTAG_ROWSPERSTRIP, 1);
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            Bytes strip(payloads[i].begin(), payloads[i].end());
            for (std::size_t fill = width - expected[i].size(); fill > 0;) {
                const std::size_t run = std::min<std::size_t>(fill, 127);
                // One byte as a literal run, more as a repeat run.
                strip.push_back(run == 1 ? 0x00 : static_cast<std::uint8_t>(1 - static_cast<int>(run)));
                strip.push_back(kSentinel);
                fill -= run;
            }
            EXPECT_EQ(TIFFWriteRawStrip(out.get(), static_cast<std::uint32_t>(i), strip.data(),
                                        static_cast<tmsize_t>(strip.size())),
                      static_cast<tmsize_t>(strip.size()));
        }
    }
    const Tiff in(TIFFOpen(path.c_str(), "r"));
    EXPECT_TRUE(in);
    if (!in)
        return 0;
    std::size_t checked = 0;
    Bytes decoded(width);
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        std::fill(decoded.begin(), decoded.end(), 0);
        const tmsize_t got = TIFFReadEncodedStrip(in.get(), static_cast<std::uint32_t>(i), decoded.data(),
                                                  static_cast<tmsize_t>(width));
        Bytes wanted = expected[i];
        wanted.resize(width, kSentinel);
        const ::testing::AssertionResult same = SameBytes(decoded, wanted);
        if (got != static_cast<tmsize_t>(width) || !same) {
            ADD_FAILURE() << "libtiff expands printed row " << i << " differently: " << same.message();
            break;
        }
        ++checked;
    }
    EXPECT_TRUE(gTiffComplaints.empty()) << gTiffComplaints.front() << " (and " << gTiffComplaints.size() - 1
                                         << " more)";
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return checked;
}

// Writes the pages through libcups, runs the filter on them as CUPS does,
// decodes its output and compares every row. paper, when given, is the
// paper size the first page asks for. Returns the rows sent as row
// commands, each of them also expanded by libtiff.
std::size_t ExpectRoundTrip(const std::vector<TestPage>& pages, cups_mode_t mode, std::optional<Paper> paper)
{
    TempDir dir;
    const std::string raster = dir.File("job.ras");
    WriteRaster(raster, pages, mode);
    const RunResult run = RunFilter(FilterArgs("", raster), TestData("no-options.ppd").c_str());
    EXPECT_EQ(run.status, 0);

    const DecodedJob job = DecodeJob(run.out);
    EXPECT_FALSE(job.violation) << Describe(*job.violation);
    EXPECT_EQ(job.pages.size(), pages.size());
    if (job.violation || !job.settings || job.pages.size() != pages.size())
        return 0;
    if (paper) {
        EXPECT_EQ(job.settings->paperWidth, paper->width);
        EXPECT_EQ(job.settings->paperHeight, paper->height);
    }

    // The first page places every page of the job.
    const cups_page_header2_t& first = pages[0].header;
    const std::uint32_t width = job.settings->paperWidth;
    const std::uint32_t height = job.settings->paperHeight;
    const std::uint32_t marginLeft = width > first.cupsWidth ? (width - first.cupsWidth) >> 4 : 0;
    const std::uint32_t marginTop = height > first.cupsHeight ? ((height - first.cupsHeight) >> 3) * 3 : 0;

    std::size_t printed = 0;
    for (std::size_t p = 0; p < pages.size(); ++p) {
        SCOPED_TRACE("page " + std::to_string(p + 1));
        const TestPage& page = pages[p];
        const DecodedPage& decoded = job.pages[p];
        EXPECT_EQ(decoded.rows.size(), marginTop + page.rows.size());
        if (decoded.rows.size() != marginTop + page.rows.size())
            return printed;
        for (std::uint32_t y = 0; y < marginTop; ++y)
            EXPECT_TRUE(decoded.rows[y].blank) << "top margin row " << y;

        std::vector<std::span<const std::uint8_t>> payloads;
        std::vector<Bytes> expected;
        for (std::size_t y = 0; y < page.rows.size(); ++y) {
            const DecodedRow& row = decoded.rows[marginTop + y];
            const Bytes& source = page.rows[y];
            const bool white = source == WhiteRow(page.header.cupsWidth);
            const Bytes ink = white ? Bytes{} : ExpectedInk(source, marginLeft);
            const ::testing::AssertionResult same = SameBytes(row.ink, ink);
            if (row.blank != white || !same) {
                ADD_FAILURE() << "raster row " << y << (white ? " is white" : " is printed") << ", decoded as a "
                              << (row.blank ? "blank row" : "row command") << ": " << same.message();
                break;
            }
            if (!white) {
                payloads.push_back(row.payload);
                expected.push_back(ink);
            }
        }
        EXPECT_EQ(CrossCheckWithLibtiff(payloads, expected, dir.File("rows.tif")), payloads.size());
        printed += payloads.size();
    }
    return printed;
}

cups_mode_t Mode(std::size_t i)
{
    return i % 2 == 0 ? CUPS_RASTER_WRITE : CUPS_RASTER_WRITE_COMPRESSED;
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
        const unsigned width = 9 + random() % 1600;
        const unsigned height = 1 + random() % 40;
        // Paper from smaller than the raster (no margins) to much larger.
        const Paper paper = {25 * (1 + static_cast<std::uint32_t>(random() % 100)),
                             25 * (1 + static_cast<std::uint32_t>(random() % 8))};
        const double densities[] = {0.0, 0.01, 0.1, 0.5, 0.9, 0.99, 1.0};
        TestPage page = WhitePage(Header(width, height, paper));
        for (Bytes& row : page.rows)
            if (random() % 5 != 0)
                row = NoiseRow(random, width, densities[random() % std::size(densities)]);
        ExpectRoundTrip({page}, Mode(seed), paper);
    }
}

TEST(RoundTrip, RunsOfEveryLengthAroundTheRunLimits)
{
    const unsigned lengths[] = {1, 2, 3, 4, 5, 6, 125, 126, 127, 128, 129, 130, 131,
                                252, 253, 254, 255, 256, 257, 258, 380, 381, 382, 383};
    const std::uint8_t values[] = {0x00, 0x55, 0xFF, 0x0F};
    std::mt19937 random(99);
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        const unsigned length = lengths[i];
        SCOPED_TRACE("run of " + std::to_string(length));
        const unsigned bytes = length + 8;
        const unsigned width = bytes * 8 - length % 8;  // every width remainder too
        std::vector<Bytes> rows;
        for (const std::uint8_t value : values) {
            for (unsigned before = 0; before <= 3; ++before) {
                for (unsigned after = 0; after <= 3; ++after) {
                    // Neighbours that differ from the run and from each other.
                    Bytes row;
                    for (unsigned k = 0; k < before; ++k)
                        row.push_back(static_cast<std::uint8_t>(value ^ (0x11 * (k + 1))));
                    row.insert(row.end(), length, value);
                    for (unsigned k = 0; k < after; ++k)
                        row.push_back(static_cast<std::uint8_t>(value ^ (0x21 * (k + 1))));
                    row.resize(bytes, 0xFF);
                    ClearPadding(row, width);
                    rows.push_back(row);
                }
            }
        }
        // Runs that fill the row and end at its last byte, and pairs of
        // runs back to back.
        Bytes full(bytes, static_cast<std::uint8_t>(random()));
        ClearPadding(full, width);
        rows.push_back(full);
        Bytes pair(bytes, 0x3C);
        std::fill_n(pair.begin(), bytes / 2, 0x00);
        rows.push_back(pair);

        // Paper no larger than the raster: no margins.
        const Paper paper = {25 * (width / 25 == 0 ? 1 : width / 25), 25};
        TestPage page{Header(width, static_cast<unsigned>(rows.size()), paper), rows};
        ExpectRoundTrip({page}, Mode(i), paper);
    }
}

TEST(RoundTrip, EveryWidthRemainderWithAndWithoutMargins)
{
    std::mt19937 random(8);
    for (unsigned w = 0; w < 8; ++w) {
        for (const bool margins : {false, true}) {
            const unsigned width = 8 * 37 + w;
            SCOPED_TRACE("width " + std::to_string(width) + (margins ? " with margins" : ""));
            const unsigned bytes = (width + 7) / 8;
            const Paper paper = margins ? Paper{600, 200} : Paper{275, 25};
            TestPage page = WhitePage(Header(width, 12, paper));
            page.rows[1] = NoiseRow(random, width, 0.3);
            page.rows[2] = Bytes(bytes, 0x00);  // all black
            ClearPadding(page.rows[2], width);
            page.rows[3][0] = 0x7F;  // first dot only
            // Last dot only.
            page.rows[4][bytes - 1] = static_cast<std::uint8_t>(WhiteRow(width).back() & ~(0x80 >> ((width - 1) % 8)));
            page.rows[5] = Bytes(bytes, 0xFF);  // white, padding bits set: printed, as an empty payload
            page.rows[6] = NoiseRow(random, width, 0.97);
            page.rows[8][bytes / 2] = 0xEF;  // one dot in the middle
            ExpectRoundTrip({page}, Mode(w), paper);
        }
    }
}

TEST(RoundTrip, MarginsPlaceTheRasterOnThePaper)
{
    const Paper paper = {1200, 1500};
    const struct {
        unsigned width, height;
    } sizes[] = {{1000, 1000}, {1199, 1499}, {1200, 1500}, {1300, 1600}, {20, 9}, {1150, 1470}};
    std::mt19937 random(5);
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        SCOPED_TRACE("raster " + std::to_string(sizes[i].width) + "x" + std::to_string(sizes[i].height));
        TestPage page = WhitePage(Header(sizes[i].width, sizes[i].height, paper));
        for (std::size_t y = 0; y < page.rows.size(); y += 1 + random() % 40)
            page.rows[y] = NoiseRow(random, sizes[i].width, 0.2);
        page.rows.back() = NoiseRow(random, sizes[i].width, 0.5);
        ExpectRoundTrip({page}, Mode(i), paper);
    }
}

TEST(RoundTrip, MultiPageJobsKeepTheFirstPagesPlacement)
{
    std::mt19937 random(3);
    const Paper paper = {1000, 800};
    auto noisy = [&](unsigned width, unsigned height, double black) {
        TestPage page = WhitePage(Header(width, height, paper, 3));
        for (Bytes& row : page.rows)
            if (random() % 3 != 0)
                row = NoiseRow(random, width, black);
        return page;
    };
    // The same size throughout.
    ExpectRoundTrip({noisy(700, 60, 0.1), noisy(700, 60, 0.5), noisy(700, 60, 0.9)}, CUPS_RASTER_WRITE, paper);
    // Later pages of other sizes still sit at the first page's margins.
    ExpectRoundTrip({noisy(640, 500, 0.05), noisy(901, 30, 0.3), noisy(64, 900, 0.5), noisy(1200, 10, 0.5)},
                    CUPS_RASTER_WRITE_COMPRESSED, paper);
    // White pages between printed ones.
    const TestPage white = WhitePage(Header(700, 40, paper, 3));
    ExpectRoundTrip({white, noisy(700, 40, 0.2), white, white, noisy(700, 40, 0.02)}, CUPS_RASTER_WRITE, paper);
}

std::vector<TestPage> ReadRaster(const std::string& path)
{
    std::vector<TestPage> pages;
    const int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header{};
    while (cupsRasterReadHeader2(ras, &header) != 0) {
        TestPage page{header, {}};
        Bytes row(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
                break;
            page.rows.push_back(row);
        }
        pages.push_back(std::move(page));
    }
    cupsRasterClose(ras);
    close(fd);
    return pages;
}

// Two small pages of text, rules and a halftone, the way CUPS's own
// raster filters draw them: 600 dpi, one bit, white = 1.
constexpr const char* kTextPages = R"(%!PS
/Times-Roman findfont 11 scalefont setfont
18 190 moveto (Rows of text compress into literal runs between white.) show
/Helvetica-Bold findfont 24 scalefont setfont
18 160 moveto (Bold 24 point) show
/Courier findfont 8 scalefont setfont
0 1 9 { /i exch def 18 140 i 10 mul sub moveto (monospaced line ) show i 4 string cvs show } for
0.5 setgray 200 20 70 100 rectfill 0 setgray
0.25 setlinewidth 10 10 moveto 278 206 lineto stroke
showpage
/Times-Italic findfont 40 scalefont setfont
20 100 moveto (Page two) show
4 setlinewidth 0 0 moveto 288 0 lineto 288 216 lineto 0 216 lineto closepath stroke
showpage
)";

TEST(RoundTrip, PagesRenderedByGhostscript)
{
    TempDir dir;
    const std::string ps = dir.File("text.ps");
    std::ofstream(ps) << kTextPages;
    const std::string small = dir.File("text.ras");
    const std::string a4 = dir.File("sample.ras");
    const std::vector<std::string> cups = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups", "-r600",
                                           "-dcupsColorSpace=0", "-dcupsBitsPerColor=1", "-dcupsColorOrder=0"};
    auto with = [&](std::initializer_list<std::string> more) {
        std::vector<std::string> args = cups;
        args.insert(args.end(), more);
        return args;
    };
    const RunResult text = RunProgram("gs", with({"-dDEVICEWIDTHPOINTS=288", "-dDEVICEHEIGHTPOINTS=216",
                                                 "-dFIXEDMEDIA", "-sOutputFile=" + small, ps}));
    if (text.status == 127)
        GTEST_SKIP() << "ghostscript is not installed";
    ASSERT_EQ(text.status, 0) << text.err;
    const RunResult sample =
        RunProgram("gs", with({"-sPAPERSIZE=a4", "-sOutputFile=" + a4, std::string(RTM_EXAMPLES) + "/sample-page.ps"}));
    ASSERT_EQ(sample.status, 0) << sample.err;

    for (const std::string& raster : {small, a4}) {
        const std::vector<TestPage> pages = ReadRaster(raster);
        ASSERT_FALSE(pages.empty());
        ASSERT_EQ(pages[0].header.cupsBitsPerPixel, 1U);
        ASSERT_EQ(pages[0].header.cupsColorSpace, CUPS_CSPACE_W);
        EXPECT_GT(ExpectRoundTrip(pages, CUPS_RASTER_WRITE_COMPRESSED, std::nullopt), 500U) << raster;
    }
}

}  // namespace
