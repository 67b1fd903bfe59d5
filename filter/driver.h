// The filter driver: process entry, the job and page loop, and the page
// body that reads every raster row and sends one command per row.
#pragma once

#include <cups/raster.h>

#include <csignal>
#include <cstdint>
#include <memory>

extern std::uint32_t gPage;  // pages begun in this job
extern std::int32_t gFeed;   // white rows counted but not yet sent
// Set by SIGTERM, the scheduler's way of cancelling a job.
extern volatile std::sig_atomic_t gCanceled;
// The current row, white left margin included; allocated per page.
extern std::unique_ptr<std::uint8_t[]> szRasterBuf;

// The filter program: CUPS filter arguments in, exit status out.
int FilterMain(int argc, char* argv[]);

void JobSetup();
void PageSetup();
void PageFinish();
void JobFinish();

// Why a page header cannot be printed, or null when it can: the printer
// takes one colour at one bit per pixel, white = 1, 600 dpi, and sizes its
// 16-bit command fields can express.
const char* UnprintablePageReason(const cups_page_header2_t& header);

// Allocates the page's row buffers; false when memory is short.
bool AllocatePageBuffers(const cups_page_header2_t& header);

// True when row[0, total) prints nothing: every byte white, and in a
// partial last byte the pixel bits white and the padding bits clear.
bool IsBlankRow(const std::uint8_t* row, std::uint32_t total, std::uint32_t cupsWidth);

void SendBlankLineData(std::int32_t lines);
// Sends the white rows owed, then row (cupsBytesPerLine bytes) as a row
// command.
void SendOneLineData(const std::uint8_t* row, const cups_page_header2_t& header);
