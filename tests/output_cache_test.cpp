#include <gtest/gtest.h>

#include <random>

#include "output_cache.h"
#include "support.h"

namespace {

using Sizes = std::vector<std::size_t>;

Sizes ChunkSizes(const Capture& capture)
{
    Sizes sizes;
    for (const Bytes& chunk : capture.chunks)
        sizes.push_back(chunk.size());
    return sizes;
}

// Each job is run twice, with standard output unbuffered (every write a
// chunk) and fully buffered (every flush a chunk). Either way what was
// written, followed by what the cache still holds, is every byte appended.
TEST(OutputCache, WritesWholeBlocksWhileCollectingAndTheTailAtJobEnd)
{
    const Sizes blocks9(9, 512);
    Sizes blocks187(187, 512);
    blocks187.push_back(135);
    const struct {
        const char* what;
        Sizes appends;
        bool finish;
        Sizes writes;
        Sizes flushes;
    } cases[] = {
        {"job without pages", {1024, 12}, true, {512, 512, 12}, {1036}},
        {"reaching the cache size", {5115, 5}, false, blocks9, {}},
        {"staying below the cache size", {5114, 5}, false, {}, {}},
        {"final write of whole blocks does not flush", {1024}, true, {512, 512}, {}},
        {"final write of an empty cache", {}, true, {}, {}},
        {"appends larger than the free space", {100, 4609, 5120, 20000, 3, 65536, 511}, true, blocks187, {95879}},
    };
    for (const auto& c : cases) {
        for (const bool unbuffered : {true, false}) {
            std::mt19937 random(7);
            Bytes appended;
            ResetImageCache();
            const Capture capture = CaptureStdout(
                [&] {
                    for (const std::size_t size : c.appends) {
                        Bytes bytes(size);
                        for (std::uint8_t& byte : bytes)
                            byte = static_cast<std::uint8_t>(random());
                        appended.insert(appended.end(), bytes.begin(), bytes.end());
                        ImageDataCpy(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
                    }
                    if (c.finish) {
                        gJobFinishFlag = 1;
                        ImageDataCpy(nullptr, 0);
                    }
                },
                unbuffered);
            EXPECT_EQ(ChunkSizes(capture), unbuffered ? c.writes : c.flushes) << c.what;
            const Bytes cached(szImageCacheBuf.begin(), szImageCacheBuf.begin() + gImageCacheBufSize);
            EXPECT_TRUE(SameBytes(Cat({capture.All(), cached}), appended)) << c.what;
        }
    }
}

}  // namespace
