#include "raster_document.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "coded_lines.h"
#include "document_job.h"

namespace {

constexpr std::string_view kPwgRaster = "image/pwg-raster";
constexpr std::string_view kAppleRaster = "image/urf";

// The first bytes of every kind of raster libcups reads: PWG, Apple, and
// CUPS raster in its three forms, in either byte order.
bool StartsAsRaster(std::string_view head)
{
    static constexpr std::array<std::string_view, 7> kSyncWords = {"RaS2", "2SaR", "RaS3", "3SaR",
                                                                   "RaSt", "tSaR", "UNIRAST"};
    return std::ranges::any_of(kSyncWords, [head](std::string_view sync) { return head.starts_with(sync); });
}

void CountPages(DocumentPrint& print, const cups_page_header2_t& header)
{
    if (header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] > 0 && print.pages == 0)
        papplJobSetImpressions(print.job, static_cast<int>(header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount]));
}

std::string CutOff(const DocumentPrint& print)
{
    return "the raster ends in the middle of page " + std::to_string(print.pages);
}

// Sends every page of the spooled raster through the raster callbacks.
bool SendRasterPages(DocumentPrint& print, cups_raster_t* raster)
{
    bool ok = true;
    cups_page_header2_t header;
    std::vector<unsigned char> line;
    while (ok && !papplJobIsCanceled(print.job) && cupsRasterReadHeader2(raster, &header)) {
        CountPages(print, header);
        if (!BeginPage(print, header))
            return false;
        // The header passed the page's checks: its lines are of a size the printer takes.
        line.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (y % 64 == 0 && papplJobIsCanceled(print.job))
                break;
            if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                // Cut off: the page ends in white and the job with a reason.
                FailDocument(print.job, CutOff(print));
                ok = false;
                break;
            }
            SendLine(print, y, line.data());
        }
        ok = EndPage(print) && ok;
    }
    return ok;
}

// PWG raster, which phones and CUPS send, is read from the spool file
// mapped into memory: libcups reads each page's header; the lines are
// decoded here, a repeated byte filled at once where libcups copies it a
// byte at a time, and a line that stands for several goes on once.
constexpr std::array<std::uint8_t, 4> kPwgSync = {'R', 'a', 'S', '2'};

// Maps the spool file when it is PWG raster; unmaps it when done.
struct PwgFile {
    explicit PwgFile(int fd)
    {
        struct stat info {};
        if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(kPwgSync.size()))
            return;
        void* map = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED)
            return;
        bytes = {static_cast<const std::uint8_t*>(map), static_cast<std::size_t>(info.st_size)};
        (void)madvise(map, bytes.size(), MADV_SEQUENTIAL);
    }
    ~PwgFile()
    {
        if (!bytes.empty())
            munmap(const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    }
    // The pages before `at` are read: they leave the server's memory a
    // quarter megabyte at a time, however large the job.
    void Release(std::size_t at)
    {
        constexpr std::size_t kStep = std::size_t{256} << 10;
        if (at - released < kStep)
            return;
        const std::size_t end = at / kStep * kStep;
        (void)madvise(const_cast<std::uint8_t*>(bytes.data()) + released, end - released, MADV_DONTNEED);
        released = end;
    }
    PwgFile(const PwgFile&) = delete;
    PwgFile& operator=(const PwgFile&) = delete;
    [[nodiscard]] bool IsPwg() const
    {
        return bytes.size() >= kPwgSync.size() && std::equal(kPwgSync.begin(), kPwgSync.end(), bytes.begin());
    }
    std::span<const std::uint8_t> bytes;
    std::size_t released = 0;  // bytes from the start given back
};

ssize_t ReadHeaderBytes(void* ctx, unsigned char* buffer, size_t length)
{
    for (std::span<const std::uint8_t>& part : *static_cast<std::array<std::span<const std::uint8_t>, 2>*>(ctx)) {
        if (part.empty())
            continue;
        const std::size_t n = std::min(length, part.size());
        std::memcpy(buffer, part.data(), n);
        part = part.subspan(n);
        return static_cast<ssize_t>(n);
    }
    return 0;
}

// The page header at `at`, as libcups reads it after the sync word.
bool ReadPwgHeader(std::span<const std::uint8_t> file, std::size_t at, cups_page_header2_t& header)
{
    if (file.size() - at < sizeof header)
        return false;
    std::array<std::span<const std::uint8_t>, 2> parts{kPwgSync, file.subspan(at, sizeof header)};
    cups_raster_t* raster = cupsRasterOpenIO(ReadHeaderBytes, &parts, CUPS_RASTER_READ);
    const bool ok = raster != nullptr && cupsRasterReadHeader2(raster, &header) != 0;
    if (raster != nullptr)
        cupsRasterClose(raster);
    return ok;
}

bool SendPwgPages(DocumentPrint& print, PwgFile& pwg)
{
    const std::span<const std::uint8_t> file = pwg.bytes;
    bool ok = true;
    cups_page_header2_t header;
    std::vector<std::uint8_t> line;
    for (std::size_t at = kPwgSync.size(); ok && !papplJobIsCanceled(print.job) && ReadPwgHeader(file, at, header);) {
        at += sizeof header;
        CountPages(print, header);
        if (!BeginPage(print, header))
            return false;
        // The header passed the page's checks: its lines are of a size the printer takes.
        line.resize(header.cupsBytesPerLine);
        const std::uint8_t fill = ClearFill(header);
        for (unsigned y = 0, lines = 0; y < header.cupsHeight; ++lines) {
            if (lines % 64 == 0) {
                if (papplJobIsCanceled(print.job))
                    break;
                pwg.Release(at);
            }
            const std::size_t size = at < file.size() ? DecodeRuns(file.subspan(at + 1), line, fill) : 0;
            if (size == 0) {
                FailDocument(print.job, CutOff(print));
                ok = false;
                break;
            }
            SendLines(print, y, file[at] + 1U, line.data());
            y += file[at] + 1U;
            at += size + 1;
        }
        ok = EndPage(print) && ok;
    }
    return ok;
}

bool PrintRasterOf(pappl_job_t* job, pappl_device_t* device)
{
    DocumentPrint print;
    if (!BeginDocument(print, job, device))
        return EndDocument(print, false, "");
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        PwgFile pwg(fd);
        if (pwg.IsPwg()) {
            const bool ok = SendPwgPages(print, pwg);
            close(fd);
            return EndDocument(print, ok, "the document is not a raster the printer can read");
        }
    }
    cups_raster_t* raster = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    bool ok = false;
    if (raster != nullptr) {
        ok = SendRasterPages(print, raster);
        cupsRasterClose(raster);
    } else {
        FailDocument(job, "the document is not a raster the printer can read");
    }
    if (fd >= 0)
        close(fd);
    return EndDocument(print, ok, "the document is not a raster the printer can read");
}

}  // namespace

void SpoolRasterDocument(pappl_client_t* client)
{
    ipp_t* request = papplClientGetRequest(client);
    const ipp_op_t op = ippGetOperation(request);
    if ((op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT) ||
        ippFindAttribute(request, "document-format-detected", IPP_TAG_ZERO) != nullptr)
        return;
    ipp_attribute_t* format = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
    const std::string_view named = format != nullptr ? ippGetString(format, 0, nullptr) : "application/octet-stream";
    if (named == kPwgRaster || named == kAppleRaster) {
        // Spooled as CUPS raster; the job still says what the client sent.
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_MIMETYPE, "document-format-detected", nullptr, kRasterFormat);
    } else if (named == "application/octet-stream") {
        // PAPPL would type it by its first bytes, and stream a raster.
        char head[8] = {};
        const ssize_t got = httpPeek(papplClientGetHTTP(client), head, sizeof head);
        if (got <= 0 || !StartsAsRaster({head, static_cast<std::size_t>(got)}))
            return;
        if (format != nullptr)
            ippSetString(request, &format, 0, kRasterFormat);
        else
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, kRasterFormat);
    }
}

bool IsRasterFile(const char* path)
{
    char head[8] = {};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, head, sizeof head);
    close(fd);
    return got > 0 && StartsAsRaster({head, static_cast<std::size_t>(got)});
}

bool PrintRaster(pappl_job_t* job, pappl_device_t* device, void* /*data*/)
{
    return PrintCatching(job, device, "raster", PrintRasterOf);
}
