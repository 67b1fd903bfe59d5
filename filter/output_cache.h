// The output cache: every byte of the command stream passes through here.
//
// Commands are small (5 to 12 bytes for most), so they are gathered in a
// 5,120-byte cache and handed to standard output only in whole 512-byte
// blocks while the job runs; the last, shorter block leaves at job end,
// followed by a flush.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

inline constexpr std::uint32_t kImageCacheSize = 5120;
inline constexpr std::uint32_t kImageBlockSize = 512;

extern std::array<std::uint8_t, kImageCacheSize> szImageCacheBuf;
extern std::uint32_t gImageCacheBufSize;
// Set once, by JobFinish: from then on a write-out empties the cache.
extern volatile std::int32_t gJobFinishFlag;

// Set when standard output refuses bytes; nothing more is written then.
extern bool gOutputFailed;

// Empties the cache and returns it to collecting, for a new job.
void ResetImageCache();

// ImageDataCpy for the appends that write the cache out first, and the
// final write-out.
void ImageDataCpyAndWrite(const std::uint8_t* src, std::uint32_t len);

// Appends len bytes; a null src writes out everything the cache holds. A
// job sends a command or two for every raster row, so the usual append, one
// that fits without a write-out, is made where it is called.
inline void ImageDataCpy(const std::uint8_t* src, std::uint32_t len)
{
    if (src != nullptr && !gOutputFailed && gImageCacheBufSize + len < kImageCacheSize) {
        std::memcpy(szImageCacheBuf.data() + gImageCacheBufSize, src, len);
        gImageCacheBufSize += len;
        return;
    }
    ImageDataCpyAndWrite(src, len);
}

inline void ImageDataCpy(std::span<const std::uint8_t> bytes)
{
    ImageDataCpy(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// Writes the whole 512-byte blocks of array[0, length) to standard output;
// the rest stays at the front of the cache, or leaves too at job end.
void putCharArray(const std::uint8_t* array, std::uint32_t length);
