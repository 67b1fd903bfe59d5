#include "driver.h"

#include <cups/ppd.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
//
// It reads the stream in 64 KiB pieces at 64 KiB offsets, the reads the
// page cache serves at least cost, into a read-ahead. An uncompressed
// page's rows are then handed to libcups where they already lie: the page
// body asks libcups for the whole rows the read-ahead holds, into the
// read-ahead itself, and the reader only has to count them out. Page
// headers and compressed streams, which libcups reads into buffers of its
// own, are copied out of the read-ahead as usual.
//
// An uncompressed raster file (CUPS names the job's file to the first
// filter, and a file may also stand on standard input) is mapped instead,
// a window at a time, and the window takes the read-ahead's place: every
// row is then read once, straight out of the page cache, where reading
// first copies it into the read-ahead. Each window is unmapped as the next
// is mapped, and the rows coded are given back to the system every
// 192 KiB, so that the filter's resident memory stays what it is when it
// reads. A compressed stream gains nothing by it, as libcups copies it
// into a buffer of its own either way.
constexpr std::size_t kPiece = std::size_t{64} * 1024;
// The longest row the printer takes: 65535 dots.
constexpr std::size_t kLongestRow = (kMaxDots + 7) / 8;
// Every piece is read to a cache-line boundary of the read-ahead: the
// kernel's copy out of the page cache takes two and a half times as long
// when the address it copies to lies 1 to 15 bytes past a page boundary.
constexpr std::size_t kLine = 64;
// Windows are mapped at 64 KiB offsets, a multiple of every page size, and
// given back in steps of three such pieces.
constexpr std::size_t kWindow = std::size_t{2} * 1024 * 1024;
constexpr std::size_t kGiveBack = 3 * kPiece;
// A fault maps a large folio of the page cache whole where it lies within
// one mapping, so that a 2 MiB folio would be resident at once: the window
// is cut into mappings of 512 KiB. Smaller parts would keep less resident
// but cost more faults, where whole folios are mapped at one fault each.
constexpr std::size_t kWindowPart = 8 * kPiece;
// How far ahead of the row being coded a mapped file's rows are fetched
// into the cache: the processor's own prefetcher, which starts afresh at
// every 4 KiB page, leaves each row's coding waiting on memory.
constexpr std::size_t kFetchAhead = 4096;

// The input whose file is mapped, for the bus-error handler; null when none
// is.
struct RasterInput;
const RasterInput* volatile gMapped = nullptr;
// Set when the mapped file shrank under the window.
volatile std::sig_atomic_t gWindowLost = 0;

struct RasterInput {
    // A piece always fits behind the part of a row left over from the last.
    // Left unset: only what is read into it is ever touched, so that it
    // takes no memory while a mapped file is read.
    alignas(kLine) std::array<std::uint8_t, kLine + kLongestRow + kPiece> ahead;
    std::uint8_t* data = ahead.data();  // the read-ahead, or the mapped window
    std::size_t next = 0;        // first byte of data not yet handed to libcups
    std::size_t filled = 0;      // bytes in data
    std::uint64_t offset = 0;    // bytes of the stream read so far
    std::uint64_t fileEnd = 0;   // the mapped file's size
    std::uint64_t windowAt = 0;  // the file offset of the window's first byte
    std::size_t givenBack = 0;   // the window's bytes before this are no longer resident
    int fd = 0;
    bool mapped = false;  // data is a window of the mapped file
    bool ended = false;   // libcups asked for more and the stream had nothing left
    bool failed = false;  // reading failed

    RasterInput() = default;
    RasterInput(const RasterInput&) = delete;
    RasterInput& operator=(const RasterInput&) = delete;
    ~RasterInput()
    {
        UnmapWindow();
        if (gMapped == this)
            gMapped = nullptr;
    }
    void UnmapWindow()
    {
        if (!mapped || filled == 0)
            return;
        munmap(data, filled);
        filled = 0;
    }
};

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
        if (got > 0) {
            input.offset += static_cast<std::uint64_t>(got);
            return got;
        }
        if (got < 0 && errno == EINTR && !gCanceled)
            continue;
        if (got < 0 && !gCanceled)
            input.failed = true;
        input.ended = true;
        return 0;
    }
}

// Maps the window that starts at the 64 KiB offset at or before the first
// byte not yet handed to libcups, in place of the last; false when the last
// reached the end of the file, or the next could not be had.
bool MapWindow(RasterInput& input)
{
    const std::uint64_t at = input.windowAt + input.next;
    if (input.windowAt + input.filled >= input.fileEnd || gWindowLost) {
        input.failed = input.failed || gWindowLost;
        input.ended = true;
        return false;
    }
    const std::uint64_t windowAt = at - at % kPiece;
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, input.fileEnd - windowAt));
    input.UnmapWindow();
    void* window = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, input.fd, static_cast<off_t>(windowAt));
    if (window == MAP_FAILED) {
        // Reading the rest instead would need the read-ahead's alignment
        // from here on; a file that maps at first and not later is broken.
        input.next = 0;
        input.failed = input.ended = true;
        return false;
    }
    // Every other part is marked not to be dumped, which keeps the kernel
    // from joining the parts into one mapping again.
    for (std::size_t part = kWindowPart; part < size; part += 2 * kWindowPart)
        (void)madvise(static_cast<std::uint8_t*>(window) + part, std::min(kWindowPart, size - part), MADV_DONTDUMP);
    input.data = static_cast<std::uint8_t*>(window);
    input.next = static_cast<std::size_t>(at - windowAt);
    input.givenBack = 0;
    input.filled = size;
    input.windowAt = windowAt;
    return true;
}

// Whether a stream's first four bytes are the synchronisation word of an
// uncompressed CUPS raster version, in either byte order: its rows then
// arrive as they are, and libcups can hand them over in place.
bool Uncompressed(const std::uint8_t* sync)
{
    constexpr std::array<const char*, 4> kUncompressed{"RaSt", "tSaR", "RaS3", "3SaR"};
    return std::any_of(kUncompressed.begin(), kUncompressed.end(),
                       [sync](const char* word) { return std::memcmp(sync, word, 4) == 0; });
}

// Maps a regular file holding an uncompressed raster from where its
// descriptor stands, before anything is read, if it will map; else the
// file is read like any stream.
void MapFile(RasterInput& input)
{
    struct stat file {};
    std::array<std::uint8_t, 4> sync{};
    const off_t at = lseek(input.fd, 0, SEEK_CUR);
    if (fstat(input.fd, &file) != 0 || !S_ISREG(file.st_mode) || at < 0 || file.st_size <= at ||
        pread(input.fd, sync.data(), sync.size(), at) != static_cast<ssize_t>(sync.size()) || !Uncompressed(sync.data()))
        return;
    input.fileEnd = static_cast<std::uint64_t>(file.st_size);
    input.windowAt = static_cast<std::uint64_t>(at);
    input.mapped = true;
    gWindowLost = 0;
    if (MapWindow(input))
        gMapped = &input;
    else
        input.mapped = input.failed = input.ended = false;
}

// Gives the pieces of the window whose rows are all coded back to the
// system; they stay in the page cache.
void GiveBackRows(RasterInput& input)
{
    const std::size_t done = input.next - input.next % kPiece;
    if (done - input.givenBack < kGiveBack)
        return;
    (void)madvise(input.data + input.givenBack, done - input.givenBack, MADV_DONTNEED);
    input.givenBack = done;
}

// Reads up to the next 64 KiB offset of the stream behind what the
// read-ahead holds, first moving that to the front when the piece would
// not fit behind it, so that it ends on a cache-line boundary; false when
// nothing came. A mapped file maps its next window instead.
bool ReadPiece(RasterInput& input)
{
    if (input.mapped)
        return MapWindow(input);
    if (input.filled + kPiece > input.ahead.size()) {
        const std::size_t left = input.filled - input.next;
        const std::size_t at = (kLine - left % kLine) % kLine;
        std::memmove(input.data + at, input.data + input.next, left);
        input.next = at;
        input.filled = at + left;
    }
    const ssize_t got = ReadSome(input, input.data + input.filled, kPiece - input.offset % kPiece);
    input.filled += static_cast<std::size_t>(got);
    return got > 0;
}

ssize_t ReadRaster(void* ctx, unsigned char* buffer, std::size_t length)
{
    auto& input = *static_cast<RasterInput*>(ctx);
    if (buffer == input.data + input.next) {
        // Rows the page body asked for where they lie: nothing to copy.
        const std::size_t part = std::min(length, input.filled - input.next);
        input.next += part;
        return static_cast<ssize_t>(part);
    }
    if (input.next == input.filled) {
        // libcups fills its own 64 KiB buffer for a compressed stream:
        // straight from the descriptor, as the read-ahead would only add a
        // copy.
        if (length >= kPiece && !input.mapped)
            return ReadSome(input, buffer, length);
        if (!ReadPiece(input))
            return 0;
    }
    const std::size_t part = std::min(length, input.filled - input.next);
    std::memcpy(buffer, input.data + input.next, part);
    input.next += part;
    return static_cast<ssize_t>(part);
}

// Whether the stream's rows arrive as they are. libcups has just read the
// synchronisation word through the read-ahead or the window: the four
// bytes before the next.
bool RowsAsTheyAre(const RasterInput& input)
{
    return input.next >= 4 && Uncompressed(input.data + input.next - 4);
}

void OnTerminate(int /*signal*/)
{
    gCanceled = 1;
}

// A mapped file that shrinks under the job (another program truncating it)
// faults on the pages past its new end. The window then becomes white
// memory, so that the row being coded ends in white rather than in
// whatever the fault left, and the job stops after that row as on a failed
// read. A fault anywhere else is a fault: the handler is gone once it has
// run, and the instruction faults again.
void OnBusError(int /*signal*/, siginfo_t* info, void* /*context*/)
{
    auto* at = static_cast<std::uint8_t*>(info->si_addr);
    const RasterInput* input = gMapped;
    if (input == nullptr || at < input->data || at >= input->data + input->filled)
        return;
    if (mmap(input->data, input->filled, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
        MAP_FAILED)
        return;
    std::memset(input->data, 0xFF, input->filled);
    gWindowLost = 1;
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
    action.sa_flags = SA_SIGINFO | SA_RESETHAND;
    action.sa_sigaction = OnBusError;
    sigaction(SIGBUS, &action, nullptr);
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

void SendOneLineData(const std::uint8_t* row, const cups_page_header2_t& header)
{
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
    // The printer's row begins with the left margin's white bytes: the row
    // goes behind them in the row buffer, unless there are none.
    const std::uint32_t total = header.cupsBytesPerLine + gMarginLeft;
    if (gMarginLeft == 0) {
        CompressDataAndSend(row, total);
        return;
    }
    if (row != szRasterBuf.get() + gMarginLeft)
        std::memcpy(szRasterBuf.get() + gMarginLeft, row, header.cupsBytesPerLine);
    CompressDataAndSend(szRasterBuf.get(), total);
}

bool IsBlankRow(const std::uint8_t* row, std::uint32_t total, std::uint32_t cupsWidth)
{
    if (total == 0)
        return true;
    // Front to back, as the row lies in memory: the processor fetches a
    // mapped file's rows ahead only for reads in that order.
    return IsWhite(row, total - 1) && row[total - 1] == LastByteWhite(cupsWidth);
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

namespace {

// Reads and sends every row of the page whose header was just read. Rows
// that arrive as they are go in blocks, as many whole rows as the
// read-ahead holds, or a mapped file's window up to the next give-back,
// where they lie; others one at a time into the row buffer.
void SendPageBody(cups_raster_t* ras, const cups_page_header2_t& header, RasterInput& input, bool& inPlace)
{
    const std::uint32_t bpl = header.cupsBytesPerLine;
    gFeed = gMarginTop;
    for (std::uint32_t mCurLine = 0; mCurLine < header.cupsHeight;) {
        if (gCanceled || gOutputFailed || gWindowLost)
            break;
        std::uint8_t* rows = szRasterBuf.get() + gMarginLeft;
        std::size_t count = 1;
        if (inPlace) {
            while (input.filled - input.next < bpl && ReadPiece(input)) {
            }
            count = std::min<std::size_t>((input.filled - input.next) / bpl, header.cupsHeight - mCurLine);
            if (input.mapped)
                count = std::min(count, std::max<std::size_t>(1, kGiveBack / bpl));
            rows = input.data + input.next;
        }
        const std::size_t before = input.next;
        if (count == 0 || cupsRasterReadPixels(ras, rows, static_cast<unsigned>(count * bpl)) == 0)
            break;
        // Should libcups ever read them elsewhere, it has still put the rows
        // where asked; the rest of the job goes a row at a time.
        inPlace = inPlace && input.next == before + count * bpl;
        for (const std::uint8_t* row = rows; row < rows + count * bpl && !gWindowLost; row += bpl) {
            if (input.mapped) {
                for (const std::uint8_t* line = row + kFetchAhead; line < row + kFetchAhead + bpl; line += kLine)
                    __builtin_prefetch(line);
            }
            if (IsBlankRow(row, bpl, header.cupsWidth))
                ++gFeed;
            else
                SendOneLineData(row, header);
        }
        mCurLine += static_cast<std::uint32_t>(count);
        if (input.mapped)
            GiveBackRows(input);
    }
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
}

}  // namespace

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
    MapFile(input);
    cups_raster_t* ras = cupsRasterOpenIO(ReadRaster, &input, CUPS_RASTER_READ);
    bool inPlace = RowsAsTheyAre(input);

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
        SendPageBody(ras, header, input, inPlace);
        PageFinish();
        if (gWindowLost)
            input.failed = input.ended = true;
        if (gCanceled || gOutputFailed || input.failed)
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
