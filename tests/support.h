// Test support: rasters written through libcups's own writer, the printer's
// commands written out byte for byte, and programs run as CUPS runs them.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Raster rows and the payloads the design gives for them.
struct PayloadExample {
    const char* row;
    const char* payload;
};

struct TestPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;  // missing rows are not written
};

struct TempDir {
    TempDir() : path((std::filesystem::temp_directory_path() / "rtm-test-XXXXXX").string())
    {
        if (mkdtemp(path.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    Bytes out;
    std::string err;
};

struct RunSetup {
    std::string stdinPath;         // empty: /dev/null
    std::string stdoutPath;        // empty: captured
    bool stdinPipe = false;        // stdin is a pipe the test writes to
    std::vector<std::string> env;  // added to the environment, which has no PPD
};

struct RunningProgram {
    pid_t pid = -1;
    int stdinFd = -1;
    std::unique_ptr<TempDir> dir;
};

inline Bytes Hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        const std::size_t star = word.find('*');
        const std::size_t times = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
        bytes.insert(bytes.end(), times, static_cast<std::uint8_t>(std::stoul(word.substr(0, star), nullptr, 16)));
    }
    return bytes;
}

inline Bytes Repeat(const Bytes& bytes, std::size_t times)
{
    Bytes out;
    for (std::size_t i = 0; i < times; ++i)
        out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The printer's commands, written out rather than taken from the filter.
inline const Bytes kZeros(1024, 0x00);
inline const Bytes kInit = Hex("1B 26 42 1B 25 2D 39 38 37 36 35 58");
inline const Bytes kStart = Hex("1B 24 41 1B 21 41 00 00 00");
inline const Bytes kBlank = Hex("1B 2A 42 01 00");
inline const Bytes kEnd = Hex("1B 24 42");
inline const char* const kOneInchPaper = "1B 78 58 02 1B 79 58 02";

inline Bytes RowCommand(const Bytes& payload)
{
    const auto size = payload.size();
    return Cat({Hex("1B 2A 41 02"), {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8)}, payload});
}

// Density 2, weight 1, the given paper-size command, copies with CRC.
inline Bytes SettingsBlock(const char* paperSize, const char* copiesAndCrc = "01 00 49 25")
{
    return Cat({Hex("1C 16 01 42 11  1C 16 02 42 12  1C 16 03 42 10  1B 26 41 01 00 01"), Hex(paperSize),
                Hex("1B 26 41 03 00 00 00  1B 26 6C"), Hex(copiesAndCrc)});
}

inline const std::vector<PayloadExample> kPayloadExamples = {
    {"", ""},
    {"FF FF", ""},
    {"00", "00 FF"},
    {"12 34", "01 ED CB"},
    {"00 00 00", "FE FF"},
    {"00 00 00 00", "FE FF 00 FF"},
    {"00 00 00 00 00", "FD FF 00 FF"},
    {"01 02 03 FF FF", "00 FE 01 FD FC"},
    {"AA AA AA BB CC", "FE 55 01 44 33"},
    {"10 10 11 11 12 12 12 12", "03 EF EF EE EE FE ED 00 ED"},
    {"12 34 56 78", "01 ED CB 01 A9 87"},
    {"FF FF FF 12 34 56", "FE 00 00 ED 01 CB A9"},
    // Repeat runs are capped at 127.
    {"00*127", "83 FF 00 FF"},
    {"00*129", "82 FF 01 FF FF"},
    {"55*130", "82 AA FE AA"},
    {"00*254", "82 FF 83 FF 00 FF"},
    // A repeat run reaching the end takes the last byte only when its
    // first three bytes end there.
    {"01 05 05 05", "00 FE FE FA"},
    {"01 05 05 05 05", "00 FE FE FA 00 FA"},
    {"05 05 05 05 05 05", "FC FA 00 FA"},
    // Two equal bytes inside varying data stay in the literal run; three end it.
    {"01 02 02 03 04", "02 FE FD FD 01 FC FB"},
    {"01 02 07 07 07 09", "01 FE FD FE F8 00 F6"},
    // Only trailing white is cut.
    {"FF FF FF 00 FF", "FE 00 00 FF"},
    {"FF 00 FF FF 00", "02 00 FF 00 01 00 FF"},
    // A 4,958-dot row whose last byte has a bit set past the last dot.
    {"FF*619 FD", "82 00 82 00 82 00 82 00 92 00 00 02"},
};

// Equal bytes, or the sizes and the first offset that differs.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    const auto at = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first - actual.begin();
    return ::testing::AssertionFailure() << actual.size() << " bytes, expected " << expected.size()
                                         << "; first difference at offset " << at;
}

// A one-bit, white = 1, 600-dpi page header.
inline cups_page_header2_t MonoHeader(unsigned width, unsigned height, float pageWidthPt, float pageLengthPt,
                                      unsigned copies = 1)
{
    cups_page_header2_t header{};
    header.HWResolution[0] = header.HWResolution[1] = 600;
    header.PageSize[0] = static_cast<unsigned>(std::lround(pageWidthPt));
    header.PageSize[1] = static_cast<unsigned>(std::lround(pageLengthPt));
    header.cupsPageSize[0] = pageWidthPt;
    header.cupsPageSize[1] = pageLengthPt;
    header.NumCopies = copies;
    header.cupsWidth = width;
    header.cupsHeight = height;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 1;
    header.cupsBytesPerLine = (width + 7) / 8;
    header.cupsColorSpace = CUPS_CSPACE_W;
    header.cupsNumColors = 1;
    return header;
}

// Bits past the last pixel are 0 in a raster row.
inline void ClearPadding(Bytes& row, unsigned width)
{
    if (const unsigned w = width & 7; w != 0 && !row.empty())
        row.back() &= static_cast<std::uint8_t>(0xFF << (8 - w));
}

inline Bytes WhiteRow(unsigned width)
{
    Bytes white((width + 7) / 8, 0xFF);
    ClearPadding(white, width);
    return white;
}

inline TestPage WhitePage(const cups_page_header2_t& header)
{
    return {header, std::vector<Bytes>(header.cupsHeight, WhiteRow(header.cupsWidth))};
}

inline void WriteRaster(const std::string& path, const std::vector<TestPage>& pages,
                        cups_mode_t mode = CUPS_RASTER_WRITE)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* ras = cupsRasterOpen(fd, mode);
    for (TestPage page : pages) {
        cupsRasterWriteHeader2(ras, &page.header);
        for (Bytes& row : page.rows)
            cupsRasterWritePixels(ras, row.data(), static_cast<unsigned>(row.size()));
    }
    cupsRasterClose(ras);
    close(fd);
}

inline Bytes RawRaster(const std::vector<TestPage>& pages)
{
    Bytes raster = {'3', 'S', 'a', 'R'};  // "RaS3" in the writer's byte order
    for (const TestPage& page : pages) {
        const auto* header = reinterpret_cast<const std::uint8_t*>(&page.header);
        raster.insert(raster.end(), header, header + sizeof(page.header));
        for (const Bytes& row : page.rows)
            raster.insert(raster.end(), row.begin(), row.end());
    }
    return raster;
}

inline std::string TestData(const std::string& name)
{
    return std::string(RTM_TEST_DATA) + "/" + name;
}

inline Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Polls until `done` holds, at most `tries` times.
template <typename Done>
bool Eventually(Done done, int tries = 400, int ms = 25)
{
    for (int i = 0; i < tries; ++i, usleep(ms * 1000))
        if (done())
            return true;
    return false;
}

// argv[0] included; a sanitizer report fails the test, and after 120
// seconds the program is killed.
inline RunningProgram StartProgram(const std::string& program, const std::vector<std::string>& argv,
                                   const RunSetup& setup = {})
{
    RunningProgram running;
    running.dir = std::make_unique<TempDir>();
    const std::string outPath = setup.stdoutPath.empty() ? running.dir->File("out") : setup.stdoutPath;
    const std::string errPath = running.dir->File("err");
    std::vector<std::string> strings = argv;
    const std::size_t envAt = strings.size();
    // The setup's variables take the place of the test's own.
    const auto overridden = [&setup](const char* entry) {
        return std::strncmp(entry, "PPD=", 4) == 0 || std::ranges::any_of(setup.env, [entry](const std::string& own) {
                   return std::strncmp(entry, own.c_str(), own.find('=') + 1) == 0;
               });
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (!overridden(*e))
            strings.emplace_back(*e);
    strings.insert(strings.end(), setup.env.begin(), setup.env.end());
    std::vector<char*> args;
    std::vector<char*> envp;
    for (std::size_t i = 0; i < strings.size(); ++i)
        (i < envAt ? args : envp).push_back(strings[i].data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int in[2] = {-1, -1};
    if (setup.stdinPipe && pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    running.pid = fork();
    if (running.pid == 0) {
        // Nothing a test starts outlives it, however the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(setup.stdinPipe ? in[0]
                             : open(setup.stdinPath.empty() ? "/dev/null" : setup.stdinPath.c_str(), O_RDONLY),
             0);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execvpe(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    if (setup.stdinPipe) {
        close(in[0]);
        running.stdinFd = in[1];
    }
    return running;
}

inline RunResult FinishProgram(RunningProgram& running)
{
    if (running.stdinFd >= 0)
        close(running.stdinFd);
    running.stdinFd = -1;
    int status = 0;
    if (!Eventually([&] { return waitpid(running.pid, &status, WNOHANG) == running.pid; }, 12000, 10)) {
        kill(running.pid, SIGKILL);
        waitpid(running.pid, &status, 0);
    }
    RunResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(running.dir->File("out"));
    const Bytes err = ReadFile(running.dir->File("err"));
    result.err.assign(err.begin(), err.end());
    if (result.err.find("Sanitizer") != std::string::npos || result.err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report:\n" << result.err;
    return result;
}

inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& argv,
                            const RunSetup& setup = {})
{
    RunningProgram running = StartProgram(program, argv, setup);
    return FinishProgram(running);
}

// The filter with the CUPS arguments (job, user, title, copies, options[,
// file]); ppd null leaves PPD unset.
inline RunningProgram StartFilter(const std::string& options, const std::string& file, const char* ppd,
                                  RunSetup setup = {})
{
    if (ppd != nullptr)
        setup.env.push_back(std::string("PPD=") + ppd);
    std::vector<std::string> argv = {"rastertomono", "42", "tester", "test job", "1", options};
    if (!file.empty())
        argv.push_back(file);
    return StartProgram(RTM_FILTER_PATH, argv, setup);
}

// Writes bytes to the descriptor in pieces of the given sizes, in turn;
// returns how many were written before a write fell short.
inline std::size_t WriteInPieces(int fd, const Bytes& bytes, const std::vector<std::size_t>& pieces)
{
    std::size_t at = 0;
    for (std::size_t k = 0; at < bytes.size(); ++k) {
        const std::size_t n = std::min(pieces[k % pieces.size()], bytes.size() - at);
        if (write(fd, bytes.data() + at, n) != static_cast<ssize_t>(n))
            break;
        at += n;
    }
    return at;
}

inline RunResult RunFilter(const std::string& options, const std::string& file, const char* ppd = nullptr,
                           const RunSetup& setup = {})
{
    RunningProgram filter = StartFilter(options, file, ppd, setup);
    return FinishProgram(filter);
}

// Waits until the process sits in a read of its standard input.
// Until the program waits in a system call on a descriptor: x86-64's
// read (0) on standard input, or write (1) on standard output.
inline bool WaitUntilBlockedIn(pid_t pid, const char* call, const char* fd)
{
    return Eventually([pid, call, fd] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
        std::string number;
        std::string first;
        return in >> number >> first && number == call && first == fd;
    }, 1000, 10);
}

inline bool WaitUntilReadingStdin(pid_t pid) { return WaitUntilBlockedIn(pid, "0", "0x0"); }
