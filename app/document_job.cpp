#include "document_job.h"

#include <exception>

#include "raster_job.h"

bool BeginDocument(DocumentPrint& print, pappl_job_t* job, pappl_device_t* device)
{
    print.job = job;
    print.device = device;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &print.driver);
    // The page count is not known before the document is read: 0 keeps
    // page-ranges as the client sent them.
    print.options = papplJobCreatePrintOptions(job, 0, false);
    if (print.options == nullptr) {
        FailDocument(job, "out of memory for the job's options");
        return false;
    }
    print.jobStarted = StartJob(job, print.options, device);
    return print.jobStarted;
}

bool BeginPage(DocumentPrint& print, const cups_page_header2_t& header)
{
    print.options->header = header;
    ++print.pages;
    papplJobSetImpressionsCompleted(print.job, 1);
    print.pageOpen = StartPage(print.job, print.options, print.device, print.pages);
    return print.pageOpen;
}

bool SendLine(DocumentPrint& print, unsigned y, const unsigned char* line)
{
    return WriteLine(print.job, print.options, print.device, y, line);
}

bool SendLines(DocumentPrint& print, unsigned y, unsigned count, const unsigned char* line)
{
    return WriteLines(print.job, y, count, line);
}

bool EndPage(DocumentPrint& print)
{
    print.pageOpen = false;
    return EndPage(print.job, print.options, print.device, print.pages);
}

bool EndDocument(DocumentPrint& print, bool ok, const char* emptyReason)
{
    if (print.pageOpen)
        ok = EndPage(print) && ok;
    if (print.jobStarted) {
        if (ok && print.pages == 0 && !papplJobIsCanceled(print.job)) {
            FailDocument(print.job, emptyReason);
            ok = false;
        }
        ok = EndJob(print.job, print.options, print.device) && ok;
    }
    papplJobDeletePrintOptions(print.options);
    print.options = nullptr;
    return ok || papplJobIsCanceled(print.job);
}

void FailDocument(pappl_job_t* job, const std::string& reason)
{
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
    papplJobSetMessage(job, "%s", reason.c_str());
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
}

bool PrintCatching(pappl_job_t* job, pappl_device_t* device, const char* what,
                   bool (*print)(pappl_job_t* job, pappl_device_t* device))
{
    try {
        return print(job, device);
    } catch (const std::exception& e) {
        FailDocument(job, std::string("the ") + what + " cannot be printed: " + e.what());
        return false;
    }
}

bool RefuseUnknownDocument(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/)
{
    FailDocument(job, std::string("the printer does not print documents of type ") + papplJobGetFormat(job) +
                          "; send PDF, JPEG, PNG, PWG raster or Apple raster");
    return false;
}
