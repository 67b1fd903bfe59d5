#include "row_encoder.h"

#include <algorithm>
#include <array>

#include "commands.h"
#include "output_cache.h"

std::unique_ptr<std::uint8_t[]> szCompressBuf;

namespace {

constexpr std::uint32_t kMaxRun = 127;

std::uint8_t Ink(std::uint8_t rasterByte)
{
    return static_cast<std::uint8_t>(~rasterByte);
}

}  // namespace

std::uint32_t EncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    std::uint32_t end = length;
    while (end > 0 && row[end - 1] == 0xFF)
        --end;

    std::uint8_t* comp = out;
    std::uint32_t p = 0;
    while (p < end) {
        const std::uint32_t left = end - p;
        if (left == 1) {
            *comp++ = 0x00;
            *comp++ = Ink(row[p]);
            p += 1;
        } else if (left == 2) {
            // The last two bytes always leave as a literal, even when equal.
            *comp++ = 0x01;
            *comp++ = Ink(row[p]);
            *comp++ = Ink(row[p + 1]);
            p += 2;
        } else if (row[p] == row[p + 1] && row[p + 1] == row[p + 2]) {
            std::uint32_t last = p + 2;
            std::uint32_t count = 3;
            while (last < end - 2 && row[last + 1] == row[last] && count != kMaxRun) {
                ++last;
                ++count;
            }
            *comp++ = static_cast<std::uint8_t>(1 - count);
            *comp++ = Ink(row[last]);
            p = last + 1;
        } else {
            // A literal run stops in front of three equal bytes.
            std::uint32_t next = p + 1;
            std::uint32_t count = 1;
            while (next < end - 2 && !(row[next] == row[next + 1] && row[next + 1] == row[next + 2]) &&
                   count != kMaxRun) {
                ++next;
                ++count;
            }
            *comp++ = static_cast<std::uint8_t>(count - 1);
            for (; p < next; ++p)
                *comp++ = Ink(row[p]);
        }
    }
    return static_cast<std::uint32_t>(comp - out);
}

void CompressDataAndSend(const std::uint8_t* dataLine, std::uint32_t length)
{
    const std::uint32_t datLen = EncodeRow(dataLine, length, szCompressBuf.get());
    std::array<std::uint8_t, kRowCmdHeaderSize> toData{};
    std::copy(kRowCmdPrefix.begin(), kRowCmdPrefix.end(), toData.begin());
    PutLe16(&toData[kRowCmdPrefix.size()], datLen);
    ImageDataCpy(toData);
    ImageDataCpy(szCompressBuf.get(), datLen);
}
