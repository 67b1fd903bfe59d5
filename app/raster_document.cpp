#include "raster_document.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

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

// Sends every page of the spooled raster through the raster callbacks.
bool SendRasterPages(DocumentPrint& print, cups_raster_t* raster)
{
    bool ok = true;
    cups_page_header2_t header;
    std::vector<unsigned char> line;
    while (ok && !papplJobIsCanceled(print.job) && cupsRasterReadHeader2(raster, &header)) {
        if (header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] > 0 && print.pages == 0)
            papplJobSetImpressions(print.job, static_cast<int>(header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount]));
        if (!BeginPage(print, header))
            return false;
        // The header passed the page's checks: its lines are of a size the printer takes.
        line.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (y % 64 == 0 && papplJobIsCanceled(print.job))
                break;
            if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
                // Cut off: the page ends in white and the job with a reason.
                FailDocument(print.job, "the raster ends in the middle of page " + std::to_string(print.pages));
                ok = false;
                break;
            }
            SendLine(print, y, line.data());
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
