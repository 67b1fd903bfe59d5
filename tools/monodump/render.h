// Page pictures: the paper as the printer would print it, white with black
// dots, one image per page, the size the settings block gives.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "decode.h"

enum class ImageFormat { Png, Pbm };

// Rows whose black dots fall off the paper and cannot be shown.
struct InkOffPaper {
    std::uint32_t pastRightEdge = 0;  // rows with black dots at or past the paper width
    std::uint32_t pastBottomEdge = 0;  // rows at or past the paper height with black dots
};

InkOffPaper FindInkOffPaper(const DecodedPage& page, const JobSettings& settings);

// Image row y of the page, 1 = black, (paperWidth + 7) / 8 bytes; dots past
// the paper width are left clear.
void PaperRow(const DecodedPage& page, std::uint32_t width, std::uint32_t y, std::span<std::uint8_t> out);

// Writes the page to path. Returns false and says why in error when the
// file cannot be written.
[[nodiscard]] bool WritePageImage(const DecodedPage& page, const JobSettings& settings, ImageFormat format,
                                  const std::string& path, std::string& error);
