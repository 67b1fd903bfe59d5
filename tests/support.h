// Test support: rasters written through libcups's own writer, the filter
// run as CUPS runs it, and capture of what the output cache hands over.
#pragma once

#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text);  // "1B 2A 42" -> bytes; "FF*3" is "FF FF FF"
Bytes Repeat(const Bytes& bytes, std::size_t times);
Bytes Cat(std::initializer_list<Bytes> parts);

// The printer's commands as the tests expect them, written out byte for
// byte rather than taken from the filter's templates.
inline const Bytes kZeros(1024, 0x00);
inline const Bytes kInit = Hex("1B 26 42 1B 25 2D 39 38 37 36 35 58");
inline const Bytes kStart = Hex("1B 24 41 1B 21 41 00 00 00");
inline const Bytes kBlank = Hex("1B 2A 42 01 00");
inline const Bytes kEnd = Hex("1B 24 42");
Bytes RowCommand(const Bytes& payload);
// The settings block for a PPD without density and weight options:
// density 2, weight 1, the given paper-size command and copies with CRC.
Bytes SettingsBlock(const char* paperSize, const char* copiesAndCrc = "01 00 49 25");
inline const char* const kOneInchPaper = "1B 78 58 02 1B 79 58 02";

// Raster rows and the payloads the printer must receive for them (a
// payload expands back to the complemented row without trailing white).
struct PayloadExample {
    const char* row;
    const char* payload;
};
extern const std::vector<PayloadExample> kPayloadExamples;

// A one-bit, white = 1, 600-dpi page header.
cups_page_header2_t MonoHeader(unsigned width, unsigned height, float pageWidthPt, float pageLengthPt,
                               unsigned copies = 1);

struct TestPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;  // each cupsBytesPerLine bytes; missing rows are not written
};

// A white raster row: bits past the last pixel are 0, as the raster has them.
Bytes WhiteRow(unsigned width);
void ClearPadding(Bytes& row, unsigned width);

// A page whose rows are all white except those given.
TestPage WhitePage(const cups_page_header2_t& header);

void WriteRaster(const std::string& path, const std::vector<TestPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE);

std::string TestData(const std::string& name);
Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

// A folder under the test temp area, removed with the object.
struct TempDir {
    TempDir();
    ~TempDir();
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
    std::string stdinPath;          // empty: /dev/null
    std::string stdoutPath;         // empty: captured into RunResult::out
    bool stdinPipe = false;         // stdin is a pipe the test writes to
    bool stdoutUnread = false;      // stdout is a pipe nobody reads
    std::vector<std::string> env;   // added to the environment, which has no PPD
    int timeoutSeconds = 120;       // then the program is killed (status 128 + 9)
};

struct RunningProgram {
    std::string program;
    pid_t pid = -1;
    int stdinFd = -1;  // write end of the stdin pipe, when asked for
    std::unique_ptr<TempDir> dir;
    int timeoutSeconds = 0;
};

// Starts program (looked up on the PATH when it has no slash) with argv,
// argv[0] included.
RunningProgram StartProgram(const std::string& program, const std::vector<std::string>& argv,
                            const RunSetup& setup = {});
// Closes the stdin pipe, waits (killing the program after its timeout) and
// collects what it wrote; a sanitizer report fails the test.
RunResult FinishProgram(RunningProgram& running);
RunResult RunProgram(const std::string& program, const std::vector<std::string>& argv, const RunSetup& setup = {});

// The filter binary with argv[0] = "rastertomono" and the given further
// arguments; ppd null leaves PPD unset.
RunningProgram StartFilter(const std::vector<std::string>& args, const char* ppd, RunSetup setup = {});
RunResult RunFilter(const std::vector<std::string>& args, const char* ppd, const RunSetup& setup = {});

// Waits until the filter sits in a read of its standard input, i.e. it has
// taken everything written so far; false after ten seconds.
bool WaitUntilReadingStdin(pid_t pid);

// A raster stream exactly as libcups lays out the uncompressed form:
// sync word, then per page the header as it is in memory and the rows.
Bytes RawRaster(const std::vector<TestPage>& pages);

// Standard CUPS arguments: job, user, title, copies, options[, file].
std::vector<std::string> FilterArgs(const std::string& options, const std::string& file = "");

// What the stream handed to standard output received while fn ran: every
// fwrite as a separate chunk when unbuffered, or every flush as a chunk when
// fully buffered.
struct Capture {
    std::vector<Bytes> chunks;
    Bytes unflushed;  // buffered mode: what was still waiting in the stream
    [[nodiscard]] Bytes All() const;
};
Capture CaptureStdout(const std::function<void()>& fn, bool unbuffered);

// Byte-for-byte comparison that reports sizes and the first difference in
// hex, instead of two walls of characters.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected);
