// The row encoder written the plain way, one byte at a time, rule by rule:
// the oracle that the fast encoder in filter/ is checked against, and the
// yardstick its micro-benchmarks are set beside. Keep it plain.
#pragma once

#include <cstdint>

inline std::uint32_t ReferenceEncodeRow(const std::uint8_t* row, std::uint32_t length, std::uint8_t* out)
{
    constexpr std::uint32_t kMaxRun = 127;
    const auto ink = [](std::uint8_t rasterByte) { return static_cast<std::uint8_t>(~rasterByte); };

    std::uint32_t end = length;
    while (end > 0 && row[end - 1] == 0xFF)
        --end;

    std::uint8_t* comp = out;
    std::uint32_t p = 0;
    while (p < end) {
        const std::uint32_t left = end - p;
        if (left == 1) {
            *comp++ = 0x00;
            *comp++ = ink(row[p]);
            p += 1;
        } else if (left == 2) {
            *comp++ = 0x01;
            *comp++ = ink(row[p]);
            *comp++ = ink(row[p + 1]);
            p += 2;
        } else if (row[p] == row[p + 1] && row[p + 1] == row[p + 2]) {
            std::uint32_t last = p + 2;
            std::uint32_t count = 3;
            while (last < end - 2 && row[last + 1] == row[last] && count != kMaxRun) {
                ++last;
                ++count;
            }
            *comp++ = static_cast<std::uint8_t>(1 - count);
            *comp++ = ink(row[last]);
            p = last + 1;
        } else {
            std::uint32_t next = p + 1;
            std::uint32_t count = 1;
            while (next < end - 2 && !(row[next] == row[next + 1] && row[next + 1] == row[next + 2]) &&
                   count != kMaxRun) {
                ++next;
                ++count;
            }
            *comp++ = static_cast<std::uint8_t>(count - 1);
            for (; p < next; ++p)
                *comp++ = ink(row[p]);
        }
    }
    return static_cast<std::uint32_t>(comp - out);
}
