#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "output_cache.h"
#include "support.h"

namespace {

std::vector<std::size_t> Sizes(const Capture& capture)
{
    std::vector<std::size_t> sizes;
    for (const Bytes& chunk : capture.chunks)
        sizes.push_back(chunk.size());
    return sizes;
}

Bytes Counting(std::size_t size, std::uint8_t start = 0)
{
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), start);
    return bytes;
}

void Append(const Bytes& bytes)
{
    ImageDataCpy(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void FinishJob()
{
    gJobFinishFlag = 1;
    ImageDataCpy(nullptr, 0);
}

class OutputCache : public ::testing::Test {
protected:
    void SetUp() override { ResetImageCache(); }
};

TEST_F(OutputCache, JobWithoutPagesLeavesAsTwoBlocksAndATailThenFlushes)
{
    const Bytes job = Counting(1036);
    const auto run = [&] {
        Append(Bytes(job.begin(), job.begin() + 1024));
        Append(Bytes(job.begin() + 1024, job.end()));
        FinishJob();
    };
    const Capture writes = CaptureStdout(run, true);
    EXPECT_EQ(Sizes(writes), (std::vector<std::size_t>{512, 512, 12}));
    EXPECT_EQ(writes.All(), job);

    ResetImageCache();
    const Capture flushes = CaptureStdout(run, false);
    EXPECT_EQ(Sizes(flushes), std::vector<std::size_t>{1036});
    EXPECT_TRUE(flushes.unflushed.empty());
}

TEST_F(OutputCache, ReachingTheCacheSizeWritesWholeBlocksFirst)
{
    const Bytes first = Counting(5115);
    const Capture writes = CaptureStdout([&] { Append(first); Append(Counting(5, 200)); }, true);
    EXPECT_EQ(Sizes(writes), std::vector<std::size_t>(9, 512));
    EXPECT_EQ(writes.All(), Bytes(first.begin(), first.begin() + 4608));
    EXPECT_EQ(gImageCacheBufSize, 512U);
    EXPECT_EQ(szImageCacheBuf[0], first[4608]);
    EXPECT_EQ(szImageCacheBuf[507], 200);
}

TEST_F(OutputCache, StayingBelowTheCacheSizeWritesNothing)
{
    const Capture writes = CaptureStdout([&] { Append(Counting(5114)); Append(Counting(5)); }, true);
    EXPECT_TRUE(writes.chunks.empty());
    EXPECT_EQ(gImageCacheBufSize, 5119U);
}

TEST_F(OutputCache, FinalWriteOfWholeBlocksDoesNotFlush)
{
    const Capture flushes = CaptureStdout([&] { Append(Counting(1024)); FinishJob(); }, false);
    EXPECT_TRUE(flushes.chunks.empty());
    EXPECT_EQ(flushes.unflushed.size(), 1024U);

    ResetImageCache();
    const Capture writes = CaptureStdout([&] { Append(Counting(1024)); FinishJob(); }, true);
    EXPECT_EQ(Sizes(writes), (std::vector<std::size_t>{512, 512}));
}

TEST_F(OutputCache, FinalWriteOfAnEmptyCacheWritesNothing)
{
    const Capture writes = CaptureStdout(FinishJob, true);
    EXPECT_TRUE(writes.chunks.empty());
}

TEST_F(OutputCache, AppendsLargerThanTheFreeSpaceStillArriveInOrderAsBlocks)
{
    std::mt19937 random(7);
    Bytes expected;
    const Capture writes = CaptureStdout(
        [&] {
            for (const std::size_t size : {100UL, 4609UL, 5120UL, 20000UL, 3UL, 65536UL, 511UL}) {
                Bytes bytes(size);
                for (std::uint8_t& byte : bytes)
                    byte = static_cast<std::uint8_t>(random());
                expected.insert(expected.end(), bytes.begin(), bytes.end());
                Append(bytes);
            }
        },
        true);
    for (const Bytes& chunk : writes.chunks)
        ASSERT_EQ(chunk.size(), 512U);
    const Capture tail = CaptureStdout(FinishJob, true);
    Bytes all = writes.All();
    const Bytes rest = tail.All();
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, expected);
}

}  // namespace
