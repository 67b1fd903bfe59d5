// The raster writer preloaded into ghostscript: the same bytes as
// ghostscript's own row-by-row writes, and each page out as soon as it is
// rendered, while ghostscript waits for the next one's drawing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace {

// A Letter page at 600 dpi, one bit: 4.2 MB, four chunks and a part. The
// program comes on standard input, run as it is read.
const std::vector<std::string> kGhostscript = {
    "gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups", "-r600", "-dcupsBitsPerColor=1",
    "-dcupsColorSpace=0", "-dDEVICEWIDTHPOINTS=612", "-dDEVICEHEIGHTPOINTS=792", "-sOutputFile=%stdout",
    "-sstdout=%stderr", "-c", "(%stdin) (r) file cvx exec"};
const std::string kPageOne = "100 100 200 300 rectfill showpage\n";
const std::string kPageTwo = "300 500 100 50 rectfill showpage\n";

off_t SizeOf(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST(GsWriter, WritesEachPageWhenRenderedAndTheSameBytes)
{
    TempDir dir;
    const std::string both = kPageOne + kPageTwo;
    WriteFile(dir.File("both.ps"), Bytes(both.begin(), both.end()));
    RunSetup plain;
    plain.stdinPath = dir.File("both.ps");
    const RunResult expected = RunProgram("gs", kGhostscript, plain);
    ASSERT_EQ(expected.status, 0) << expected.err;
    // Sync word, then per page a header and the rows.
    ASSERT_GT(expected.out.size(), 8U << 20);
    cups_page_header2_t header;
    std::memcpy(&header, expected.out.data() + 4, sizeof header);
    const off_t firstPage = 4 + static_cast<off_t>(sizeof header) +
                            static_cast<off_t>(header.cupsBytesPerLine) * static_cast<off_t>(header.cupsHeight);
    ASSERT_EQ(expected.out.size(), 2 * static_cast<std::size_t>(firstPage) - 4);

    RunSetup preloaded;
    preloaded.stdinPipe = true;
    preloaded.stdoutPath = dir.File("out");
    preloaded.env = {std::string("LD_PRELOAD=") + RTM_GS_WRITER};
    RunningProgram gs = StartProgram("gs", kGhostscript, preloaded);
    ASSERT_EQ(write(gs.stdinFd, kPageOne.data(), kPageOne.size()), static_cast<ssize_t>(kPageOne.size()));
    // Ghostscript now reads on for the second page, which has not come.
    EXPECT_TRUE(Eventually([&] { return SizeOf(dir.File("out")) == firstPage; }))
        << "the first page's last part waits for the second page: " << SizeOf(dir.File("out")) << " of "
        << firstPage << " bytes";
    ASSERT_EQ(write(gs.stdinFd, kPageTwo.data(), kPageTwo.size()), static_cast<ssize_t>(kPageTwo.size()));
    RunResult got = FinishProgram(gs);
    EXPECT_EQ(got.status, 0) << got.err;
    got.out = ReadFile(dir.File("out"));
    EXPECT_TRUE(SameBytes(got.out, expected.out));
}

}  // namespace
