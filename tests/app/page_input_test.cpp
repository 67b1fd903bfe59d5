// A client's line as the filter's row, dot by dot, against the rule: a dot
// the input has at `left + x` is toner when it is black, or grey no lighter
// than the dither's threshold there (never white); every other dot is
// paper; bits past the row's last dot are 0, and nothing is written past
// the row.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "page_input.h"

namespace {

TEST(PageInput, ConvertLinePlacesEveryDot)
{
    std::mt19937 random(3);
    Dither dither;
    for (auto& row : dither)
        for (unsigned char& threshold : row)
            threshold = static_cast<unsigned char>(random());
    constexpr unsigned kY = 21;
    for (const LineSense sense : {LineSense::kBlack1, LineSense::kGray8, LineSense::kBlack8})
        for (const unsigned left : {0U, 3U, 8U, 9U, 96U})
            for (const unsigned width : {1U, 50U, 96U, 200U})
                for (const unsigned outWidth : {64U, 101U}) {
                    const bool bits = sense == LineSense::kBlack1;
                    const InputPage input{sense, width, 1, bits ? (width + 7) / 8 : width};
                    std::vector<std::uint8_t> in(input.bytesPerLine);
                    for (std::uint8_t& byte : in)
                        byte = static_cast<std::uint8_t>(random());
                    std::vector<std::uint8_t> out((outWidth + 7) / 8 + 1, 0xA5);
                    ConvertLine(in, input, kY, left, dither, std::span(out).first(out.size() - 1), outWidth);
                    for (unsigned x = 0; x < (outWidth + 7) / 8 * 8; ++x) {
                        const unsigned at = left + x;
                        const unsigned threshold = dither[kY % 16][at % 16];
                        bool white = x < outWidth;
                        if (x < outWidth && at < width)
                            white = bits                            ? ((in[at / 8] >> (7 - at % 8)) & 1) == 0
                                    : sense == LineSense::kGray8 ? in[at] == 255 || in[at] > threshold
                                                                 : in[at] <= threshold;
                        ASSERT_EQ(((out[x / 8] >> (7 - x % 8)) & 1) != 0, white)
                            << "sense " << static_cast<int>(sense) << ", left " << left << ", width " << width
                            << ", row of " << outWidth << ", dot " << x;
                    }
                    ASSERT_EQ(out.back(), 0xA5) << "written past the row";
                }
}

}  // namespace
