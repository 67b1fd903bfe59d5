#include "output_cache.h"

#include <cstdio>
#include <cstring>

std::array<std::uint8_t, kImageCacheSize> szImageCacheBuf{};
std::uint32_t gImageCacheBufSize = 0;
volatile std::int32_t gJobFinishFlag = 0;
bool gOutputFailed = false;

namespace {

// The filter has one thread, so the standard output stream needs no
// locking around each block.
void Write(const std::uint8_t* bytes, std::uint32_t length)
{
    if (!gOutputFailed && (fwrite_unlocked(bytes, 1, length, stdout) != length || ferror_unlocked(stdout) != 0))
        gOutputFailed = true;
}

}  // namespace

void ResetImageCache()
{
    gJobFinishFlag = 0;
    gOutputFailed = false;
    gImageCacheBufSize = 0;
    szImageCacheBuf.fill(0);
}

void putCharArray(const std::uint8_t* array, std::uint32_t length)
{
    std::uint32_t done = 0;
    for (; length - done >= kImageBlockSize; done += kImageBlockSize)
        Write(array + done, kImageBlockSize);

    const std::uint32_t rest = length - done;
    if (gJobFinishFlag == 1) {
        if (rest != 0) {
            Write(array + done, rest);
            if (std::fflush(stdout) != 0)
                gOutputFailed = true;
        }
        gImageCacheBufSize = 0;
        return;
    }
    // The tail waits at the front of the cache for the next block.
    std::memmove(szImageCacheBuf.data(), array + done, rest);
    gImageCacheBufSize = rest;
}

void ImageDataCpyAndWrite(const std::uint8_t* src, std::uint32_t len)
{
    if (gOutputFailed)
        return;
    if (src == nullptr) {
        if (gImageCacheBufSize != 0)
            putCharArray(szImageCacheBuf.data(), gImageCacheBufSize);
        return;
    }
    if (gImageCacheBufSize + len >= kImageCacheSize)
        putCharArray(szImageCacheBuf.data(), gImageCacheBufSize);

    // An append larger than the free space fills the cache to the brim and
    // writes it out as whole blocks until the remainder fits.
    while (gImageCacheBufSize + len >= kImageCacheSize) {
        const std::uint32_t part = kImageCacheSize - gImageCacheBufSize;
        std::memcpy(szImageCacheBuf.data() + gImageCacheBufSize, src, part);
        src += part;
        len -= part;
        putCharArray(szImageCacheBuf.data(), kImageCacheSize);
    }
    std::memcpy(szImageCacheBuf.data() + gImageCacheBufSize, src, len);
    gImageCacheBufSize += len;
}
