#include "summary.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kDotsPerInch = 600.0;
constexpr double kMillimetresPerInch = 25.4;
constexpr double kNameTolerance = 2.0;

struct NamedPaper {
    const char* name;
    double width;  // mm, portrait
    double height;
};

constexpr std::array<NamedPaper, 18> kPapers = {{
    {"A3", 297.0, 420.0},
    {"A4", 210.0, 297.0},
    {"A5", 148.0, 210.0},
    {"A6", 105.0, 148.0},
    {"B4", 250.0, 353.0},
    {"B5", 176.0, 250.0},
    {"JIS B5", 182.0, 257.0},
    {"Letter", 215.9, 279.4},
    {"Legal", 215.9, 355.6},
    {"Executive", 184.15, 266.7},
    {"Statement", 139.7, 215.9},
    {"Tabloid", 279.4, 431.8},
    {"Postcard", 100.0, 148.0},
    {"Envelope DL", 110.0, 220.0},
    {"Envelope C5", 162.0, 229.0},
    {"Envelope C6", 114.0, 162.0},
    {"Envelope #10", 104.775, 241.3},
    {"Envelope Monarch", 98.425, 190.5},
}};

std::string Format(const char* format, double value)
{
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), format, value);
    return text.data();
}

std::string Ratio(const RowCounts& counts)
{
    const double ratio =
        counts.bytes == 0 ? 0.0 : static_cast<double>(counts.rasterBytes) / static_cast<double>(counts.bytes);
    return Format("%.1f", ratio);
}

std::string Rows(const RowCounts& counts)
{
    return "rows=" + std::to_string(counts.rows) + " blank=" + std::to_string(counts.blank) +
           " encoded=" + std::to_string(counts.encoded) + " bytes=" + std::to_string(counts.bytes) +
           " ratio=" + Ratio(counts);
}

}  // namespace

double DotsToMillimetres(std::uint32_t dots)
{
    return dots * kMillimetresPerInch / kDotsPerInch;
}

std::string PaperName(std::uint32_t widthDots, std::uint32_t heightDots)
{
    const double width = DotsToMillimetres(widthDots);
    const double height = DotsToMillimetres(heightDots);
    std::string nearest = "custom";
    double nearestOff = kNameTolerance;
    for (const NamedPaper& paper : kPapers) {
        const double portraitOff = std::max(std::abs(width - paper.width), std::abs(height - paper.height));
        const double landscapeOff = std::max(std::abs(width - paper.height), std::abs(height - paper.width));
        if (portraitOff <= nearestOff) {
            nearestOff = portraitOff;
            nearest = paper.name;
        }
        if (landscapeOff < nearestOff) {
            nearestOff = landscapeOff;
            nearest = std::string(paper.name) + " landscape";
        }
    }
    return nearest;
}

RowCounts CountPage(const DecodedPage& page, const JobSettings& settings)
{
    const std::uint64_t rowBytes = (settings.paperWidth + 7U) / 8U;
    RowCounts counts;
    counts.rows = page.rows.size();
    counts.blank = page.blankRows;
    counts.encoded = page.encodedRows;
    counts.bytes = page.bytes;
    counts.rasterBytes = counts.rows * rowBytes;
    return counts;
}

void Add(RowCounts& total, const RowCounts& page)
{
    total.rows += page.rows;
    total.blank += page.blank;
    total.encoded += page.encoded;
    total.bytes += page.bytes;
    total.rasterBytes += page.rasterBytes;
}

std::string SettingsLine(const JobSettings& settings)
{
    return "settings: density=" + std::to_string(settings.density) + " weight=" + std::to_string(settings.weight) +
           " paper=" + std::to_string(settings.paperWidth) + "x" + std::to_string(settings.paperHeight) + " dots (" +
           Format("%.1f", DotsToMillimetres(settings.paperWidth)) + "x" +
           Format("%.1f", DotsToMillimetres(settings.paperHeight)) + " mm, " +
           PaperName(settings.paperWidth, settings.paperHeight) + ") copies=" + std::to_string(settings.copies);
}

std::string PageLine(std::uint32_t number, const RowCounts& counts)
{
    return "page " + std::to_string(number) + ": " + Rows(counts);
}

std::string TotalLine(std::uint32_t pages, const RowCounts& counts)
{
    return "total: pages=" + std::to_string(pages) + " " + Rows(counts);
}
