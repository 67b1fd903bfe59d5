#include "driver.h"

#include <cups/ppd.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "output_cache.h"
#include "row_encoder.h"
#include "settings.h"

std::uint32_t gPage = 0;
std::int32_t gFeed = 0;
volatile std::sig_atomic_t gCanceled = 0;
std::unique_ptr<std::uint8_t[]> szRasterBuf;

void JobSetup()
{
    ImageDataCpy(szInitCmd);
}

void PageSetup()
{
    ImageDataCpy(szStartPageCmd);
    gFeed = 0;
}

void PageFinish()
{
    ImageDataCpy(szEndPageCmd);
    szRasterBuf.reset();
    szCompressBuf.reset();
}

void JobFinish()
{
    gJobFinishFlag = 1;
    ImageDataCpy(nullptr, 0);
}

void SendBlankLineData(std::int32_t lines)
{
    for (std::int32_t i = 0; i < lines; ++i)
        ImageDataCpy(szBlankLineCmd);
}

void SendOneLineData(const cups_page_header2_t& header)
{
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
    CompressDataAndSend(szRasterBuf.get(), ((header.cupsWidth + 7) >> 3) + gMarginLeft);
}

bool IsBlankRow(const std::uint8_t* row, std::uint32_t total, std::uint32_t cupsWidth)
{
    if (total == 0)
        return true;
    const std::uint32_t w = cupsWidth & 7;
    const auto lastWhite = static_cast<std::uint8_t>(w == 0 ? 0xFF : (0xFF << (8 - w)) & 0xFF);
    if (row[total - 1] != lastWhite)
        return false;
    // One comparison of the row against itself shifted by a byte tells
    // whether all bytes before the last equal the first.
    return total == 1 || (row[0] == 0xFF && std::memcmp(row, row + 1, total - 2) == 0);
}

void SendPageBody(cups_raster_t* ras, const cups_page_header2_t& header)
{
    const std::uint32_t total = header.cupsBytesPerLine + gMarginLeft;
    szRasterBuf.reset(new std::uint8_t[total + 1]);
    szCompressBuf.reset(new std::uint8_t[MaxPayloadSize(total + 1)]);
    std::memset(szRasterBuf.get(), 0xFF, total + 1);
    std::memset(szCompressBuf.get(), 0xFF, MaxPayloadSize(total + 1));

    gFeed = gMarginTop;
    for (std::uint32_t mCurLine = 0; mCurLine < header.cupsHeight; ++mCurLine) {
        if (gCanceled)
            break;
        if (cupsRasterReadPixels(ras, szRasterBuf.get() + gMarginLeft, header.cupsBytesPerLine) == 0)
            break;
        if (IsBlankRow(szRasterBuf.get(), total, header.cupsWidth))
            ++gFeed;
        else
            SendOneLineData(header);
    }
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
}

int FilterMain(int argc, char* argv[])
{
    std::setbuf(stderr, nullptr);
    if (argc != 6 && argc != 7)
        return 1;

    int fd = 0;
    if (argc == 7) {
        fd = open(argv[6], O_RDONLY);
        if (fd < 0) {
            sleep(1);
            return 1;
        }
    }

    ppd_file_t* ppd = ppdOpenFile(std::getenv("PPD"));
    if (ppd == nullptr) {
        if (fd != 0)
            close(fd);
        return 1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);

    gCanceled = 0;
    ResetImageCache();
    ImageDataCpy(szZeroCmd);
    JobSetup();

    gPage = 0;
    cups_page_header2_t header{};
    while (cupsRasterReadHeader2(ras, &header) != 0) {
        if (gCanceled)
            break;
        if (gPage == 0) {
            parsePrinterSettings(ppd, argv[5], header);
            sendSettingsToPrinter();
        }
        ++gPage;
        PageSetup();
        SendPageBody(ras, header);
        PageFinish();
        if (gCanceled)
            break;
    }
    JobFinish();

    ppdClose(ppd);
    cupsRasterClose(ras);
    if (fd != 0)
        close(fd);
    return gPage > 0 ? 0 : 1;
}
