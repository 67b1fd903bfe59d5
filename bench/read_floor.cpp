// The floor: what it costs just to read a raster job through libcups.
//
// Takes the filter's own arguments (job user title copies options [file])
// and reads every page the way a filter must, one header and one row at a
// time, and throws the rows away. Any filter's time and memory on the same
// input can be set against this.
//
// Built twice: as the plain floor, which lets libcups read the descriptor
// itself (one system call per row of an uncompressed stream), and with
// RTM_FLOOR_READ_AHEAD as the floor of a filter that hands libcups a 64 KiB
// read-ahead, as rastertomono does; against the second, what a filter
// spends beyond reading is its own work.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#ifdef RTM_FLOOR_READ_AHEAD
namespace {

struct Ahead {
    int fd;
    unsigned char bytes[64 * 1024];
    size_t next;
    size_t filled;
};

ssize_t ReadAhead(void* ctx, unsigned char* buffer, size_t length)
{
    auto* ahead = static_cast<Ahead*>(ctx);
    if (ahead->next == ahead->filled) {
        const ssize_t got = read(ahead->fd, ahead->bytes, sizeof ahead->bytes);
        if (got <= 0)
            return got;
        ahead->next = 0;
        ahead->filled = static_cast<size_t>(got);
    }
    const size_t part = length < ahead->filled - ahead->next ? length : ahead->filled - ahead->next;
    std::memcpy(buffer, ahead->bytes + ahead->next, part);
    ahead->next += part;
    return static_cast<ssize_t>(part);
}

Ahead ahead;

}  // namespace
#endif

int main(int argc, char* argv[])
{
    if (argc != 6 && argc != 7)
        return 1;
    const int fd = argc == 7 ? open(argv[6], O_RDONLY) : 0;
    if (fd < 0)
        return 1;
#ifdef RTM_FLOOR_READ_AHEAD
    ahead.fd = fd;
    cups_raster_t* ras = cupsRasterOpenIO(ReadAhead, &ahead, CUPS_RASTER_READ);
#else
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
#endif
    cups_page_header2_t header{};
    unsigned pages = 0;
    while (cupsRasterReadHeader2(ras, &header) != 0) {
        // malloc rather than a container: the floor should pull in nothing
        // beyond libcups and the C library.
        auto* row = static_cast<unsigned char*>(std::malloc(header.cupsBytesPerLine));
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(ras, row, header.cupsBytesPerLine) == 0)
                break;
        }
        std::free(row);
        ++pages;
    }
    cupsRasterClose(ras);
    if (fd != 0)
        close(fd);
    return pages > 0 ? 0 : 1;
}
