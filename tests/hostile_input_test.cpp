// Hostile and broken input: every case has a defined exit status, ends in
// time, and whatever it wrote is a stream the printer reads correctly:
// every page that was begun is closed and every command is whole.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "decode.h"
#include "support.h"

namespace {

struct HostileCase {
    std::string name;
    Bytes raster;
    int status;
    std::uint32_t pages;  // pages in the stream, each closed
    std::string options;
    std::string ppd = "no-options.ppd";
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const HostileCase& c, std::ostream* out)
{
    *out << c.name;
}

Bytes Random(std::size_t size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

TestPage Inked(const cups_page_header2_t& header)
{
    TestPage page = WhitePage(header);
    for (std::size_t y = 0; y < page.rows.size(); y += 2)
        page.rows[y][0] = 0x0F;
    return page;
}

// A small page that prints, with one header field changed.
template <typename Change>
Bytes Changed(Change change, std::size_t rows = 8)
{
    TestPage page = Inked(MonoHeader(64, 8, 72, 72));
    change(page.header);
    page.rows.resize(rows, Bytes(8, 0xFF));
    return RawRaster({page});
}

Bytes Compressed(const std::vector<TestPage>& pages)
{
    TempDir dir;
    WriteRaster(dir.File("c.ras"), pages, CUPS_RASTER_WRITE_COMPRESSED);
    return ReadFile(dir.File("c.ras"));
}

std::vector<HostileCase> Cases()
{
    const TestPage small = Inked(MonoHeader(64, 8, 72, 72));
    const Bytes valid = RawRaster({small});
    const Bytes headerOnly(valid.begin(), valid.begin() + 4 + sizeof(cups_page_header2_t));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const auto pageSize = [](float width, float length) {
        return [=](cups_page_header2_t& h) {
            h.PageSize[0] = 100;
            h.PageSize[1] = 100;
            h.cupsPageSize[0] = width;
            h.cupsPageSize[1] = length;
        };
    };
    const auto size = [](unsigned width, unsigned height, unsigned bytesPerLine) {
        return [=](cups_page_header2_t& h) {
            h.cupsWidth = width;
            h.cupsHeight = height;
            h.cupsBytesPerLine = bytesPerLine;
        };
    };
    TestPage wide = Inked(MonoHeader(65535, 2, 72, 72));
    TestPage eightBit = small;
    eightBit.header.cupsBitsPerColor = eightBit.header.cupsBitsPerPixel = 8;
    eightBit.header.cupsBytesPerLine = 64;
    eightBit.rows.assign(8, Bytes(64, 0x80));
    const Bytes eightBitRaster = RawRaster({eightBit});
    TestPage truncatedCompressed = Inked(MonoHeader(600, 50, 72, 72));
    Bytes compressed = Compressed({truncatedCompressed});
    compressed.resize(compressed.size() - 20);

    std::vector<HostileCase> cases = {
        {"empty stream", {}, 1, 0, ""},
        {"sync word alone", Hex("33 53 61 52"), 1, 0, ""},
        {"byte-swapped sync word alone", Hex("52 61 53 33"), 1, 0, ""},
        {"unknown sync word", Hex("00 11 22 33 44"), 1, 0, ""},
        {"truncated header", Bytes(valid.begin(), valid.begin() + 900), 1, 0, ""},
        {"truncated row", Bytes(valid.begin(), valid.end() - 20), 0, 1, ""},
        {"header alone", headerOnly, 0, 1, ""},
        {"garbage after a valid header", Cat({headerOnly, Random(100000, 1)}), 1, 1, ""},
        {"valid page then garbage", Cat({valid, Random(3000, 2)}), 1, 1, ""},
        {"random bytes", Random(4096, 3), 1, 0, ""},
        {"random bytes behind a sync word", Cat({Hex("33 53 61 52"), Random(8192, 4)}), 1, 0, ""},
        {"width 0", Changed(size(0, 8, 0)), 1, 0, ""},
        {"width 0 with bytes", Changed(size(0, 8, 8)), 1, 0, ""},
        {"width 1", Changed(size(1, 8, 1)), 0, 1, ""},
        {"width 65535", RawRaster({wide}), 0, 1, ""},
        {"width 65536", Changed(size(65536, 8, 8192)), 1, 0, ""},
        {"width at its maximum", Changed(size(0xFFFFFFFF, 8, 0x20000000)), 1, 0, ""},
        {"height 0", Changed(size(64, 0, 8)), 1, 0, ""},
        {"height 1", Changed(size(64, 1, 8), 1), 0, 1, ""},
        {"height 65535, rows missing", Changed(size(64, 65535, 8), 3), 0, 1, ""},
        {"height 65536", Changed(size(64, 65536, 8)), 1, 0, ""},
        {"height at its maximum", Changed(size(64, 0xFFFFFFFF, 8)), 1, 0, ""},
        {"bytes per line 0", Changed(size(64, 8, 0)), 1, 0, ""},
        {"bytes per line one too many", Changed(size(64, 8, 9)), 1, 0, ""},
        {"bytes per line one too few", Changed(size(64, 8, 7)), 1, 0, ""},
        {"bytes per line at its maximum", Changed(size(64, 8, 0xFFFFFFFF)), 1, 0, ""},
        {"8-bit raster", RawRaster({eightBit}), 1, 0, ""},
        {"2 bits per pixel", Changed([](cups_page_header2_t& h) { h.cupsBitsPerColor = h.cupsBitsPerPixel = 2; h.cupsBytesPerLine = 16; }), 1, 0, ""},
        {"0 bits per pixel", Changed([](cups_page_header2_t& h) { h.cupsBitsPerColor = h.cupsBitsPerPixel = 0; }), 1, 0, ""},
        {"three colours", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_RGB; h.cupsNumColors = 3; }), 1, 0, ""},
        {"black = 1 colour space", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_K; }), 1, 0, ""},
        {"sGray colour space", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_SW; }), 0, 1, ""},
        {"colour space out of range", Changed([](cups_page_header2_t& h) { h.cupsColorSpace = static_cast<cups_cspace_t>(0x7FFFFFFF); }), 1, 0, ""},
        {"300 dpi", Changed([](cups_page_header2_t& h) { h.HWResolution[0] = h.HWResolution[1] = 300; }), 1, 0, ""},
        {"page size NaN", Changed(pageSize(nan, 100)), 1, 0, ""},
        {"page size infinite", Changed(pageSize(100, inf)), 1, 0, ""},
        {"page size negative", Changed(pageSize(-72, 100)), 1, 0, ""},
        {"page size 0", Changed(pageSize(0, 0)), 1, 0, ""},
        {"page size huge", Changed(pageSize(1e30F, 100)), 1, 0, ""},
        {"page size just under 65536 dots", Changed(pageSize(7864, 7864)), 0, 1, ""},
        {"page size just over 65535 dots", Changed(pageSize(7865, 100)), 1, 0, ""},
        {"A4 by name with a NaN size", Changed([&](cups_page_header2_t& h) { h.PageSize[0] = 595; h.PageSize[1] = 842; h.cupsPageSize[0] = nan; }), 1, 0, ""},
        {"NumCopies 0", Changed([](cups_page_header2_t& h) { h.NumCopies = 0; }), 0, 1, ""},
        {"NumCopies at its maximum", Changed([](cups_page_header2_t& h) { h.NumCopies = 0xFFFFFFFF; }), 0, 1, ""},
        {"second page unprintable", Cat({valid, Bytes(eightBitRaster.begin() + 4, eightBitRaster.end())}), 1, 1, ""},
        {"many small pages", RawRaster(std::vector<TestPage>(300, Inked(MonoHeader(8, 2, 72, 72)))), 0, 300, ""},
        {"compressed stream cut short", compressed, 0, 1, ""},
        {"compressed garbage", Cat({Hex("32 53 61 52"), Bytes(headerOnly.begin() + 4, headerOnly.end()), Random(5000, 5)}), 1, 1, ""},
        {"very long options", valid, 0, 1, std::string(100000, 'a') + "=b"},
        {"absurd density", valid, 0, 1, "PrintDensity=99999999999999999999999", "with-options.ppd"},
        {"unbalanced quote", valid, 0, 1, "PrintDensity='3 PaperWeight=\"", "with-options.ppd"},
        {"only separators", valid, 0, 1, "= = ,,, \\"},
        {"bytes that are not text", valid, 0, 1, "\xff\xfe=\x01\x02 PaperWeight=\x80"},
        {"PPD missing", valid, 1, 0, "", "missing.ppd"},
        {"PPD empty", valid, 1, 0, "", "empty.ppd"},
        {"PPD not a PPD", valid, 1, 0, "", "broken.ppd"},
        {"PPD with an absurd choice", valid, 0, 1, "", "absurd-choice.ppd"},
    };
    return cases;
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, HasADefinedOutcomeAndAWellFormedStream)
{
    const HostileCase& c = GetParam();
    TempDir dir;
    const std::string raster = dir.File("job.ras");
    WriteFile(raster, c.raster);

    const std::string ppd = TestData(c.ppd);
    RunSetup setup;
    setup.timeoutSeconds = 60;
    const RunResult result = RunFilter(FilterArgs(c.options, raster), ppd.c_str(), setup);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (result.status != 0) {
        EXPECT_NE(result.err.find("ERROR: "), std::string::npos) << "a failed job says why";
    }

    if (result.out.empty()) {
        EXPECT_EQ(c.pages, 0U) << "only a start-up failure writes nothing";
        return;
    }
    const DecodedJob job = DecodeJob(result.out);
    EXPECT_FALSE(job.violation.has_value()) << Describe(*job.violation);
    EXPECT_EQ(job.pages.size(), c.pages);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

}  // namespace
