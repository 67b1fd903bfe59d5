// Documents PAPPL does not turn into raster lines itself (PDF, JPEG, PNG)
// become pages here, which go through the driver's raster callbacks: the
// same crop, dither and filter as a client's raster.
#pragma once

#include <pappl/pappl.h>

#include <string>

// One document's way through the raster callbacks.
struct DocumentPrint {
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    pappl_pr_options_t* options = nullptr;
    pappl_pr_driver_data_t driver{};
    bool jobStarted = false;
    bool pageOpen = false;
    unsigned pages = 0;  // pages begun
};

// The document's options and the driver; false when the job cannot start.
bool BeginDocument(DocumentPrint& print, pappl_job_t* job, pappl_device_t* device);

// Starts a page whose lines `header` describes (600 dpi; 1-bit black or
// 8-bit grey), sends its lines, ends it.
bool BeginPage(DocumentPrint& print, const cups_page_header2_t& header);
bool SendLine(DocumentPrint& print, unsigned y, const unsigned char* line);
// `count` lines alike, from line y on.
bool SendLines(DocumentPrint& print, unsigned y, unsigned count, const unsigned char* line);
bool EndPage(DocumentPrint& print);

// Ends the job; returns whether it printed. A job that sent no page fails
// with `emptyReason`.
bool EndDocument(DocumentPrint& print, bool ok, const char* emptyReason);

// Ends the job with a reason clients see, as the raster path does.
void FailDocument(pappl_job_t* job, const std::string& reason);

// Prints a document for PAPPL, which calls from C: an exception fails the
// job with "the `what` cannot be printed: " and its message instead.
bool PrintCatching(pappl_job_t* job, pappl_device_t* device, const char* what,
                   bool (*print)(pappl_job_t* job, pappl_device_t* device));

// PAPPL hands a document whose format it could not tell to the driver as
// is; the printer's commands come only from the filter, so it is refused.
bool RefuseUnknownDocument(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
