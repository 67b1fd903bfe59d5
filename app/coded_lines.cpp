#include "coded_lines.h"

#include <algorithm>
#include <cstring>

namespace {

// Calls run(at, count, bytes, repeated) for each run of a line `length`
// bytes long: `count` bytes from `at` on, each bytes[0] when repeated, else
// bytes[0] to bytes[count - 1]. Returns the bytes of `runs` used, or 0 when
// `runs` ends before the line does.
template <typename Run>
std::size_t WalkRuns(std::span<const std::uint8_t> runs, std::size_t length, std::uint8_t clearFill, Run run)
{
    std::size_t used = 0;
    for (std::size_t at = 0; at < length;) {
        if (used >= runs.size())
            return 0;
        const unsigned code = runs[used++];
        const std::size_t rest = length - at;
        if (code == 128) {
            run(at, rest, &clearFill, true);
            at = length;
        } else if (code > 128) {
            const std::size_t count = std::min<std::size_t>(257 - code, rest);
            if (runs.size() - used < count)
                return 0;
            run(at, count, runs.data() + used, false);
            used += count;
            at += count;
        } else {
            if (used >= runs.size())
                return 0;
            const std::size_t count = std::min<std::size_t>(code + 1, rest);
            run(at, count, runs.data() + used, true);
            ++used;
            at += count;
        }
    }
    return used;
}

}  // namespace

std::uint8_t ClearFill(const cups_page_header2_t& header)
{
    // A client's header holds any number there, not only the enum's values.
    unsigned space = 0;
    static_assert(sizeof space == sizeof header.cupsColorSpace);
    std::memcpy(&space, &header.cupsColorSpace, sizeof space);
    return space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW ? 0xFF : 0x00;
}

std::size_t DecodeRuns(std::span<const std::uint8_t> runs, std::span<std::uint8_t> line, std::uint8_t clearFill)
{
    return WalkRuns(runs, line.size(), clearFill,
                    [line](std::size_t at, std::size_t count, const std::uint8_t* bytes, bool repeated) {
                        if (repeated)
                            std::memset(line.data() + at, bytes[0], count);
                        else
                            std::memcpy(line.data() + at, bytes, count);
                    });
}

void CodeRow(std::span<const std::uint8_t> row, unsigned lines, std::vector<std::uint8_t>& out)
{
    out.push_back(static_cast<std::uint8_t>(lines - 1));
    // A single byte left over is a repeat of one: a copy codes two at least.
    for (std::size_t at = 0; at < row.size();) {
        const std::size_t n = std::min<std::size_t>(row.size() - at, 128);
        out.push_back(n == 1 ? 0 : static_cast<std::uint8_t>(257 - n));
        out.insert(out.end(), row.begin() + static_cast<std::ptrdiff_t>(at), row.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
}
