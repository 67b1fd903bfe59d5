// Documents as phones, command lines and CUPS send them: PDF printed with
// the same bytes as a CUPS queue with the PPD, photos and drawings in grey
// by luminance, pages laid out as the job asks, and documents cancelled
// while they print.
#include <bit>
#include <tuple>

#include "app_support.h"

namespace {

// What a CUPS queue with the PPD sends the printer for a PDF: CUPS's own
// filter chain, pdftopdf laying the pages on the paper, gstoraster
// rendering their printable area, and the rastertomono filter, each given
// the job's copies and options.
Bytes AsCupsPrintsIt(const TempDir& dir, const std::string& pdf, const std::string& options, int copies)
{
    std::string input = pdf;
    for (const char* stage : {"pdftopdf", "gstoraster", "rastertomono"}) {
        RunSetup setup;
        setup.env = {std::string("PPD=") + RTM_PPD};
        setup.stdoutPath = dir.File(stage);
        const std::string program = std::string_view(stage) == "rastertomono" ? RTM_FILTER_PATH
                                                                              : std::string("/usr/lib/cups/filter/") + stage;
        const RunResult run = RunProgram(program, {stage, "1", "tester", "ref", std::to_string(copies), options, input}, setup);
        EXPECT_EQ(run.status, 0) << stage << ": " << run.err;
        input = setup.stdoutPath;
    }
    return ReadFile(input);
}

using Documents = SharedServer;

struct PdfCase {
    const char* name;
    const char* ppdSize;
    JobOptions job;
    int density, weight;
    const char* document = nullptr;  // the manual when null
};

// The manual on its own paper, and scaled down to fit a smaller one; the
// A4 sample page scaled to Letter's height, and so centred across.
const PdfCase kPdfs[] = {
    {"LetterPagesTwoToFourTwoCopiesDarkCardstock", "Letter",
     {"na_letter_8.5x11in", "cardstock", 50, 2, nullptr, 2, 4}, 4, 3},
    {"ScaledOntoA5", "A5", {"iso_a5_148x210mm", nullptr, 0, 1, nullptr, 1, 2}, 2, 1},
    {"A4ScaledOntoLetter", "Letter", {"na_letter_8.5x11in", nullptr, 0, 1, nullptr, 1, 1}, 2, 1, RTM_TESTPAGE},
    // Pages turned by their /Rotate, boxes away from 0 0, a page drawing
    // past its box and one with a CropBox; one page too large for A4 has
    // them all fitted.
    {"TurnedShiftedAndCroppedPagesOntoA4", "A4", {"iso_a4_210x297mm", nullptr, 0, 1, nullptr, 1, 6}, 2, 1,
     RTM_TEST_DATA "/turned-pages.pdf"},
};

class Pdf : public Documents, public ::testing::WithParamInterface<PdfCase> {};

TEST_P(Pdf, SameBytesAsACupsQueueWithThePpd)
{
    const PdfCase& c = GetParam();
    const std::string manual = c.document != nullptr ? c.document : Manual(server->dir);
    const JobResult job = PrintFile(*server, "mono", c.name, manual, c.job, "application/pdf");
    ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
    EXPECT_EQ(job.impressions, c.job.lastPage - c.job.firstPage + 1);
    const Bytes expected = AsCupsPrintsIt(
        server->dir, manual,
        std::string("media=") + c.ppdSize + " page-ranges=" + std::to_string(c.job.firstPage) + "-" +
            std::to_string(c.job.lastPage) + " PrintDensity=" + std::to_string(c.density) +
            " PaperWeight=" + std::to_string(c.weight),
        c.job.copies);
    EXPECT_TRUE(::SameBytes(server->Output("mono"), expected));
}

INSTANTIATE_TEST_SUITE_P(Manual, Pdf, ::testing::ValuesIn(kPdfs), kByName);

TEST_F(Documents, PagesPastTheEndOfAPdfFailTheJob)
{
    const JobResult job = PrintFile(*server, "mono", "past-end", Manual(server->dir), {.firstPage = 40, .lastPage = 41},
                                    "application/pdf");
    EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(job.message.find("no pages in the range"), std::string::npos) << job.message;
}

// Under a white strip, which must stay white, four bands, top to bottom:
// red, green, blue, mid grey (for a grey image the greys of their
// luminance), rendered into a real image file by ghostscript's image devices.
std::string BandsImage(const TempDir& dir, const char* device, const char* name, bool grey)
{
    const char* colours[] = {"0.5 setgray", "0 0 1 setrgbcolor", "0 1 0 setrgbcolor", "1 0 0 setrgbcolor"};
    const char* greys[] = {"128 255 div setgray", "29 255 div setgray", "150 255 div setgray", "77 255 div setgray"};
    std::string draw;
    for (int band = 0; band < 4; ++band)
        draw += std::string(grey ? greys[band] : colours[band]) + " 0 " + std::to_string(band * 100) + " 300 100 rectfill ";
    std::string path = dir.File(name);
    const RunResult gs = RunProgram(
        "/usr/bin/gs", {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", std::string("-sDEVICE=") + device, "-r50",
                        "-dDEVICEWIDTHPOINTS=300", "-dDEVICEHEIGHTPOINTS=500", "-dJPEGQ=95",
                        "-sOutputFile=" + path, "-c", draw + "showpage"});
    EXPECT_EQ(gs.status, 0) << gs.err;
    return path;
}

struct ImageCase {
    const char* name;
    const char* device;
    const char* file;
    const char* format;
    bool grey;
    int copies;
};

const ImageCase kImages[] = {
    {"ColourPngTwoCopies", "png16m", "bands.png", "image/png", false, 2},
    {"ColourJpeg", "jpeg", "bands.jpg", "image/jpeg", false, 1},
    {"GreyJpeg", "jpeggray", "bands-grey.jpg", "image/jpeg", true, 1},
};

// The image as printed, found by its ink: its centre across, and the ink in
// the middle of each of its four bands, as a share of the dots there.
struct Bands {
    double centre = 0;
    std::vector<double> ink;
};

Bands FindBands(const DecodedPage& page)
{
    std::size_t top = page.rows.size();
    std::size_t bottom = 0;
    std::size_t first = SIZE_MAX;
    std::size_t last = 0;
    for (std::size_t y = 0; y < page.rows.size(); ++y)
        for (std::size_t i = 0; i < page.rows[y].ink.size(); ++i)
            if (const std::uint8_t byte = page.rows[y].ink[i]; byte != 0) {
                top = std::min(top, y);
                bottom = y + 1;
                first = std::min<std::size_t>(first, i * 8 + static_cast<std::size_t>(std::countl_zero(byte)));
                last = std::max<std::size_t>(last, i * 8 + 7 - static_cast<std::size_t>(std::countr_zero(byte)));
            }
    Bands bands{static_cast<double>(first + last + 1) / 2, {}};
    const std::size_t band = (bottom - top) / 4;
    const std::size_t width = last + 1 - first;
    for (std::size_t b = 0; b < 4 && bottom > top; ++b) {
        std::size_t black = 0;
        std::size_t dots = 0;
        for (std::size_t y = top + b * band + band / 4; y < top + b * band + 3 * band / 4; ++y)
            for (std::size_t x = first + width / 4; x < first + 3 * width / 4; ++x, ++dots) {
                const InkBytes& row = page.rows[y].ink;
                black += x / 8 < row.size() && (row[x / 8] & (0x80U >> (x % 8))) != 0 ? 1 : 0;
            }
        bands.ink.push_back(static_cast<double>(black) / static_cast<double>(dots));
    }
    return bands;
}

class Image : public Documents, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(Image, PrintsGreyByLuminanceFittedToThePaper)
{
    const ImageCase& c = GetParam();
    const std::string image = BandsImage(server->dir, c.device, c.file, c.grey);
    const JobResult job = PrintFile(*server, "mono", c.name, image, {.copies = c.copies}, c.format);
    ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
    const DecodedJob printed = DecodeJob(server->Output("mono"));
    ASSERT_FALSE(printed.violation) << Describe(*printed.violation);
    ASSERT_EQ(printed.pages.size(), 1U);
    // The defaults, on A4.
    EXPECT_EQ((std::vector<int>{printed.settings->density, printed.settings->weight, printed.settings->paperWidth,
                                printed.settings->paperHeight, printed.settings->copies}),
              (std::vector<int>{2, 1, 4960, 7016, c.copies}));
    // Centred across, and red, green, blue, grey: luminance 77, 150, 29
    // and 128 of 255.
    const Bands bands = FindBands(printed.pages[0]);
    EXPECT_NEAR(bands.centre, 4960 / 2.0, 4);
    const double expected[] = {1 - 77 / 255.0, 1 - 150 / 255.0, 1 - 29 / 255.0, 1 - 128 / 255.0};
    const std::vector<double>& ink = bands.ink;
    ASSERT_EQ(ink.size(), 4U);
    for (std::size_t b = 0; b < 4; ++b)
        EXPECT_NEAR(ink[b], expected[b], 0.08) << "band " << b;
}

INSTANTIATE_TEST_SUITE_P(Bands, Image, ::testing::ValuesIn(kImages), kByName);

// The web interface prints the sample page as its test page, the way a
// CUPS queue with the PPD prints it. Its forms carry a token made from the
// client's address: IPv4 throughout.
TEST_F(Documents, WebInterfacePrintsTheSamplePageAsTestPage)
{
    const std::string web = "http://localhost:" + std::to_string(server->port) + "/mono/";
    const RunResult home = RunProgram("curl", {"curl", "-4sf", web});
    const std::string page(home.out.begin(), home.out.end());
    const std::size_t at = page.find(R"(name="session" value=")") + 22;
    const std::string form = "session=" + page.substr(at, page.find('"', at) - at) + "&action=print-test-page";
    ASSERT_EQ(RunProgram("curl", {"curl", "-4sf", "-d", form, web}).status, 0);
    ASSERT_TRUE(Eventually([] { return server->printers.at("mono")->Received() > 0; }));
    EXPECT_TRUE(::SameBytes(server->Output("mono"), AsCupsPrintsIt(server->dir, RTM_TESTPAGE, "media=A4", 1)));
}

// A long document cancelled while it prints: ghostscript or the filter
// stops, the printer gets a closed page, and the next job prints.
TEST_F(Documents, CancelledWhilePrintingClosesThePage)
{
    std::vector<Sheet> sheets;
    for (unsigned seed = 10; seed < 16; ++seed)
        sheets.push_back(MakeSheet("na_letter_8.5x11in", seed, false));
    WritePwg(server->dir.File("long.pwg"), sheets, "na_letter_8.5x11in", true);
    const std::string uri = server->Uri("mono");
    const std::tuple<std::string, const char*, std::size_t> documents[] = {
        {Manual(server->dir), "application/pdf", 38}, {server->dir.File("long.pwg"), "image/pwg-raster", 6}};
    for (const auto& [file, format, pages] : documents) {
        SCOPED_TRACE(format);
        const std::uintmax_t before = server->printers.at("mono")->Received();
        const int id = Send(*server, "mono", PrintRequest(uri, format, "cancelled"), file).id;
        ASSERT_NE(id, 0);
        ASSERT_TRUE(Eventually([&] { return server->printers.at("mono")->Received() > before + 100000; }));
        Cancel(*server, uri, id);
        EXPECT_EQ(WaitForJob(server->port, uri, id).state, IPP_JSTATE_CANCELED);
        EXPECT_EQ(Children(server->running.pid), "");
        ExpectClosedPages(server->Output("mono"), pages);
    }
    ExpectNextPrints(*server, "mono", "after-cancel");
}

}  // namespace

namespace {

// Page layout as clients ask for it (print-scaling, orientation-requested),
// judged by where the ink lands on the printed A4 page: each document is a
// light grey page framed to its edges with a solid square in its top left
// corner.
enum class Fit : std::uint8_t {
    kOwn,   // its own size, centred on the paper
    kArea,  // as large as the printable area lets it, centred in it
    kFull,  // over the whole printable area, cut at its edges
};
enum class Corner : std::uint8_t { kTopLeft, kTopRight, kBottomLeft, kBottomRight };

struct LayoutCase {
    const char* name;
    const char* format;  // PDF, or a PNG at 100 pixels per inch
    int width, height;   // the page in points
    const char* scaling = nullptr;
    int orientation = 0;  // orientation-requested; 0 is not sent
    Fit fit = Fit::kOwn;
    Corner mark = Corner::kTopLeft;
    bool turned = false;  // lies across the paper
};

constexpr int kA6W = 298, kA6H = 420, kA5W = 420, kA5H = 595, kA3W = 842, kA3H = 1191;

const LayoutCase kLayouts[] = {
    {"PdfSmallKeepsItsSize", "application/pdf", kA5W, kA5H},
    {"PdfSmallFitGrows", "application/pdf", kA5W, kA5H, "fit", 0, Fit::kArea},
    {"PdfSmallFillCovers", "application/pdf", kA5W, kA5H, "fill", 0, Fit::kFull},
    {"PdfSmallAutoFitKeepsItsSize", "application/pdf", kA5W, kA5H, "auto-fit"},
    {"PdfLargeNoneIsCut", "application/pdf", kA3W, kA3H, "none", 0, Fit::kFull},
    {"PdfLargeAutoFitShrinks", "application/pdf", kA3W, kA3H, "auto-fit", 0, Fit::kArea},
    {"PdfLandscapeTurnsByItself", "application/pdf", kA3H, kA3W, nullptr, 0, Fit::kArea, Corner::kBottomLeft, true},
    {"PdfLandscapeKeptWhenPortraitIsAsked", "application/pdf", kA3H, kA3W, nullptr, IPP_ORIENT_PORTRAIT, Fit::kArea},
    {"PdfLandscape", "application/pdf", kA6W, kA6H, nullptr, IPP_ORIENT_LANDSCAPE, Fit::kOwn, Corner::kBottomLeft, true},
    {"PdfReverseLandscape", "application/pdf", kA6W, kA6H, nullptr, IPP_ORIENT_REVERSE_LANDSCAPE, Fit::kOwn,
     Corner::kTopRight, true},
    {"PdfReversePortrait", "application/pdf", kA6W, kA6H, nullptr, IPP_ORIENT_REVERSE_PORTRAIT, Fit::kOwn,
     Corner::kBottomRight},
    {"PngFitsByDefault", "image/png", kA5W, kA5H, nullptr, 0, Fit::kArea},
    {"PngNoneKeepsItsResolution", "image/png", kA5W, kA5H, "none"},
    {"PngAutoFitKeepsSmallImage", "image/png", kA5W, kA5H, "auto-fit"},
    {"PngFillCovers", "image/png", kA5W, kA5H, "fill", 0, Fit::kFull},
    {"PngLandscapeTurnsByItself", "image/png", kA5H, kA5W, nullptr, 0, Fit::kArea, Corner::kBottomLeft, true},
    {"PngReversePortrait", "image/png", kA6W, kA6H, "none", IPP_ORIENT_REVERSE_PORTRAIT, Fit::kOwn,
     Corner::kBottomRight},
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

std::string LayoutDocument(const TempDir& dir, const LayoutCase& c)
{
    const bool pdf = std::string_view(c.format) == "application/pdf";
    std::string path = dir.File(std::string(c.name) + (pdf ? ".pdf" : ".png"));
    const int side = std::min(c.width, c.height) / 5;
    const std::string draw = "0.9 setgray 0 0 " + std::to_string(c.width) + " " + std::to_string(c.height) +
                             " rectfill 0 setgray 8 setlinewidth 4 4 " + std::to_string(c.width - 8) + " " +
                             std::to_string(c.height - 8) + " rectstroke 0 " + std::to_string(c.height - side) + " " +
                             std::to_string(side) + " " + std::to_string(side) + " rectfill showpage";
    const RunResult gs = RunProgram(
        "/usr/bin/gs", {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", pdf ? "-sDEVICE=pdfwrite" : "-sDEVICE=pnggray",
                        "-r100", "-dDEVICEWIDTHPOINTS=" + std::to_string(c.width),
                        "-dDEVICEHEIGHTPOINTS=" + std::to_string(c.height), "-sOutputFile=" + path, "-c", draw});
    EXPECT_EQ(gs.status, 0) << gs.err;
    return path;
}

// A box of dots on the paper, right and bottom past the last.
struct Box {
    long left = 0, top = 0, right = 0, bottom = 0;
};

Box InkBox(const DecodedPage& page)
{
    Box box{LONG_MAX, LONG_MAX, 0, 0};
    for (std::size_t y = 0; y < page.rows.size(); ++y)
        for (std::size_t i = 0; i < page.rows[y].ink.size(); ++i)
            if (const std::uint8_t byte = page.rows[y].ink[i]; byte != 0) {
                const auto x = static_cast<long>(i * 8);
                box.left = std::min(box.left, x + std::countl_zero(byte));
                box.right = std::max<long>(box.right, x + 8 - std::countr_zero(byte));
                box.top = std::min(box.top, static_cast<long>(y));
                box.bottom = static_cast<long>(y) + 1;
            }
    return box;
}

// The share of black dots in a box of the page.
double Ink(const DecodedPage& page, const Box& box)
{
    std::size_t black = 0;
    for (long y = box.top; y < box.bottom; ++y)
        for (long x = box.left; x < box.right; ++x) {
            const InkBytes& row = page.rows[static_cast<std::size_t>(y)].ink;
            black += static_cast<std::size_t>(x / 8) < row.size() && (row[static_cast<std::size_t>(x / 8)] & (0x80U >> (x % 8))) != 0;
        }
    return static_cast<double>(black) / static_cast<double>((box.right - box.left) * (box.bottom - box.top));
}

class Layout : public Documents, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layout, InkLandsWhereTheJobAsks)
{
    const LayoutCase& c = GetParam();
    ipp_t* request = PrintRequest(server->Uri("mono"), c.format, c.name);
    if (c.scaling != nullptr)
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-scaling", nullptr, c.scaling);
    if (c.orientation != 0)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "orientation-requested", c.orientation);
    const JobResult sent = Send(*server, "mono", request, LayoutDocument(server->dir, c));
    ASSERT_EQ(WaitForJob(server->port, server->Uri("mono"), sent.id).state, IPP_JSTATE_COMPLETED);
    const DecodedJob printed = DecodeJob(server->Output("mono"));
    ASSERT_EQ(printed.pages.size(), 1U);
    const DecodedPage& page = printed.pages[0];
    const Box ink = InkBox(page);

    // The A4 paper and its printable area, in dots.
    ppd_file_t* ppd = ppdOpenFile(RTM_PPD);
    const ppd_size_t* a4 = ppdPageSize(ppd, "A4");
    const Box area{std::lround(a4->left * 600 / 72), std::lround((a4->length - a4->top) * 600 / 72),
                   std::lround(a4->right * 600 / 72), std::lround((a4->length - a4->bottom) * 600 / 72)};
    const long paperW = std::lround(a4->width * 600 / 72);
    const long paperH = std::lround(a4->length * 600 / 72);
    ppdClose(ppd);
    const long width = ink.right - ink.left;
    const long height = ink.bottom - ink.top;
    const double aspect = c.turned ? static_cast<double>(c.height) / c.width : static_cast<double>(c.width) / c.height;
    switch (c.fit) {
    case Fit::kOwn:
        EXPECT_NEAR(width, (c.turned ? c.height : c.width) * 600.0 / 72, 4);
        EXPECT_NEAR(height, (c.turned ? c.width : c.height) * 600.0 / 72, 4);
        EXPECT_NEAR(ink.left + ink.right, paperW, 8);
        EXPECT_NEAR(ink.top + ink.bottom, paperH, 8);
        break;
    case Fit::kArea:
        EXPECT_TRUE((std::abs(ink.left - area.left) <= 3 && std::abs(ink.right - area.right) <= 3) ||
                    (std::abs(ink.top - area.top) <= 3 && std::abs(ink.bottom - area.bottom) <= 3));
        EXPECT_NEAR(static_cast<double>(width) / height, aspect, 0.01);
        EXPECT_NEAR(ink.left + ink.right, area.left + area.right, 8);
        EXPECT_NEAR(ink.top + ink.bottom, area.top + area.bottom, 8);
        break;
    case Fit::kFull:
        EXPECT_LE(ink.left, area.left + 2);
        EXPECT_GE(ink.right, area.right - 2);
        EXPECT_LE(ink.top, area.top + 2);
        EXPECT_GE(ink.bottom, area.bottom - 2);
        break;
    }
    // The square fills the corner it lands in; the other corners hold only
    // the frame. A page cut at the area's edges loses its corners.
    if (c.fit == Fit::kFull)
        return;
    const long side = std::min(width, height) / 10;
    const Box corners[] = {{ink.left + 40, ink.top + 40, ink.left + side, ink.top + side},
                           {ink.right - side, ink.top + 40, ink.right - 40, ink.top + side},
                           {ink.left + 40, ink.bottom - side, ink.left + side, ink.bottom - 40},
                           {ink.right - side, ink.bottom - side, ink.right - 40, ink.bottom - 40}};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Ink(page, corners[i]) > 0.5, i == static_cast<std::size_t>(c.mark)) << "corner " << i;
}

INSTANTIATE_TEST_SUITE_P(Documents, Layout, ::testing::ValuesIn(kLayouts), kByName);

}  // namespace
