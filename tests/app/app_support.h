// A Printer Application server of a test's own, and the IPP client side:
// printers on file devices, jobs sent as clients send them, and what a
// CUPS queue with the PPD prints for the same pages.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>
#include <utility>

#include "decode.h"
#include "support.h"

inline http_t* Connect(int port)
{
    return httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
}

inline int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        ADD_FAILURE() << "no free port";
    close(fd);
    return ntohs(addr.sin_port);
}

// The jobs in what a printer received: each begins with 1,024 zero bytes
// and the init command, which no command inside a job holds.
inline std::vector<Bytes> SplitJobs(const Bytes& stream)
{
    const Bytes start = Cat({kZeros, kInit});
    std::vector<Bytes> jobs;
    auto at = std::search(stream.begin(), stream.end(), start.begin(), start.end());
    while (at != stream.end()) {
        const auto next = std::search(at + 1, stream.end(), start.begin(), start.end());
        jobs.emplace_back(at, next);
        at = next;
    }
    return jobs;
}

// A network printer on a raw port of the test's own (rtm_raw_printer):
// every byte the server sends it, connection by connection.
struct RawPrinter {
    explicit RawPrinter(long cut = 0, long pause = 0)
    {
        std::vector<std::string> argv = {RTM_RAW_PRINTER, dir.path, std::to_string(cut), std::to_string(pause)};
        running = StartProgram(RTM_RAW_PRINTER, argv);
        if (!Eventually([this] { return std::filesystem::exists(dir.File("port")); }))
            ADD_FAILURE() << "the raw printer did not start";
        std::ifstream(dir.File("port")) >> port;
    }
    ~RawPrinter()
    {
        kill(running.pid, SIGKILL);
        FinishProgram(running);
    }
    RawPrinter(const RawPrinter&) = delete;
    RawPrinter& operator=(const RawPrinter&) = delete;

    [[nodiscard]] std::string Uri() const { return "socket://127.0.0.1:" + std::to_string(port); }

    // The jobs received, once the server has closed every connection (it
    // does when it has no more jobs for the printer).
    [[nodiscard]] std::vector<Bytes> Jobs() const
    {
        const auto open = [this] {
            return std::ranges::any_of(std::filesystem::directory_iterator(dir.path),
                                       [](const auto& entry) { return entry.path().extension() == ".part"; });
        };
        if (!Eventually([&] { return !open(); }, 2400, 25))
            ADD_FAILURE() << "the server keeps a connection to the printer open";
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().extension() == ".prn")
                files.push_back(entry.path().string());
        std::ranges::sort(files);
        Bytes stream;
        for (const std::string& file : files) {
            const Bytes bytes = ReadFile(file);
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }
        return SplitJobs(stream);
    }
    // Bytes received so far, closed connections or not.
    [[nodiscard]] std::uintmax_t Received() const
    {
        std::uintmax_t total = 0;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().extension() != "" && entry.path().filename() != "port")
                total += entry.file_size(ignored);
        return total;
    }
    [[nodiscard]] Bytes Last() const
    {
        const std::vector<Bytes> jobs = Jobs();
        return jobs.empty() ? Bytes{} : jobs.back();
    }

    TempDir dir;
    RunningProgram running;
    int port = 0;
};

// The server's options as its systemd unit gives them, ExecStart's -o NAME=VALUE.
inline std::vector<std::pair<std::string, std::string>> ServiceOptions()
{
    std::ifstream unit(RTM_SERVICE_UNIT);
    std::vector<std::pair<std::string, std::string>> options;
    for (std::string line; std::getline(unit, line);)
        if (line.starts_with("ExecStart=")) {
            std::istringstream words(line);
            for (std::string word; words >> word;)
                if (word == "-o" && words >> word)
                    options.emplace_back(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
        }
    if (options.empty())
        ADD_FAILURE() << "no server options in " << RTM_SERVICE_UNIT;
    return options;
}

inline std::string ServiceOption(const std::string& name)
{
    for (const auto& [key, value] : ServiceOptions())
        if (key == name)
            return value;
    return {};
}

// Logins for a test (root only): a PAM service that takes the password
// "secret" from anyone, and an administrator, a user of the test's own in
// the service's admin group. Both go when the test ends.
struct TestLogins {
    TestLogins()
    {
        static int count = 0;
        const std::string id = std::to_string(getpid()) + "-" + std::to_string(++count);
        service = "rtm-test-" + id;
        admin = "rtm-adm-" + id;
        check = dir.File("check");
        const std::string script = "#!/bin/sh\n[ \"$(tr -d '\\000')\" = secret ]\n";
        WriteFile(check, Bytes(script.begin(), script.end()));
        std::filesystem::permissions(check, std::filesystem::perms::owner_all);
        const std::string conf =
            "auth required pam_exec.so quiet expose_authtok " + check + "\naccount required pam_permit.so\n";
        WriteFile("/etc/pam.d/" + service, Bytes(conf.begin(), conf.end()));
        const RunResult added = RunProgram("useradd", {"useradd", "--system", "--no-create-home", "--shell",
                                                       "/usr/sbin/nologin", "-G", ServiceOption("admin-group"), admin});
        EXPECT_EQ(added.status, 0) << added.err;
    }
    ~TestLogins()
    {
        std::error_code ignored;
        std::filesystem::remove("/etc/pam.d/" + service, ignored);
        try {
            (void)RunProgram("userdel", {"userdel", admin});
        } catch (...) {  // NOLINT(bugprone-empty-catch): a user left behind is all that is lost
        }
    }
    TestLogins(const TestLogins&) = delete;
    TestLogins& operator=(const TestLogins&) = delete;

    TempDir dir;
    std::string service, admin, check;
};

// The password libcups gives when the next request is asked for one.
inline void AnswerPasswordWith(const char* password)
{
    static const char* next = nullptr;
    next = password;
    cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*, void*) { return std::exchange(next, nullptr); },
                       nullptr);
}

// The Printer Application as its systemd unit starts it: the unit's own
// options, only the paths moved into a folder of the test's (state,
// spool, log, temporary files, and the PAM service when the test logs in),
// and a port of its own. The program is a copy under a name of its own
// (PAPPL names the root domain socket after it) that anyone may run.
struct Server {
    explicit Server(std::string pamService = {}, bool start = true) : pam(std::move(pamService))
    {
        static int count = 0;
        program = dir.File("rtm-app-" + std::to_string(getpid()) + "-" + std::to_string(++count));
        std::filesystem::copy_file(RTM_APP_PATH, program);
        std::filesystem::permissions(dir.path, std::filesystem::perms::owner_all | std::filesystem::perms::others_exec |
                                                   std::filesystem::perms::group_exec);
        std::filesystem::create_directory(dir.File("tmp"));
        if (const char* lsan = std::getenv("LSAN_OPTIONS"); lsan != nullptr && std::string_view(lsan).starts_with("suppressions="))
            std::filesystem::copy_file(lsan + 13, dir.File("lsan.supp"));
        port = FreePort();
        if (start)
            Start();
    }
    ~Server()
    {
        EXPECT_EQ(Stop().status, 0) << "the server's exit status";
        // Root's socket folder is named after the program: a server killed,
        // or one that found the folder already there, leaves it behind.
        if (geteuid() == 0) {
            const std::string run = "/run/" + std::filesystem::path(program).filename().string();
            std::error_code ignored;
            std::filesystem::remove_all(run, ignored);
            std::filesystem::remove(run + ".sock", ignored);
        }
        // What the server logged of its jobs and printers, for a test that failed.
        if (::testing::Test::HasFailure()) {
            std::ifstream log(dir.File("log"));
            std::deque<std::string> tail;
            for (std::string line; std::getline(log, line);) {
                if (line.find("] [Client ") != std::string::npos || line.find("Removing job") != std::string::npos)
                    continue;
                tail.push_back(line);
                if (tail.size() > 80)
                    tail.pop_front();
            }
            for (const std::string& line : tail)
                std::cerr << "server log: " << line << '\n';
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    [[nodiscard]] RunSetup Environment() const
    {
        RunSetup setup;
        setup.env = {"TMPDIR=" + dir.File("tmp"), "RASTERTOMONO_FILTER=" + filter,
                     std::string("RASTERTOMONO_PPD=") + RTM_PPD,
                     std::string("RASTERTOMONO_TESTPAGE=") + RTM_TESTPAGE,
                     std::string("RASTERTOMONO_GS_WRITER=") + RTM_GS_WRITER};
        // The leak checker's suppressions, where any user may read them.
        if (std::filesystem::exists(dir.File("lsan.supp")))
            setup.env.push_back("LSAN_OPTIONS=suppressions=" + dir.File("lsan.supp"));
        return setup;
    }

    void Start()
    {
        std::vector<std::string> argv = {program, "server", "-o", "server-port=" + std::to_string(port)};
        for (const std::string& option : extraOptions)
            argv.insert(argv.end(), {"-o", option});
        for (auto [name, value] : ServiceOptions()) {
            if (name == "state-file")
                value = dir.File("state");
            else if (name == "spool-directory")
                value = dir.File("spool");
            else if (name == "log-file")
                value = dir.File("log");
            else if (name == "auth-service" && !pam.empty())
                value = pam;
            argv.insert(argv.end(), {"-o", name.append("=").append(value)});
        }
        running = StartProgram(program, argv, Environment());
        const bool up = Eventually([this] {
            http_t* http = Connect(port);
            httpClose(http);
            return http != nullptr;
        }, 200, 50);
        if (!up)
            ADD_FAILURE() << "the server did not come up:\n" << Stop().err;
    }

    // SIGTERM, as systemd stops the service; with signal 0, waits for the
    // server to end by itself.
    RunResult Stop(int signal = SIGTERM)
    {
        if (running.pid <= 0)
            return {0, {}, {}};
        kill(running.pid, signal);
        RunResult result = FinishProgram(running);
        running.pid = -1;
        return result;
    }

    // The program's own sub-commands as root runs them, over the domain socket.
    [[nodiscard]] RunResult Run(std::vector<std::string> args) const
    {
        args.insert(args.begin(), program);
        return RunProgram(program, args, Environment());
    }

    // A printer on a raw port of its own, added as root adds it.
    RawPrinter& AddPrinter(const std::string& name, long cut = 0, long pause = 0)
    {
        auto& printer = printers[name] = std::make_unique<RawPrinter>(cut, pause);
        const RunResult added = Run({"add", "-d", name, "-m", "mono-laser-600", "-v", printer->Uri()});
        EXPECT_EQ(added.status, 0) << added.err;
        return *printer;
    }
    // The last job the printer received.
    [[nodiscard]] Bytes Output(const std::string& printer) const { return printers.at(printer)->Last(); }

    [[nodiscard]] std::string Uri(const std::string& printer) const
    {
        return "ipp://localhost:" + std::to_string(port) + "/ipp/print/" + printer;
    }
    [[nodiscard]] std::string SystemUri() const { return "ipp://localhost:" + std::to_string(port) + "/ipp/system"; }

    TempDir dir;
    std::string pam;
    std::vector<std::string> extraOptions;  // a test's own, the shortened timeout
    std::string filter = RTM_FILTER_PATH;
    std::string program;
    int port = 0;
    RunningProgram running;
    std::map<std::string, std::unique_ptr<RawPrinter>> printers;
};

// Parameterised tests are named after their case.
inline constexpr auto kByName = [](const auto& info) { return std::string(info.param.name); };

// One server for a whole test suite, with its printer "mono".
class SharedServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<Server>();
        server->AddPrinter("mono");
    }
    static void TearDownTestSuite() { server.reset(); }
    static inline std::unique_ptr<Server> server;
};

struct JobResult {
    int id = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    std::string message;
    ipp_status_t status = IPP_STATUS_OK;  // the answer to the request
    int impressions = 0;                  // job-impressions-completed
};

inline ipp_t* NewRequest(ipp_op_t op, const std::string& uri, const std::string& user = "tester")
{
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, user.c_str());
    return request;
}

// Waits for the job to end, as a client polling Get-Job-Attributes does.
inline JobResult WaitForJob(int port, const std::string& uri, int id)
{
    JobResult result;
    result.id = id;
    http_t* http = Connect(port);
    Eventually([&] {
        ipp_t* request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, uri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ipp_t* response = cupsDoRequest(http, request, "/ipp/print");
        result.state = static_cast<ipp_jstate_t>(ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0));
        const char* message = ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
        result.message = message != nullptr ? message : "";
        result.impressions = ippGetInteger(ippFindAttribute(response, "job-impressions-completed", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        return result.state >= IPP_JSTATE_CANCELED;
    }, 1200, 50);
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
    int firstPage = 0;  // page-ranges firstPage-lastPage; 0 is not sent
    int lastPage = 0;
    int quality = 0;  // print-quality; 0 is not sent
    const char* content = nullptr;  // print-content-optimize
};

inline ipp_t* PrintRequest(const std::string& uri, const char* format, const char* name = nullptr)
{
    ipp_t* request = NewRequest(IPP_OP_PRINT_JOB, uri);
    if (name != nullptr)
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    return request;
}

// Sends the request with the document; the job is not waited for.
inline JobResult Send(const Server& server, const std::string& printer, ipp_t* request, const std::string& file)
{
    http_t* http = Connect(server.port);
    ipp_t* response = cupsDoFileRequest(http, request, ("/ipp/print/" + printer).c_str(), file.c_str());
    JobResult result;
    result.id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    result.status = cupsLastError();
    result.message = cupsLastErrorString();
    ippDelete(response);
    httpClose(http);
    return result;
}

// Print-Job with a document file, the way ipptool and CUPS send it.
inline JobResult PrintFile(const Server& server, const std::string& printer, const std::string& jobName,
                    const std::string& file, const JobOptions& job = {}, const char* format = "image/pwg-raster")
{
    ipp_t* request = PrintRequest(server.Uri(printer), format, jobName.c_str());
    if (job.copies != 1)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", job.copies);
    if (job.darkness != 0)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "print-darkness", job.darkness);
    if (job.colorMode != nullptr)
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-color-mode", nullptr, job.colorMode);
    if (job.firstPage != 0)
        ippAddRange(request, IPP_TAG_JOB, "page-ranges", job.firstPage, job.lastPage);
    if (job.quality != 0)
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", job.quality);
    if (job.content != nullptr)
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "print-content-optimize", nullptr, job.content);
    if (job.media != nullptr || job.mediaType != nullptr) {
        std::string col = "{";
        if (const pwg_media_t* size = job.media != nullptr ? pwgMediaForPWG(job.media) : nullptr)
            col += "media-size={x-dimension=" + std::to_string(size->width) + " y-dimension=" +
                   std::to_string(size->length) + "} media-size-name=" + job.media + " ";
        if (job.mediaType != nullptr)
            col += std::string("media-type=") + job.mediaType;
        cupsEncodeOption(request, IPP_TAG_JOB, "media-col", (col + "}").c_str());
    }
    JobResult result = Send(server, printer, request, file);
    if (result.id == 0) {
        result.state = IPP_JSTATE_ABORTED;
        return result;
    }
    return WaitForJob(server.port, server.Uri(printer), result.id);
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
inline Sheet MakeSheet(const char* media, unsigned seed, bool grey)
{
    const pwg_media_t* size = pwgMediaForPWG(media);
    Sheet sheet;
    sheet.width = static_cast<unsigned>(std::lround(size->width * 600 / 2540.0));
    sheet.height = static_cast<unsigned>(std::lround(size->length * 600 / 2540.0));
    sheet.dots.assign(std::size_t{sheet.width} * sheet.height, 255);
    unsigned state = seed * 2654435761U + 1;
    auto next = [&state] { return state = state * 1103515245U + 12345U, (state >> 8) & 0xFFFFU; };
    for (int i = 0; i < 400; ++i) {
        const unsigned x0 = next() % sheet.width;
        const unsigned y0 = next() % sheet.height;
        const unsigned w = 1 + next() % 300;
        const unsigned h = 1 + next() % 40;
        const std::uint8_t value = grey ? static_cast<std::uint8_t>(next() % 256) : 0;
        for (unsigned y = y0; y < std::min(sheet.height, y0 + h); ++y)
            for (unsigned x = x0; x < std::min(sheet.width, x0 + w); ++x)
                sheet.dots[std::size_t{y} * sheet.width + x] = (x + y) % 3 == 0 ? 255 : value;
    }
    std::fill_n(sheet.dots.begin() + std::ptrdiff_t{96} * sheet.width, sheet.width, 0);
    for (unsigned y = 0; y < sheet.height; ++y)
        sheet.dots[std::size_t{y} * sheet.width + 96] = 0;
    return sheet;
}

// The sheets as a PWG raster file, 1-bit black or 8-bit grey.
inline void WritePwg(const std::string& path, const std::vector<Sheet>& sheets, const char* media, bool eightBit,
                     cups_mode_t mode = CUPS_RASTER_WRITE_PWG)
{
    std::vector<TestPage> pages;
    for (const Sheet& sheet : sheets) {
        TestPage& page = pages.emplace_back();
        cupsRasterInitPWGHeader(&page.header, pwgMediaForPWG(media), eightBit ? "sgray_8" : "black_1", 600, 600,
                                "one-sided", nullptr);
        page.header.cupsWidth = sheet.width;
        page.header.cupsHeight = sheet.height;
        page.header.cupsBytesPerLine = eightBit ? sheet.width : (sheet.width + 7) / 8;
        page.rows.assign(sheet.height, Bytes(page.header.cupsBytesPerLine));
        for (unsigned y = 0; y < sheet.height; ++y)
            for (unsigned x = 0; x < sheet.width; ++x) {
                if (eightBit)
                    page.rows[y][x] = sheet.At(x, y);
                else if (sheet.At(x, y) < 128)
                    page.rows[y][x / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
            }
    }
    WriteRaster(path, pages, mode);
}

// What a CUPS queue with the PPD prints for the sheets: the raster CUPS
// makes of the PPD's printable area on that paper, run through the filter.
inline Bytes ThroughCups(const std::vector<Sheet>& sheets, const char* ppdSize, int density, int weight, int copies,
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

// A job as CUPS sends one: Create-Job, then the document with
// Send-Document, piece by piece.
struct StreamedJob {
    StreamedJob(const Server& server, const std::string& printer, const std::string& name,
                const char* format = "image/pwg-raster", int copies = 1)
        : uri(server.Uri(printer))
    {
        http = Connect(server.port);
        ipp_t* request = NewRequest(IPP_OP_CREATE_JOB, uri);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        if (copies != 1)
            ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", copies);
        ipp_t* response = cupsDoRequest(http, request, "/ipp/print");
        id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(response);
        request = NewRequest(IPP_OP_SEND_DOCUMENT, uri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        cupsSendRequest(http, request, "/ipp/print", CUPS_LENGTH_VARIABLE);
        ippDelete(request);
    }
    ~StreamedJob() { httpClose(http); }
    StreamedJob(const StreamedJob&) = delete;
    StreamedJob& operator=(const StreamedJob&) = delete;

    void Send(std::span<const std::uint8_t> bytes) const
    {
        cupsWriteRequestData(http, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    // Ends the document and reads the server's answer.
    void Finish() const { ippDelete(cupsGetResponse(http, "/ipp/print")); }

    std::string uri;
    http_t* http = nullptr;
    int id = 0;
};

inline void Cancel(const Server& server, const std::string& uri, int id)
{
    http_t* http = Connect(server.port);
    ipp_t* request = NewRequest(IPP_OP_CANCEL_JOB, uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippDelete(cupsDoRequest(http, request, "/ipp/print"));
    httpClose(http);
}

// One 8-bit A4 page whose header `bend` changes, every line of it mid grey.
inline void GreyPage(const std::string& path, void (*bend)(cups_page_header2_t&) = nullptr)
{
    TestPage page{};
    cupsRasterInitPWGHeader(&page.header, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 600, 600, "one-sided", nullptr);
    if (bend != nullptr)
        bend(page.header);
    // A header the printer refuses is all there is.
    const unsigned lines = page.header.cupsBytesPerLine <= 65535 ? page.header.cupsHeight : 0;
    page.rows.assign(lines, Bytes(page.header.cupsBytesPerLine, 0x40));
    WriteRaster(path, {page}, CUPS_RASTER_WRITE_PWG);
}

// Whatever became of the last job, the printer takes the next.
inline void ExpectNextPrints(const Server& server, const std::string& printer, const std::string& name)
{
    const std::string path = server.dir.File(name + ".pwg");
    GreyPage(path);
    EXPECT_EQ(PrintFile(server, printer, name, path).state, IPP_JSTATE_COMPLETED);
}

// Every page the printer gets is closed, whatever ended the job.
inline void ExpectClosedPages(const Bytes& stream, std::size_t fewerThan)
{
    const DecodedJob job = DecodeJob(stream);
    EXPECT_FALSE(job.violation) << Describe(*job.violation);
    EXPECT_GE(job.pages.size(), 1U);
    EXPECT_LT(job.pages.size(), fewerThan);
}

// The server's child processes, zombies included: their IDs, one a line.
inline std::string Children(pid_t pid)
{
    const RunResult run = RunProgram("pgrep", {"pgrep", "-P", std::to_string(pid)});
    return {run.out.begin(), run.out.end()};
}

// No job leaves a file in the spool or the temporary folder. PAPPL drops a
// job's saved attributes at its next save of the state, which waits for
// its main loop to wake: a client connecting wakes it.
inline bool FilesGone(const Server& server)
{
    const auto empty = [&](const char* folder) {
        return std::ranges::none_of(std::filesystem::recursive_directory_iterator(server.dir.File(folder)),
                                    [](const auto& entry) { return entry.is_regular_file(); });
    };
    return Eventually([&] {
        httpClose(Connect(server.port));
        return empty("spool") && empty("tmp");
    }, 100, 50);
}

// A 38-page text manual from Debian's bzip2-doc, letter-sized.
inline constexpr const char* kManualGz = "/usr/share/doc/bzip2/manual.pdf.gz";

inline std::string Manual(const TempDir& dir)
{
    std::string path = dir.File("manual.pdf");
    if (!std::filesystem::exists(path)) {
        RunSetup setup;
        setup.stdoutPath = path;
        EXPECT_EQ(RunProgram("/bin/gzip", {"gzip", "-dc", kManualGz}, setup).status, 0);
    }
    return path;
}
