// Test support: rasters written through libcups's own writer, the printer's
// commands written out byte for byte, and the filter run as CUPS runs it.
#pragma once

#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text);  // "1B 2A 42" -> bytes; "FF*3" is "FF FF FF"
Bytes Repeat(const Bytes& bytes, std::size_t times);
Bytes Cat(std::initializer_list<Bytes> parts);

// The printer's commands, written out rather than taken from the filter.
inline const Bytes kZeros(1024, 0x00);
inline const Bytes kInit = Hex("1B 26 42 1B 25 2D 39 38 37 36 35 58");
inline const Bytes kStart = Hex("1B 24 41 1B 21 41 00 00 00");
inline const Bytes kBlank = Hex("1B 2A 42 01 00");
inline const Bytes kEnd = Hex("1B 24 42");
Bytes RowCommand(const Bytes& payload);
// Density 2, weight 1, the given paper-size command, copies with CRC.
Bytes SettingsBlock(const char* paperSize, const char* copiesAndCrc = "01 00 49 25");
inline const char* const kOneInchPaper = "1B 78 58 02 1B 79 58 02";

// Raster rows and the payloads the design gives for them.
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
    std::vector<Bytes> rows;  // missing rows are not written
};

// A white row: bits past the last pixel are 0, as the raster has them.
Bytes WhiteRow(unsigned width);
void ClearPadding(Bytes& row, unsigned width);
TestPage WhitePage(const cups_page_header2_t& header);

void WriteRaster(const std::string& path, const std::vector<TestPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE);
// The uncompressed raster form as libcups lays it out, header as in memory.
Bytes RawRaster(const std::vector<TestPage>& pages);

std::string TestData(const std::string& name);
Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

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
    std::string stdinPath;         // empty: /dev/null
    std::string stdoutPath;        // empty: captured
    bool stdinPipe = false;        // stdin is a pipe the test writes to
    bool stdoutUnread = false;     // stdout is a pipe nobody reads
    std::vector<std::string> env;  // added to the environment, which has no PPD
};

struct RunningProgram {
    pid_t pid = -1;
    int stdinFd = -1;
    std::unique_ptr<TempDir> dir;
};

// argv[0] included; a sanitizer report fails the test.
RunningProgram StartProgram(const std::string& program, const std::vector<std::string>& argv,
                            const RunSetup& setup = {});
RunResult FinishProgram(RunningProgram& running);  // killed after 120 seconds
RunResult RunProgram(const std::string& program, const std::vector<std::string>& argv, const RunSetup& setup = {});
// The filter with the CUPS arguments (job, user, title, copies, options[,
// file]); ppd null leaves PPD unset.
RunningProgram StartFilter(const std::string& options, const std::string& file, const char* ppd,
                           RunSetup setup = {});
RunResult RunFilter(const std::string& options, const std::string& file, const char* ppd = nullptr,
                    const RunSetup& setup = {});
// Waits until the process sits in a read of its standard input.
bool WaitUntilReadingStdin(pid_t pid);
