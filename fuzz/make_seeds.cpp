// Writes the fuzzer's seed corpus: the test suite's kinds of raster, each
// behind a set of job options and PPD choice keywords.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support.h"

namespace {

void Seed(const std::string& folder, const std::string& name, const std::string& options,
          const std::vector<TestPage>& pages, cups_mode_t mode = CUPS_RASTER_WRITE)
{
    const std::string rasterPath = folder + "/" + name + ".ras";
    WriteRaster(rasterPath, pages, mode);
    const Bytes raster = ReadFile(rasterPath);
    std::filesystem::remove(rasterPath);
    std::ofstream(folder + "/" + name, std::ios::binary) << options << "\\;4\\;2\\;"
        << std::string(raster.begin(), raster.end());
}

TestPage Marked(const cups_page_header2_t& header)
{
    TestPage page = WhitePage(header);
    for (std::size_t y = 0; y < page.rows.size(); y += 7)
        for (std::size_t x = y % page.rows[y].size(); x < page.rows[y].size(); x += 3)
            page.rows[y][x] = static_cast<std::uint8_t>(x * 37 + y);
    return page;
}

}  // namespace

int main(int argc, const char* argv[])
{
    if (argc != 2)
        return 2;
    const std::string folder = argv[1];
    std::filesystem::create_directories(folder);
    Seed(folder, "one-inch", "", {Marked(MonoHeader(600, 40, 72, 72))});
    Seed(folder, "compressed", "PrintDensity=3", {Marked(MonoHeader(600, 40, 72, 72))}, CUPS_RASTER_WRITE_COMPRESSED);
    Seed(folder, "two-sizes", "PaperWeight=2", {Marked(MonoHeader(100, 20, 612, 792, 2)), Marked(MonoHeader(4958, 3, 595, 842))});
    Seed(folder, "narrow", "", {Marked(MonoHeader(3, 10, 72, 72))});
    Seed(folder, "partial-byte", "", {Marked(MonoHeader(4958, 4, 595, 842))});
    Seed(folder, "left-margin", "", {Marked(MonoHeader(500, 12, 72, 72, 10))});
    Seed(folder, "b5", "", {Marked(MonoHeader(4000, 4, 498, 708))});
    TestPage truncated = Marked(MonoHeader(64, 30, 72, 72));
    truncated.rows.resize(5);
    Seed(folder, "truncated", "", {truncated});
    return 0;
}
