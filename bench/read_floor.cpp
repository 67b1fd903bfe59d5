// The floor: what it costs just to read a raster job through libcups.
//
// Takes the filter's own arguments (job user title copies options [file])
// and reads every page the way a filter must, one header and one row at a
// time, and throws the rows away. Any filter's time and memory on the same
// input can be set against this.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 6 && argc != 7)
        return 1;
    const int fd = argc == 7 ? open(argv[6], O_RDONLY) : 0;
    if (fd < 0)
        return 1;
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
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
