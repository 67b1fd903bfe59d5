// The Printer Application as clients use it: a server on a loopback port
// with its own state and spool, printers on file devices, jobs sent over
// IPP, and every stream compared byte for byte with what the rastertomono
// filter writes for the same page through a CUPS queue with the PPD.
#include <cups/cups.h>
#include <cups/ppd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "decode.h"
#include "support.h"

namespace {

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

// A server of its own: state, spool, log, device folder and even its
// program name (PAPPL names the root domain socket after it) are private.
struct Server {
    explicit Server(std::vector<std::string> extra = {"file-devices=yes"}) : options(std::move(extra))
    {
        program = dir.File("rtm-app-" + std::to_string(getpid()));
        std::filesystem::create_symlink(RTM_APP_PATH, program);
        std::filesystem::create_directory(dir.File("dev"));
        port = FreePort();
        Start();
    }
    ~Server() { Stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Start()
    {
        RunSetup setup;
        setup.env = {std::string("RASTERTOMONO_FILTER=") + RTM_FILTER_PATH, std::string("RASTERTOMONO_PPD=") + RTM_PPD};
        setup.stdoutPath = dir.File("stdout");
        std::vector<std::string> argv = {program, "server", "-o", "server-port=" + std::to_string(port), "-o",
                                         "log-level=debug", "-o", "log-file=" + dir.File("log"), "-o",
                                         "spool-directory=" + dir.File("spool"), "-o", "state-file=" + dir.File("state")};
        for (const std::string& option : options)
            argv.insert(argv.end(), {"-o", option});
        running = StartProgram(program, argv, setup);
        for (int tries = 0; tries < 200; ++tries) {
            if (http_t* http = httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 2000, nullptr)) {
                httpClose(http);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the server did not come up:\n" << Stop().err;
    }

    // SIGTERM: PAPPL's shutdown sub-command is slow to return.
    RunResult Stop()
    {
        if (running.pid <= 0)
            return {};
        kill(running.pid, SIGTERM);
        RunResult result = FinishProgram(running);
        running.pid = -1;
        return result;
    }

    [[nodiscard]] bool Alive() const { return running.pid > 0 && kill(running.pid, 0) == 0; }

    // The program's own add sub-command, as an administrator would use it.
    RunResult Add(const std::string& name, const std::string& device) const
    {
        return RunProgram(program, {program, "add", "-u", "ipp://localhost:" + std::to_string(port) + "/ipp/system",
                                    "-d", name, "-m", "mono-laser-600", "-v", device});
    }
    [[nodiscard]] std::string Device() const { return "file://" + dir.File("dev"); }
    [[nodiscard]] std::string Uri(const std::string& printer) const
    {
        return "ipp://localhost:" + std::to_string(port) + "/ipp/print/" + printer;
    }
    [[nodiscard]] Bytes Output(const std::string& jobName) const { return ReadFile(dir.File("dev/" + jobName + ".prn")); }

    TempDir dir;
    std::vector<std::string> options;
    std::string program;
    int port = 0;
    RunningProgram running;
};

struct JobResult {
    int id = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    std::string message;
};

ipp_t* NewRequest(ipp_op_t op, const std::string& uri)
{
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "tester");
    return request;
}

http_t* Connect(int port)
{
    return httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
}

// Waits for the job to end, as a client polling Get-Job-Attributes does.
JobResult WaitForJob(int port, const std::string& uri, int id)
{
    JobResult result;
    result.id = id;
    http_t* http = Connect(port);
    for (int tries = 0; tries < 1200 && result.state < IPP_JSTATE_CANCELED; ++tries) {
        ipp_t* request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, uri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ipp_t* response = cupsDoRequest(http, request, "/ipp/print");
        result.state = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        const char* message = ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
        result.message = message != nullptr ? message : "";
        ippDelete(response);
        if (result.state < IPP_JSTATE_CANCELED)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    httpClose(http);
    return result;
}

// Job template attributes of one test job.
struct JobOptions {
    const char* media = nullptr;  // media-col's size name
    const char* mediaType = nullptr;
    int darkness = 0;  // print-darkness; 0 is not sent
    int copies = 1;
    const char* colorMode = nullptr;
};

// Print-Job with a document file, the way ipptool and CUPS send it.
JobResult PrintFile(const Server& server, const std::string& printer, const std::string& jobName,
                    const std::string& file, const JobOptions& job = {}, const char* format = "image/pwg-raster")
{
    const std::string uri = server.Uri(printer);
    ipp_t* request = NewRequest(IPP_OP_PRINT_JOB, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, jobName.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    if (job.copies != 1)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", job.copies);
    if (job.darkness != 0)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "print-darkness", job.darkness);
    if (job.colorMode != nullptr)
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-color-mode", nullptr, job.colorMode);
    if (job.media != nullptr || job.mediaType != nullptr) {
        ipp_t* col = ippNew();
        if (job.media != nullptr) {
            const pwg_media_t* size = pwgMediaForPWG(job.media);
            ipp_t* dims = ippNew();
            ippAddInteger(dims, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", size->width);
            ippAddInteger(dims, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", size->length);
            ippAddCollection(col, IPP_TAG_ZERO, "media-size", dims);
            ippDelete(dims);
            ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr, job.media);
        }
        if (job.mediaType != nullptr)
            ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-type", nullptr, job.mediaType);
        ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
        ippDelete(col);
    }
    http_t* http = Connect(server.port);
    ipp_t* response = cupsDoFileRequest(http, request, ("/ipp/print/" + printer).c_str(), file.c_str());
    JobResult result;
    result.id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    const ipp_status_t status = cupsLastError();
    ippDelete(response);
    httpClose(http);
    if (result.id == 0) {
        result.state = IPP_JSTATE_ABORTED;
        result.message = std::string(ippErrorString(status)) + ": " + cupsLastErrorString();
        return result;
    }
    return WaitForJob(server.port, uri, result.id);
}

// A page as the client has it: the whole sheet at 600 dpi, one value per
// dot (0 black .. 255 white).
struct Sheet {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> dots;
    [[nodiscard]] std::uint8_t At(unsigned x, unsigned y) const
    {
        return x < width && y < height ? dots[std::size_t{y} * width + x] : 255;
    }
};

// Text-like marks, solid bars and a frame around the printable area, plus
// grey where asked: a page that tells placement, clipping and every row
// coding apart.
Sheet MakeSheet(const char* media, unsigned seed, bool grey, unsigned resolution = 600)
{
    const pwg_media_t* size = pwgMediaForPWG(media);
    Sheet sheet;
    sheet.width = static_cast<unsigned>(std::lround(size->width * resolution / 2540.0));
    sheet.height = static_cast<unsigned>(std::lround(size->length * resolution / 2540.0));
    sheet.dots.assign(std::size_t{sheet.width} * sheet.height, 255);
    unsigned state = seed * 2654435761U + 1;
    auto next = [&state] { return state = state * 1103515245U + 12345U, (state >> 8) & 0xFFFFU; };
    for (int i = 0; i < 400; ++i) {
        const unsigned x0 = next() % sheet.width, y0 = next() % sheet.height;
        const unsigned w = 1 + next() % 300, h = 1 + next() % 40;
        const std::uint8_t value = grey ? static_cast<std::uint8_t>(next() % 256) : 0;
        for (unsigned y = y0; y < std::min(sheet.height, y0 + h); ++y)
            for (unsigned x = x0; x < std::min(sheet.width, x0 + w); ++x)
                sheet.dots[std::size_t{y} * sheet.width + x] = (x + y) % 3 == 0 ? 255 : value;
    }
    for (unsigned x = 0; x < sheet.width; ++x)
        sheet.dots[std::size_t{96} * sheet.width + x] = 0;
    for (unsigned y = 0; y < sheet.height; ++y)
        sheet.dots[std::size_t{y} * sheet.width + 96] = 0;
    return sheet;
}

// The sheets as a PWG raster file, 1-bit black or 8-bit grey.
void WritePwg(const std::string& path, const std::vector<Sheet>& sheets, const char* media, bool eightBit,
              unsigned resolution = 600)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    cups_raster_t* raster = cupsRasterOpen(fileno(file), CUPS_RASTER_WRITE_PWG);
    for (const Sheet& sheet : sheets) {
        cups_page_header2_t header;
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG(media), eightBit ? "sgray_8" : "black_1",
                                static_cast<int>(resolution), static_cast<int>(resolution), "one-sided", nullptr);
        header.cupsWidth = sheet.width;
        header.cupsHeight = sheet.height;
        header.cupsBytesPerLine = eightBit ? sheet.width : (sheet.width + 7) / 8;
        cupsRasterWriteHeader2(raster, &header);
        Bytes line(header.cupsBytesPerLine);
        for (unsigned y = 0; y < sheet.height; ++y) {
            std::fill(line.begin(), line.end(), 0);
            for (unsigned x = 0; x < sheet.width; ++x) {
                if (eightBit)
                    line[x] = sheet.At(x, y);
                else if (sheet.At(x, y) < 128)
                    line[x / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
            }
            cupsRasterWritePixels(raster, line.data(), header.cupsBytesPerLine);
        }
    }
    cupsRasterClose(raster);
    std::fclose(file);
}

// What a CUPS queue with the PPD prints for the sheets: the raster CUPS
// makes of the PPD's printable area on that paper, run through the filter.
Bytes ThroughCups(const std::vector<Sheet>& sheets, const char* ppdSize, int density, int weight, int copies,
                  const std::string& path)
{
    ppd_file_t* ppd = ppdOpenFile(RTM_PPD);
    ppdMarkDefaults(ppd);
    ppdMarkOption(ppd, "PageSize", ppdSize);
    cups_page_header2_t header;
    EXPECT_EQ(cupsRasterInterpretPPD(&header, ppd, 0, nullptr, nullptr), 0);
    const ppd_size_t* size = ppdPageSize(ppd, ppdSize);
    const auto left = static_cast<unsigned>(std::lround(size->left * 600 / 72));
    const auto top = static_cast<unsigned>(std::lround((size->length - size->top) * 600 / 72));
    ppdClose(ppd);
    header.NumCopies = static_cast<unsigned>(copies);

    std::vector<TestPage> pages;
    for (const Sheet& sheet : sheets) {
        TestPage page{header, {}};
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            Bytes row = WhiteRow(header.cupsWidth);
            for (unsigned x = 0; x < header.cupsWidth; ++x)
                if (sheet.At(left + x, top + y) <= 127)
                    row[x / 8] &= static_cast<std::uint8_t>(~(0x80U >> (x % 8)));
            page.rows.push_back(std::move(row));
        }
        pages.push_back(std::move(page));
    }
    WriteRaster(path, pages);
    const RunResult run =
        RunFilter("PrintDensity=" + std::to_string(density) + " PaperWeight=" + std::to_string(weight), path, RTM_PPD);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

// What the printer makes of a stream, for failure messages.
std::string Decoded(const Bytes& stream)
{
    const DecodedJob job = DecodeJob(stream);
    return job.violation ? Describe(*job.violation) : std::to_string(job.pages.size()) + " whole pages";
}

struct SameBytesCase {
    const char* name;
    const char* media;  // what the job asks for; nullptr: the printer's A4
    const char* ppdSize;
    const char* rasterMedia;  // the client's raster size
    bool eightBit;
    JobOptions job;
    int density, weight;  // what the CUPS queue is given
    int pages = 1;
};

// Sheets whose dots are all black or white, except in the bi-level case,
// where grey must come out thresholded at the middle.
const SameBytesCase kSameBytes[] = {
    {"A4OneBitDefaults", nullptr, "A4", "iso_a4_210x297mm", false, {}, 2, 1},
    {"LetterEightBitDarkCardstock", "na_letter_8.5x11in", "Letter", "na_letter_8.5x11in", true,
     {"na_letter_8.5x11in", "cardstock", 50}, 4, 3},
    {"A5OneBitThickThreeCopies", "iso_a5_148x210mm", "A5", "iso_a5_148x210mm", false,
     {"iso_a5_148x210mm", "stationery-heavyweight", 0, 3}, 2, 2},
    {"LegalGreyBiLevel", "na_legal_8.5x14in", "Legal", "na_legal_8.5x14in", true,
     {"na_legal_8.5x14in", nullptr, 0, 1, "bi-level"}, 2, 1},
    {"B5OneBitLightestTwoPages", "iso_b5_176x250mm", "ISOB5", "iso_b5_176x250mm", false,
     {"iso_b5_176x250mm", nullptr, -25}, 1, 1, 2},
    {"A5LongEdgeEightBitDarkest", "custom_a5rotated_209.9x148.17mm", "A5Rotated", "custom_a5rotated_209.9x148.17mm", true,
     {"custom_a5rotated_209.9x148.17mm", "stationery", 100}, 5, 1},
    {"LegalRasterOnA4IsClipped", nullptr, "A4", "na_legal_8.5x14in", true, {}, 2, 1},
    {"A5OneBitRasterOnA4IsPaddedWhite", nullptr, "A4", "iso_a5_148x210mm", false, {}, 2, 1},
};

class AppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<Server>();
        ASSERT_EQ(server->Add("mono", server->Device()).status, 0);
    }
    static void TearDownTestSuite() { server.reset(); }
    static std::unique_ptr<Server> server;
};
std::unique_ptr<Server> AppTest::server;

class SameBytes : public AppTest, public ::testing::WithParamInterface<SameBytesCase> {};

TEST_P(SameBytes, AsTheFilterPrintsItThroughCups)
{
    const SameBytesCase& c = GetParam();
    std::vector<Sheet> sheets;
    for (int i = 0; i < c.pages; ++i)
        sheets.push_back(MakeSheet(c.rasterMedia, static_cast<unsigned>(i + 1), c.job.colorMode != nullptr));
    const std::string pwg = server->dir.File(std::string(c.name) + ".pwg");
    WritePwg(pwg, sheets, c.rasterMedia, c.eightBit);

    const JobResult job = PrintFile(*server, "mono", c.name, pwg, c.job);
    ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
    const Bytes expected =
        ThroughCups(sheets, c.ppdSize, c.density, c.weight, c.job.copies, server->dir.File(std::string(c.name) + ".ras"));
    const Bytes printed = server->Output(c.name);
    EXPECT_TRUE(::SameBytes(printed, expected)) << Decoded(printed);
}

INSTANTIATE_TEST_SUITE_P(Pages, SameBytes, ::testing::ValuesIn(kSameBytes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A document sent piece by piece with Create-Job and Send-Document, as a
// client streaming a raster does.
struct StreamedJob {
    StreamedJob(const Server& server, const std::string& printer, const std::string& name) : uri(server.Uri(printer))
    {
        http = Connect(server.port);
        ipp_t* request = NewRequest(IPP_OP_CREATE_JOB, uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        ipp_t* response = cupsDoRequest(http, request, "/ipp/print");
        id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        request = NewRequest(IPP_OP_SEND_DOCUMENT, uri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, "image/pwg-raster");
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        cupsSendRequest(http, request, "/ipp/print", CUPS_LENGTH_VARIABLE);
        ippDelete(request);
    }
    ~StreamedJob() { httpClose(http); }
    StreamedJob(const StreamedJob&) = delete;
    StreamedJob& operator=(const StreamedJob&) = delete;

    void Send(const Bytes& document, std::size_t from, std::size_t to)
    {
        cupsWriteRequestData(http, reinterpret_cast<const char*>(document.data()) + from, to - from);
    }

    // Ends the document and reads the server's answer.
    void Finish() { ippDelete(cupsGetResponse(http, "/ipp/print")); }

    std::string uri;
    http_t* http = nullptr;
    int id = 0;
};

void Cancel(const Server& server, const std::string& uri, int id)
{
    http_t* http = Connect(server.port);
    ipp_t* request = NewRequest(IPP_OP_CANCEL_JOB, uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippDelete(cupsDoRequest(http, request, "/ipp/print"));
    httpClose(http);
}

// Waits until the device has received something of the job.
bool DeviceReceived(const Server& server, const std::string& jobName)
{
    for (int tries = 0; tries < 400; ++tries) {
        if (server.Output(jobName).size() > 4096)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// A three-page Letter raster in 8-bit grey, large enough to be caught
// mid-page.
Bytes LongDocument(const Server& server, std::vector<Sheet>& sheets)
{
    for (unsigned i = 0; i < 3; ++i)
        sheets.push_back(MakeSheet("na_letter_8.5x11in", 10 + i, false));
    const std::string path = server.dir.File("long.pwg");
    WritePwg(path, sheets, "na_letter_8.5x11in", true);
    return ReadFile(path);
}

// Every page the printer gets is closed, whatever ended the job.
void ExpectClosedPages(const Bytes& stream)
{
    const DecodedJob job = DecodeJob(stream);
    EXPECT_FALSE(job.violation) << Describe(*job.violation);
    EXPECT_GE(job.pages.size(), 1U);
}

TEST_F(AppTest, CancelMidPageClosesThePageAndTheServerGoesOn)
{
    std::vector<Sheet> sheets;
    const Bytes document = LongDocument(*server, sheets);
    StreamedJob job(*server, "mono", "cancelled");
    job.Send(document, 0, document.size() / 2);
    ASSERT_TRUE(DeviceReceived(*server, "cancelled"));
    Cancel(*server, job.uri, job.id);
    // The client, unaware, sends the rest; PAPPL reads it to the end.
    job.Send(document, document.size() / 2, document.size());
    job.Finish();
    EXPECT_EQ(WaitForJob(server->port, job.uri, job.id).state, IPP_JSTATE_CANCELED);
    ExpectClosedPages(server->Output("cancelled"));
    EXPECT_LT(DecodeJob(server->Output("cancelled")).pages.size(), 3U);
}

TEST_F(AppTest, ClientThatDisconnectsMidRasterEndsItsJobCleanly)
{
    std::vector<Sheet> sheets;
    const Bytes document = LongDocument(*server, sheets);
    int id = 0;
    std::string uri;
    {
        StreamedJob job(*server, "mono", "dropped");
        job.Send(document, 0, document.size() / 2);
        id = job.id;
        uri = job.uri;
    }
    EXPECT_GE(WaitForJob(server->port, uri, id).state, IPP_JSTATE_CANCELED);
    ExpectClosedPages(server->Output("dropped"));
    // The printer takes the next job.
    const std::string pwg = server->dir.File("after-drop.pwg");
    WritePwg(pwg, {sheets[0]}, "na_letter_8.5x11in", true);
    EXPECT_EQ(PrintFile(*server, "mono", "after-drop", pwg, {"na_letter_8.5x11in"}).state, IPP_JSTATE_COMPLETED);
}

TEST_F(AppTest, TwoPrintersAtOnceEachPrintTheirOwnJob)
{
    ASSERT_EQ(server->Add("second", server->Device()).status, 0);
    std::vector<Sheet> sheets;
    LongDocument(*server, sheets);
    const std::string path = server->dir.File("long.pwg");
    const JobOptions dark{"na_letter_8.5x11in", "cardstock", 50};
    const JobOptions light{"na_letter_8.5x11in", nullptr, -25, 2};
    JobResult first, second;
    std::thread other([&] { second = PrintFile(*server, "second", "at-once-2", path, light); });
    first = PrintFile(*server, "mono", "at-once-1", path, dark);
    other.join();
    ASSERT_EQ(first.state, IPP_JSTATE_COMPLETED) << first.message;
    ASSERT_EQ(second.state, IPP_JSTATE_COMPLETED) << second.message;
    EXPECT_TRUE(::SameBytes(server->Output("at-once-1"),
                            ThroughCups(sheets, "Letter", 4, 3, 1, server->dir.File("at-once-1.ras"))));
    EXPECT_TRUE(::SameBytes(server->Output("at-once-2"),
                            ThroughCups(sheets, "Letter", 1, 1, 2, server->dir.File("at-once-2.ras"))));
}

TEST_F(AppTest, DeviceThatFailsEndsTheJobWithAReason)
{
    ASSERT_EQ(server->Add("full", "file:///dev/full").status, 0);
    std::vector<Sheet> sheets;
    LongDocument(*server, sheets);
    const JobResult job = PrintFile(*server, "full", "to-full", server->dir.File("long.pwg"));
    EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(job.message.find("device"), std::string::npos) << job.message;
    const std::string pwg = server->dir.File("after-full.pwg");
    WritePwg(pwg, {sheets[0]}, "na_letter_8.5x11in", false);
    EXPECT_EQ(PrintFile(*server, "mono", "after-full", pwg, {"na_letter_8.5x11in"}).state, IPP_JSTATE_COMPLETED);
}

// Pages the printer cannot print at their true size, or in a form PAPPL
// refuses, end their job with a reason; the server keeps serving.
struct RefusedCase {
    const char* name;
    unsigned resolution;
    const char* type;
    const char* reason;
};

const RefusedCase kRefused[] = {
    {"ThreeHundredDpi", 300, "sgray_8", "600x600 dpi only"},
    {"Colour", 600, "srgb_8", ""},
};

class Refused : public AppTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, EndsTheJobAndTheNextPrints)
{
    const RefusedCase& c = GetParam();
    const std::string path = server->dir.File(std::string(c.name) + ".pwg");
    {
        FILE* file = std::fopen(path.c_str(), "wb");
        cups_raster_t* raster = cupsRasterOpen(fileno(file), CUPS_RASTER_WRITE_PWG);
        cups_page_header2_t header;
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), c.type, static_cast<int>(c.resolution),
                                static_cast<int>(c.resolution), "one-sided", nullptr);
        cupsRasterWriteHeader2(raster, &header);
        const Bytes line(header.cupsBytesPerLine, 0x80);
        for (unsigned y = 0; y < header.cupsHeight; ++y)
            cupsRasterWritePixels(raster, const_cast<std::uint8_t*>(line.data()), header.cupsBytesPerLine);
        cupsRasterClose(raster);
        std::fclose(file);
    }
    const JobResult job = PrintFile(*server, "mono", c.name, path);
    EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(job.message.find(c.reason), std::string::npos) << job.message;
    EXPECT_TRUE(server->Output(c.name).empty());
    const std::string pwg = server->dir.File(std::string(c.name) + "-next.pwg");
    WritePwg(pwg, {MakeSheet("iso_a4_210x297mm", 3, false)}, "iso_a4_210x297mm", false);
    EXPECT_EQ(PrintFile(*server, "mono", std::string(c.name) + "-next", pwg).state, IPP_JSTATE_COMPLETED);
}

INSTANTIATE_TEST_SUITE_P(Pages, Refused, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AppServer, RestartKeepsPrintersAndTheirDefaults)
{
    Server server;
    ASSERT_EQ(server.Add("kept", server.Device()).status, 0);
    http_t* http = Connect(server.port);
    ipp_t* request = NewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES, server.Uri("kept"));
    ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "printer-darkness-configured", 75);
    ippDelete(cupsDoRequest(http, request, "/ipp/print/kept"));
    EXPECT_EQ(cupsLastError(), IPP_STATUS_OK) << cupsLastErrorString();
    httpClose(http);
    server.Stop();
    server.Start();

    const Sheet sheet = MakeSheet("iso_a4_210x297mm", 7, false);
    const std::string pwg = server.dir.File("kept.pwg");
    WritePwg(pwg, {sheet}, "iso_a4_210x297mm", false);
    const JobResult job = PrintFile(server, "kept", "after-restart", pwg);
    ASSERT_EQ(job.state, IPP_JSTATE_COMPLETED) << job.message;
    EXPECT_TRUE(::SameBytes(server.Output("after-restart"),
                            ThroughCups({sheet}, "A4", 4, 1, 1, server.dir.File("after-restart.ras"))));
}

TEST(AppServer, FileDevicesOnlyWhenTheServerAllowsThem)
{
    Server server(std::vector<std::string>{});
    EXPECT_NE(server.Add("file", server.Device()).status, 0);
    EXPECT_TRUE(server.Alive());
}

}  // namespace
