// Fuzzes the whole filter path in-process: the job options string, the
// values of the PPD's PrintDensity and PaperWeight choices, and the raster
// stream, run through the same entry point CUPS starts.
//
// Input: options, density keyword and weight keyword as FuzzedDataProvider
// strings (each ended by a backslash and one more byte), then the raster.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode.h"
#include "driver.h"

namespace {

// Keeps the keyword on its PPD line: no line breaks, separators or spaces.
std::string Keyword(std::string text)
{
    std::erase_if(text, [](char c) { return c == '\n' || c == '\r' || c == ':' || c == '/' || c == ' ' || c == '"'; });
    return text.empty() ? "1" : text;
}

std::string Ppd(const std::string& density, const std::string& weight)
{
    return "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
           "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
           "*Manufacturer: \"Test\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n*NickName: \"Fuzz\"\n"
           "*ShortNickName: \"Fuzz\"\n*PSVersion: \"(3010.000) 0\"\n"
           "*OpenUI *PrintDensity/Print Density: PickOne\n*DefaultPrintDensity: " + density +
           "\n*PrintDensity " + density + "/Chosen: \"\"\n*PrintDensity 3/Three: \"\"\n*CloseUI: *PrintDensity\n"
           "*OpenUI *PaperWeight/Paper Weight: PickOne\n*DefaultPaperWeight: " + weight +
           "\n*PaperWeight " + weight + "/Chosen: \"\"\n*PaperWeight 2/Two: \"\"\n*CloseUI: *PaperWeight\n";
}

int MemoryFile(const char* name, const void* data, std::size_t size)
{
    const int fd = memfd_create(name, 0);
    if (fd >= 0 && size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    return fd;
}

}  // namespace

// For a compressed stream libcups reserves a row of the header's bytes per
// line before the filter sees the header: up to 4 GiB. The C library hands
// that out untouched and lazily; AddressSanitizer's allocator clears it,
// which takes seconds. Refusing such allocations, as a machine with less
// memory would, keeps every input fast.
extern "C" const char* __asan_default_options()  // NOLINT(bugprone-reserved-identifier)
{
    return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::string options = input.ConsumeRandomLengthString(256);
    const std::string density = Keyword(input.ConsumeRandomLengthString(24));
    const std::string weight = Keyword(input.ConsumeRandomLengthString(24));
    const std::vector<std::uint8_t> raster = input.ConsumeRemainingBytes<std::uint8_t>();

    const std::string ppd = Ppd(density, weight);
    const int ppdFd = MemoryFile("ppd", ppd.data(), ppd.size());
    const int rasterFd = MemoryFile("raster", raster.data(), raster.size());
    const std::string ppdPath = "/proc/self/fd/" + std::to_string(ppdFd);
    std::string rasterPath = "/proc/self/fd/" + std::to_string(rasterFd);
    setenv("PPD", ppdPath.c_str(), 1);

    std::string program = "rastertomono";
    std::string job = "1";
    std::string user = "fuzz";
    std::string title = "fuzz";
    std::string copies = "1";
    std::vector<char*> argv = {program.data(), job.data(), user.data(), title.data(),
                               copies.data(), options.data(), rasterPath.data(), nullptr};

    char* out = nullptr;
    std::size_t outSize = 0;
    FILE* outStream = open_memstream(&out, &outSize);
    FILE* quiet = std::fopen("/dev/null", "w");
    FILE* savedOut = stdout;
    FILE* savedErr = stderr;
    stdout = outStream;
    stderr = quiet;
    const int status = FilterMain(7, argv.data());
    stdout = savedOut;
    stderr = savedErr;
    std::fclose(quiet);
    std::fclose(outStream);

    // Whatever the input, what was written is a stream the printer reads
    // correctly: whole commands, every page begun also closed, and as many
    // pages as the exit status claims.
    if (status != 0 && status != 1)
        std::abort();
    if (outSize != 0) {
        const DecodedJob job = DecodeJob({reinterpret_cast<const std::uint8_t*>(out), outSize});
        if (job.violation.has_value() || (status == 0 && job.pages.empty())) {
            (void)std::fprintf(savedErr, "malformed stream: %s\n",
                               job.violation.has_value() ? Describe(*job.violation).c_str() : "no page");
            std::abort();
        }
    }
    std::free(out);
    close(ppdFd);
    close(rasterFd);
    return 0;
}
