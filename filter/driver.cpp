#include "driver.h"

#include <cups/ppd.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "commands.h"
#include "output_cache.h"
#include "row_encoder.h"
#include "settings.h"

std::uint32_t gPage = 0;
std::int32_t gFeed = 0;
volatile std::sig_atomic_t gCanceled = 0;
std::unique_ptr<std::uint8_t[]> szRasterBuf;

namespace {

// The largest width, height or paper side the printer's 16-bit fields hold.
constexpr std::uint32_t kMaxDots = 0xFFFF;
constexpr unsigned kResolution = 600;

// The raster arrives through this reader rather than straight from the
// descriptor, so that the end of the stream can be told apart from a page
// header that libcups refused, and a cancelled job stops waiting for data.
// libcups asks for an uncompressed stream one row at a time; reading ahead
// turns a system call per row into one per 64 KiB.
constexpr std::size_t kReadAhead = std::size_t{64} * 1024;

struct RasterInput {
    int fd = 0;
    bool ended = false;   // libcups asked for more and the stream had nothing left
    bool failed = false;  // reading failed
    std::array<std::uint8_t, kReadAhead> ahead{};
    std::size_t next = 0;    // first byte of ahead not yet handed to libcups
    std::size_t filled = 0;  // bytes in ahead
};

// What the reader last copied out of its read-ahead: where to, how many
// bytes, and whether all but the last were white. Where libcups has a row
// copied straight into the row buffer in one piece (an uncompressed
// stream), that is most of the blank-row test, done on the way.
struct LastCopy {
    const std::uint8_t* to = nullptr;
    std::size_t length = 0;
    bool whiteButLast = false;
};
LastCopy gLastCopy;

// A row's last byte when it prints nothing: its pixel bits white, its
// padding bits clear.
std::uint8_t LastByteWhite(std::uint32_t cupsWidth)
{
    const std::uint32_t w = cupsWidth & 7;
    return static_cast<std::uint8_t>(w == 0 ? 0xFF : (0xFF << (8 - w)) & 0xFF);
}

// One read of the descriptor: 0 at the end of the stream, on a failure or
// once the job is cancelled.
ssize_t ReadSome(RasterInput& input, unsigned char* buffer, std::size_t length)
{
    for (;;) {
        const ssize_t got = read(input.fd, buffer, length);
        if (got > 0)
            return got;
        if (got < 0 && errno == EINTR && !gCanceled)
            continue;
        if (got < 0 && !gCanceled)
            input.failed = true;
        input.ended = true;
        return 0;
    }
}

ssize_t ReadRaster(void* ctx, unsigned char* buffer, std::size_t length)
{
    auto& input = *static_cast<RasterInput*>(ctx);
    if (input.next == input.filled) {
        if (length >= kReadAhead)
            return ReadSome(input, buffer, length);
        const ssize_t got = ReadSome(input, input.ahead.data(), kReadAhead);
        if (got == 0)
            return 0;
        input.next = 0;
        input.filled = static_cast<std::size_t>(got);
    }
    const std::size_t part = std::min(length, input.filled - input.next);
    gLastCopy = {buffer, part,
                 CopyWhiteButLast(buffer, input.ahead.data() + input.next, static_cast<std::uint32_t>(part))};
    input.next += part;
    return static_cast<ssize_t>(part);
}

void OnTerminate(int /*signal*/)
{
    gCanceled = 1;
}

// The standard output stream's writes to the backend. A cancel arrives
// as SIGTERM, which also interrupts a write blocked on a full pipe (a
// printer slower than the job); the C library would count that as a
// failed write and drop what its buffer held, leaving the printer half a
// row. The write carries on where the signal stopped it.
ssize_t WriteToBackend(void* /*cookie*/, const char* bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t wrote = write(STDOUT_FILENO, bytes + done, size - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(wrote);
    }
    return static_cast<ssize_t>(done);
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read blocked on the upstream filter returns at once.
    action.sa_handler = OnTerminate;
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe is a write error like any other, not a silent death.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    // The C library lets a program set its standard streams.
    static const cookie_io_functions_t kBackend{nullptr, WriteToBackend, nullptr, nullptr};
    if (FILE* out = fopencookie(nullptr, "w", kBackend); out != nullptr && setvbuf(out, nullptr, _IOFBF, BUFSIZ) == 0)
        stdout = out;
}

void Error(const char* message)
{
    (void)std::fprintf(stderr, "ERROR: %s\n", message);
}

}  // namespace

void JobSetup()
{
    ImageDataCpy(szInitCmd);
}

void PageSetup()
{
    ImageDataCpy(szStartPageCmd);
    gFeed = 0;
}

void PageFinish()
{
    ImageDataCpy(szEndPageCmd);
    szRasterBuf.reset();
    szCompressBuf.reset();
}

void JobFinish()
{
    gJobFinishFlag = 1;
    ImageDataCpy(nullptr, 0);
}

void SendBlankLineData(std::int32_t lines)
{
    for (std::int32_t i = 0; i < lines; ++i)
        ImageDataCpy(szBlankLineCmd);
}

void SendOneLineData(const cups_page_header2_t& header)
{
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
    CompressDataAndSend(szRasterBuf.get(), ((header.cupsWidth + 7) >> 3) + gMarginLeft);
}

bool IsBlankRow(const std::uint8_t* row, std::uint32_t total, std::uint32_t cupsWidth)
{
    if (total == 0)
        return true;
    return row[total - 1] == LastByteWhite(cupsWidth) && IsWhite(row, total - 1);
}

const char* UnprintablePageReason(const cups_page_header2_t& header)
{
    if (header.cupsBitsPerColor != 1 || header.cupsBitsPerPixel != 1 || header.cupsNumColors != 1)
        return "The raster must have one colour at one bit per pixel.";
    // The field comes straight from the stream and may hold any number, so
    // it is read as one rather than as the enumeration. With a black = 1
    // colour space every page would print as its negative.
    unsigned colorSpace = 0;
    static_assert(sizeof(colorSpace) == sizeof(header.cupsColorSpace));
    std::memcpy(&colorSpace, &header.cupsColorSpace, sizeof(colorSpace));
    if (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW)
        return "The raster must use a white = 1 colour space (check the PPD's colour model).";
    if (header.HWResolution[0] != kResolution || header.HWResolution[1] != kResolution)
        return "The raster must have a resolution of 600 dpi.";
    if (header.cupsWidth == 0 || header.cupsWidth > kMaxDots || header.cupsHeight == 0 ||
        header.cupsHeight > kMaxDots)
        return "The raster's width and height must be 1 to 65535 dots.";
    if (header.cupsBytesPerLine != (header.cupsWidth + 7) / 8)
        return "The raster's bytes per line do not match its width.";
    // Checked before any float becomes an integer: NaN, infinities and huge
    // sizes have no integer value.
    const auto expressible = [](float side) {
        return std::isfinite(side) && side >= 0.0F && side * 600.0F / 72.0F < kMaxDots + 1.0F;
    };
    const char* const badPageSize = "The page size must be a positive size of at most 65535 dots.";
    if (!expressible(header.cupsPageSize[0]) || !expressible(header.cupsPageSize[1]))
        return badPageSize;
    const PaperDots paper = PaperSizeInDots(header);
    return paper.width == 0 || paper.height == 0 ? badPageSize : nullptr;
}

bool AllocatePageBuffers(const cups_page_header2_t& header)
{
    const std::uint32_t total = header.cupsBytesPerLine + gMarginLeft;
    szRasterBuf.reset(new (std::nothrow) std::uint8_t[total + 1]);
    const std::uint64_t commandSize = kRowCmdHeaderSize + MaxPayloadSize(total + 1);
    szCompressBuf.reset(new (std::nothrow) std::uint8_t[commandSize]);
    if (!szRasterBuf || !szCompressBuf) {
        szRasterBuf.reset();
        szCompressBuf.reset();
        return false;
    }
    std::memset(szRasterBuf.get(), 0xFF, total + 1);
    std::memset(szCompressBuf.get(), 0xFF, commandSize);
    return true;
}

void SendPageBody(cups_raster_t* ras, const cups_page_header2_t& header)
{
    const std::uint32_t total = header.cupsBytesPerLine + gMarginLeft;
    std::uint8_t* const row = szRasterBuf.get() + gMarginLeft;
    const std::uint8_t lastWhite = LastByteWhite(header.cupsWidth);
    gFeed = gMarginTop;
    for (std::uint32_t mCurLine = 0; mCurLine < header.cupsHeight; ++mCurLine) {
        if (gCanceled || gOutputFailed)
            break;
        gLastCopy.to = nullptr;
        if (cupsRasterReadPixels(ras, row, header.cupsBytesPerLine) == 0)
            break;
        // The left margin in front of the row is white.
        const bool blank = gLastCopy.to == row && gLastCopy.length == header.cupsBytesPerLine
                               ? gLastCopy.whiteButLast && row[header.cupsBytesPerLine - 1] == lastWhite
                               : IsBlankRow(szRasterBuf.get(), total, header.cupsWidth);
        if (blank)
            ++gFeed;
        else
            SendOneLineData(header);
    }
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
}

int FilterMain(int argc, char* argv[])
{
    std::setbuf(stderr, nullptr);
    if (argc != 6 && argc != 7) {
        (void)std::fputs("Usage: rastertomono job-id user title copies options [file]\n", stderr);
        return 1;
    }

    RasterInput input;
    if (argc == 7) {
        input.fd = open(argv[6], O_RDONLY);
        if (input.fd < 0) {
            Error("Unable to open the raster file.");
            sleep(1);
            return 1;
        }
    }

    const char* ppdPath = std::getenv("PPD");
    ppd_file_t* ppd = ppdPath != nullptr ? ppdOpenFile(ppdPath) : nullptr;
    if (ppd == nullptr) {
        Error("Unable to open the PPD file named by PPD.");
        if (input.fd != 0)
            close(input.fd);
        return 1;
    }

    gCanceled = 0;
    InstallSignalHandlers();
    cups_raster_t* ras = cupsRasterOpenIO(ReadRaster, &input, CUPS_RASTER_READ);

    ResetImageCache();
    ImageDataCpy(szZeroCmd);
    JobSetup();

    bool failed = false;
    gPage = 0;
    cups_page_header2_t header{};
    while (cupsRasterReadHeader2(ras, &header) != 0) {
        if (gCanceled)
            break;
        if (const char* reason = UnprintablePageReason(header)) {
            Error(reason);
            failed = true;
            break;
        }
        if (gPage == 0)
            parsePrinterSettings(ppd, argv[5], header);
        if (!AllocatePageBuffers(header)) {
            Error("Not enough memory for the page's rows.");
            failed = true;
            break;
        }
        if (gPage == 0)
            sendSettingsToPrinter();
        ++gPage;
        PageSetup();
        SendPageBody(ras, header);
        PageFinish();
        if (gCanceled || gOutputFailed)
            break;
    }
    // libcups gives no page header both at the end of the stream and for a
    // header it refuses; only the first is a normal end.
    if (!input.ended && !gCanceled && !gOutputFailed && !failed) {
        Error(ras == nullptr ? "The input is not a CUPS raster stream."
                             : "The raster stream has a broken page header.");
        failed = true;
    }
    if (input.failed) {
        Error("Reading the raster stream failed.");
        failed = true;
    }
    if (gPage == 0 && !failed && !gCanceled)
        Error("The raster stream holds no pages.");
    JobFinish();
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        gOutputFailed = true;
    if (gOutputFailed)
        Error("Writing the printer data failed.");

    ppdClose(ppd);
    cupsRasterClose(ras);
    if (input.fd != 0)
        close(input.fd);
    return gPage > 0 && !failed && !gOutputFailed ? 0 : 1;
}
