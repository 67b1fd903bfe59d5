// monodump: reads a printer command stream as rastertomono writes it,
// checks it against the printer's command set, sums it up and, when
// asked, draws each page as the printer would print it.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode.h"
#include "render.h"
#include "summary.h"

namespace {

constexpr int kClean = 0;
constexpr int kBroken = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText = "usage: monodump [--png DIR] [--pbm DIR] [--quiet] FILE|-\n";

struct Options {
    std::string pngDir;
    std::string pbmDir;
    bool quiet = false;
    std::string input;
};

struct ImageKind {
    const std::string* dir;
    ImageFormat format;
    const char* extension;
};

std::optional<Options> ParseArguments(std::span<char* const> args)
{
    Options options;
    bool haveInput = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--png" || arg == "--pbm") {
            if (i + 1 == args.size() || args[i + 1][0] == '\0')
                return std::nullopt;
            (arg == "--png" ? options.pngDir : options.pbmDir) = args[++i];
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if ((arg.size() > 1 && arg[0] == '-') || arg.empty() || haveInput) {
            // An unknown option, or a second input.
            return std::nullopt;
        } else {
            options.input = arg;
            haveInput = true;
        }
    }
    if (!haveInput)
        return std::nullopt;
    return options;
}

struct FileCloser {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

bool ReadInput(const std::string& name, std::vector<std::uint8_t>& bytes)
{
    std::unique_ptr<std::FILE, FileCloser> opened;
    std::FILE* in = stdin;
    if (name != "-") {
        opened.reset(std::fopen(name.c_str(), "rb"));
        if (!opened)
            return false;
        in = opened.get();
    }
    constexpr std::size_t kChunk = 1 << 16;
    std::array<std::uint8_t, kChunk> chunk{};
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        if (got < chunk.size())
            return std::ferror(in) == 0;
    }
}

std::string ImagePath(const std::string& dir, std::uint32_t page, const char* extension)
{
    std::array<char, 32> name{};
    (void)std::snprintf(name.data(), name.size(), "page-%03u.%s", page, extension);
    return (std::filesystem::path(dir) / name.data()).string();
}

void Warn(std::uint32_t page, const std::string& what)
{
    (void)std::fprintf(stderr, "monodump: warning: page %u: %s\n", page, what.c_str());
}

void WarnInkOffPaper(std::uint32_t number, const DecodedPage& page, const JobSettings& settings)
{
    const InkOffPaper off = FindInkOffPaper(page, settings);
    const std::string of = " of " + std::to_string(page.rows.size()) + " rows";
    if (off.pastRightEdge != 0)
        Warn(number, "black dots past the paper's right edge (" + std::to_string(settings.paperWidth) +
                         " dots) cut off in " + std::to_string(off.pastRightEdge) + of);
    if (off.pastBottomEdge != 0)
        Warn(number, "black dots below the paper's bottom edge (" + std::to_string(settings.paperHeight) +
                         " rows) cut off in " + std::to_string(off.pastBottomEdge) + of);
}

int Run(const Options& options)
{
    std::vector<std::uint8_t> stream;
    if (!ReadInput(options.input, stream)) {
        (void)std::fprintf(stderr, "monodump: cannot read %s: %s\n", options.input.c_str(), std::strerror(errno));
        return kUsage;
    }

    std::vector<ImageKind> images;
    if (!options.pngDir.empty())
        images.push_back({&options.pngDir, ImageFormat::Png, "png"});
    if (!options.pbmDir.empty())
        images.push_back({&options.pbmDir, ImageFormat::Pbm, "pbm"});
    for (const ImageKind& image : images) {
        std::error_code failed;
        std::filesystem::create_directories(*image.dir, failed);
        if (failed) {
            (void)std::fprintf(stderr, "monodump: cannot create %s: %s\n", image.dir->c_str(),
                               failed.message().c_str());
            return kUsage;
        }
    }

    StreamDecoder decoder;
    DecodeJobStart(decoder, stream);
    if (decoder.settings && !options.quiet)
        (void)std::printf("%s\n", SettingsLine(*decoder.settings).c_str());

    RowCounts total;
    DecodedPage page;
    while (DecodeNextPage(decoder, page)) {
        const JobSettings& settings = *decoder.settings;
        const std::uint32_t number = decoder.pages;
        const RowCounts counts = CountPage(page, settings);
        Add(total, counts);
        if (!options.quiet)
            (void)std::printf("%s\n", PageLine(number, counts).c_str());
        WarnInkOffPaper(number, page, settings);
        if (!images.empty() && (settings.paperWidth == 0 || settings.paperHeight == 0)) {
            Warn(number, "the paper has no area, so no image is drawn");
            continue;
        }
        for (const ImageKind& image : images) {
            const std::string path = ImagePath(*image.dir, number, image.extension);
            std::string error;
            if (!WritePageImage(page, settings, image.format, path, error)) {
                (void)std::fprintf(stderr, "monodump: cannot write %s\n", error.c_str());
                return kUsage;
            }
            if (!options.quiet)
                (void)std::printf("image: %s\n", path.c_str());
        }
    }
    if (decoder.violation) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "monodump: %s\n", Describe(*decoder.violation).c_str());
        return kBroken;
    }
    total.bytes = stream.size();
    if (!options.quiet)
        (void)std::printf("%s\n", TotalLine(decoder.pages, total).c_str());
    return kClean;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::span<char* const> args(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
    if (args.size() == 1 && (std::string_view(args[0]) == "--help" || std::string_view(args[0]) == "-h")) {
        (void)std::fputs(kUsageText, stdout);
        return kClean;
    }
    const std::optional<Options> options = ParseArguments(args);
    if (!options) {
        (void)std::fputs(kUsageText, stderr);
        return kUsage;
    }
    return Run(*options);
}
