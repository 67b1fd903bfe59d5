// Preloaded into ghostscript for PDF jobs: its raster reaches the filter in
// megabyte writes from a thread of its own.
//
// Ghostscript's cups device hands libcups one row at a time, and libcups
// writes an uncompressed raster straight to the descriptor: some 7,000
// writes an A4 page, each waking the filter on the pipe's other end. And
// since a page leaves ghostscript in one burst once it is rendered, 4 MB
// into a pipe that holds 1 MiB, ghostscript then waits for the filter to
// read most of the page before it renders the next one.
//
// In its place this module opens the stream ghostscript writes with
// libcups's own writer on a callback that gathers the bytes into chunks; a
// thread writes the full chunks to the descriptor in order, and the last
// one of each page as soon as the page is complete. Ghostscript goes on
// rendering while the chunks drain, and waits only when all of them are
// full. The bytes written are the same, in the same order. Every other
// stream (reading, compressed raster) is left to libcups.
#include <cups/raster.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// With the pipe's 1 MiB, room for a 600 dpi A4 or Letter page: its burst
// is taken whole while the filter is still on the page before. Eight
// chunks measured no faster. Chunks are allocated as they are first needed.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;
constexpr std::size_t kChunks = 4;

struct Chunk {
    std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(kChunkSize);
    std::size_t used = 0;
};

// The one stream being gathered; ghostscript writes one raster per job.
struct Stream {
    cups_raster_t* raster = nullptr;
    int fd = -1;
    std::size_t pageLeft = 0;  // bytes of the current page still to come
    std::unique_ptr<Chunk> filling;

    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Chunk>> full;  // in order, for the writer
    std::vector<std::unique_ptr<Chunk>> spare;
    std::size_t allocated = 0;
    bool closing = false;
    bool failed = false;
    std::thread writer;
};

Stream gStream;

// Whether libcups's raster is the stream being gathered.
bool Gathered(const cups_raster_t* raster)
{
    return raster != nullptr && raster == gStream.raster;
}

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The writer thread: full chunks to the descriptor, in order. After a
// failed write the rest is dropped, so that ghostscript is never left
// waiting for a chunk.
void WriteChunks(Stream& stream)
{
    std::unique_lock<std::mutex> hold(stream.lock);
    for (;;) {
        stream.changed.wait(hold, [&] { return !stream.full.empty() || stream.closing; });
        if (stream.full.empty())
            return;
        std::unique_ptr<Chunk> chunk = std::move(stream.full.front());
        stream.full.pop_front();
        const bool failed = stream.failed;
        hold.unlock();
        for (std::size_t done = 0; !failed && done < chunk->used;) {
            const ssize_t wrote = write(stream.fd, chunk->bytes.get() + done, chunk->used - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0) {
                hold.lock();
                stream.failed = true;
                hold.unlock();
                break;
            }
            done += static_cast<std::size_t>(wrote);
        }
        chunk->used = 0;
        hold.lock();
        stream.spare.push_back(std::move(chunk));
        stream.changed.notify_all();
    }
}

// Queues the chunk being filled, if it holds anything, and takes an empty
// one, waiting for the writer when every chunk is full. False once a write
// has failed.
bool HandOver(Stream& stream)
{
    std::unique_lock<std::mutex> hold(stream.lock);
    if (stream.filling->used > 0) {
        stream.full.push_back(std::move(stream.filling));
        stream.changed.notify_all();
        if (stream.spare.empty() && stream.allocated < kChunks) {
            stream.spare.push_back(std::make_unique<Chunk>());
            ++stream.allocated;
        }
        stream.changed.wait(hold, [&] { return !stream.spare.empty(); });
        stream.filling = std::move(stream.spare.back());
        stream.spare.pop_back();
    }
    return !stream.failed;
}

// libcups's write callback: the bytes go into the chunk being filled.
ssize_t Gather(void* context, unsigned char* bytes, std::size_t length)
{
    Stream& stream = *static_cast<Stream*>(context);
    for (std::size_t left = length; left > 0;) {
        Chunk& chunk = *stream.filling;
        const std::size_t part = std::min(left, kChunkSize - chunk.used);
        std::memcpy(chunk.bytes.get() + chunk.used, bytes, part);
        chunk.used += part;
        bytes += part;
        left -= part;
        if (chunk.used == kChunkSize && !HandOver(stream))
            return -1;
    }
    // A complete page goes out now, not with the next page's first chunk:
    // the next page may take long to render.
    if (stream.pageLeft > 0) {
        stream.pageLeft -= std::min(stream.pageLeft, length);
        if (stream.pageLeft == 0 && !HandOver(stream))
            return -1;
    }
    return static_cast<ssize_t>(length);
}

// Writes what is left and stops the writer thread.
void Finish(Stream& stream)
{
    HandOver(stream);
    {
        const std::lock_guard<std::mutex> hold(stream.lock);
        stream.closing = true;
        stream.changed.notify_all();
    }
    stream.writer.join();
    stream.raster = nullptr;
}

// Ghostscript leaving without closing its device still writes what it
// gathered, as its row-by-row writes would have.
struct FinishAtExit {
    FinishAtExit() = default;
    FinishAtExit(const FinishAtExit&) = delete;
    FinishAtExit& operator=(const FinishAtExit&) = delete;
    ~FinishAtExit()
    {
        if (gStream.raster != nullptr)
            Finish(gStream);
    }
};
FinishAtExit gFinishAtExit;

// Writes a page header with libcups's own function; on the stream being
// gathered the page's rows are then counted, so that its last chunk goes
// out with its last row.
template <typename Header>
unsigned WritePageHeader(unsigned (*real)(cups_raster_t*, Header*), cups_raster_t* raster, Header* header)
{
    const unsigned written = real(raster, header);
    if (written != 0 && header != nullptr && Gathered(raster))
        gStream.pageLeft = std::size_t{header->cupsBytesPerLine} * header->cupsHeight;
    return written;
}

}  // namespace

// In libcups's place for ghostscript: each calls libcups's own function,
// found past this module, and does its part for the stream being gathered.
extern "C" {

cups_raster_t* cupsRasterOpen(int fd, cups_mode_t mode)
{
    static const auto real = Next<cups_raster_t* (*)(int, cups_mode_t)>("cupsRasterOpen");
    Stream& stream = gStream;
    if (mode != CUPS_RASTER_WRITE || stream.raster != nullptr)
        return real(fd, mode);
    stream.fd = fd;
    stream.pageLeft = 0;
    stream.closing = stream.failed = false;
    if (stream.filling == nullptr) {
        stream.filling = std::make_unique<Chunk>();
        ++stream.allocated;
    }
    try {
        stream.writer = std::thread(WriteChunks, std::ref(stream));
    } catch (const std::system_error&) {
        return real(fd, mode);
    }
    stream.raster = cupsRasterOpenIO(Gather, &stream, mode);
    if (stream.raster == nullptr)
        Finish(stream);
    return stream.raster;
}

void cupsRasterClose(cups_raster_t* raster)
{
    static const auto real = Next<void (*)(cups_raster_t*)>("cupsRasterClose");
    real(raster);
    if (Gathered(raster))
        Finish(gStream);
}

unsigned cupsRasterWriteHeader2(cups_raster_t* raster, cups_page_header2_t* header)
{
    static const auto real = Next<unsigned (*)(cups_raster_t*, cups_page_header2_t*)>("cupsRasterWriteHeader2");
    return WritePageHeader(real, raster, header);
}

unsigned cupsRasterWriteHeader(cups_raster_t* raster, cups_page_header_t* header)
{
    static const auto real = Next<unsigned (*)(cups_raster_t*, cups_page_header_t*)>("cupsRasterWriteHeader");
    return WritePageHeader(real, raster, header);
}

}  // extern "C"
