// The rastertomono filter run as a child process for one job, the way the
// CUPS scheduler runs it: a CUPS raster on its standard input, the PPD in
// its environment, the printer's command stream on its standard output,
// copied to the printer's device as it comes.
#pragma once

#include <cups/raster.h>
#include <pappl/pappl.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

struct FilterProcess {
    pid_t pid = -1;
    int rasterFd = -1;  // the filter's standard input
    cups_raster_t* raster = nullptr;
    std::vector<unsigned char> pending;  // raster not yet handed over
    std::thread pump;  // filter output to the device, its messages to the job log
    std::atomic<bool> deviceFailed{false};
    std::atomic<bool> inputFailed{false};  // the filter stopped reading its raster
    std::mutex messageLock;
    std::string lastError;  // the filter's last ERROR: line
};

struct FilterCommand {
    const char* filterPath;
    const char* ppdPath;
    std::string jobId, user, title, copies, options;
};

// The filter's arguments for the job: its id, user and title, and the PPD
// options its print options stand for.
FilterCommand FilterCommandFor(pappl_job_t* job, const pappl_pr_options_t& options);

// Starts the filter for `job`, its output going to `device`. Its raster
// comes from `input`, a descriptor the filter then owns, or, when that is
// -1, through WriteFilterHeader and WriteFilterRow. On failure the reason
// is in `error` and nothing is left running.
bool StartFilter(FilterProcess& filter, const FilterCommand& command, pappl_job_t* job, pappl_device_t* device,
                 int input, std::string& error);

// The raster goes to the filter as compressed CUPS raster: libcups writes
// the page headers, the lines are coded here (coded_lines.h). Each
// function is false once the filter takes no more.
// A page header.
bool WriteFilterHeader(FilterProcess& filter, cups_page_header2_t& header);
// A row, standing for `lines` (1-256) rows of the page.
bool WriteFilterRow(FilterProcess& filter, std::span<const std::uint8_t> row, unsigned lines = 1);
// Coded lines the caller appended to `pending` go on a batch at a time.
bool WriteFilterPending(FilterProcess& filter);

// Hands the filter what it was given so far; false once it takes no more.
bool FlushFilterInput(FilterProcess& filter);

// Tells the filter the job is cancelled: it closes the page it is on.
void CancelFilter(FilterProcess& filter);

// Ends the raster, waits for the filter and its output to reach the device.
// Returns true when the filter succeeded and every byte was written; else
// `error` says why.
bool FinishFilter(FilterProcess& filter, std::string& error);
