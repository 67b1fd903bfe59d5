#include "raster_job.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "filter_process.h"
#include "mono_driver.h"
#include "page_input.h"

namespace {

constexpr const char* kDeviceFailed = "the printer's device failed while the job was sent";

struct JobState {
    FilterProcess filter;
    bool started = false;  // the filter runs
    const Paper* paper = nullptr;
    cups_page_header2_t header{};  // the filter's header for the current page
    InputPage input;
    Dither dither{};
    std::vector<std::uint8_t> row;
    unsigned rowsSent = 0;
    std::string failure;  // why the job cannot be printed
};

JobState* StateOf(pappl_job_t* job)
{
    return static_cast<JobState*>(papplJobGetData(job));
}

void Fail(pappl_job_t* job, JobState& state, const std::string& reason, pappl_jreason_t jobReason)
{
    if (state.failure.empty())
        state.failure = reason;
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
    papplJobSetMessage(job, "%s", reason.c_str());
    papplJobSetReasons(job, jobReason, PAPPL_JREASON_NONE);
}

// A PWG raster page whose header PAPPL did not take over from the client is
// one bit per dot: PAPPL copies only the headers of 8-bit pages. The header
// is then PAPPL's own for the job, byte for byte.
bool IsOneBitClientPage(pappl_job_t* job, const pappl_pr_options_t* options)
{
    if (std::strcmp(papplJobGetFormat(job), "image/pwg-raster") != 0)
        return false;
    pappl_pr_options_t* own =
        papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), false);
    if (own == nullptr)
        return false;
    // Both headers come from zeroed memory, padding included.
    const bool same = std::memcmp(&own->header, &options->header, sizeof own->header) == 0;  // NOLINT(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
    papplJobDeletePrintOptions(own);
    return same;
}

bool StartFilterFor(pappl_job_t* job, const pappl_pr_options_t* options, pappl_device_t* device, JobState& state)
{
    std::string error;
    if (!StartFilter(state.filter, FilterCommandFor(job, *options), job, device, -1, error)) {
        Fail(job, state, error, PAPPL_JREASON_ABORTED_BY_SYSTEM);
        return false;
    }
    state.started = true;
    return true;
}

bool StartPageOf(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, JobState& state)
{
    state.paper = FindPaper(gSettings.papers, options->media.size_name);
    if (state.paper == nullptr) {
        Fail(job, state, std::string("the printer has no paper named ") + options->media.size_name,
             PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR);
        return false;
    }

    if (IsOneBitClientPage(job, options)) {
        // Lines PAPPL pads with must read as white in the client's sense.
        options->header.cupsColorSpace = CUPS_CSPACE_K;
        state.input = {LineSense::kBlack1, options->header.cupsWidth, options->header.cupsHeight,
                       (options->header.cupsWidth + 7) / 8};
    } else {
        std::string reason;
        if (!InputFromHeader(options->header, state.input, reason)) {
            Fail(job, state, "Page refused: " + reason, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR);
            return false;
        }
    }

    // Grey as the job's colour mode and content ask.
    const Screen screen = ScreenFor(options->print_color_mode, options->print_content_optimize);
    if (screen == Screen::kThreshold) {
        std::memset(state.dither, 127, sizeof state.dither);
    } else {
        pappl_pr_driver_data_t driver;
        papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
        std::memcpy(state.dither, screen == Screen::kDispersed ? driver.pdither : driver.gdither, sizeof state.dither);
    }

    if (!state.started && !StartFilterFor(job, options, device, state))
        return false;

    state.header = state.paper->header;
    state.header.NumCopies = static_cast<unsigned>(std::max(options->copies, 1));
    state.row.assign(state.header.cupsBytesPerLine, 0);
    state.rowsSent = 0;
    if (!WriteFilterHeader(state.filter, state.header)) {
        Fail(job, state, "the filter stopped taking pages", PAPPL_JREASON_ABORTED_BY_SYSTEM);
        return false;
    }
    return true;
}

void SendRow(JobState& state, std::span<const std::uint8_t> line, unsigned y)
{
    ConvertLine(line, state.input, y, state.paper->left, state.dither, state.row, state.header.cupsWidth);
    if (WriteFilterRow(state.filter, state.row))
        ++state.rowsSent;
}

}  // namespace

bool StartJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/)
{
    try {
        papplJobSetData(job, new JobState);
        return true;
    } catch (const std::exception& e) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot start the job: %s", e.what());
        return false;
    }
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned /*page*/)
{
    JobState* state = StateOf(job);
    if (state == nullptr || !state->failure.empty())
        return false;
    try {
        return StartPageOf(job, options, device, *state);
    } catch (const std::exception& e) {
        Fail(job, *state, e.what(), PAPPL_JREASON_ABORTED_BY_SYSTEM);
        return false;
    }
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned y,
               const unsigned char* line)
{
    return WriteLines(job, y, 1, line);
}

bool WriteLines(pappl_job_t* job, unsigned y, unsigned count, const unsigned char* line)
{
    JobState* state = StateOf(job);
    if (state == nullptr || state->paper == nullptr)
        return true;
    // The rows these input lines fill: none above the printable area, none
    // past the page's or the paper's end.
    const unsigned from = std::max(y, state->paper->top);
    const unsigned end = std::min(y + count, state->input.height);
    const unsigned rows = from < end ? std::min(end - from, state->header.cupsHeight - state->rowsSent) : 0;
    const std::span<const std::uint8_t> in(line, state->input.bytesPerLine);
    if (rows > 0 && (state->input.sense == LineSense::kBlack1 || state->input.sense == LineSense::kWhite1)) {
        // No screen on a 1-bit page: its rows are alike as its lines are.
        ConvertLine(in, state->input, from, state->paper->left, state->dither, state->row, state->header.cupsWidth);
        if (WriteFilterRow(state->filter, state->row, rows))
            state->rowsSent += rows;
        return true;
    }
    for (unsigned i = 0; i < rows; ++i)
        SendRow(*state, in, from + i);
    return true;
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned /*page*/)
{
    JobState* state = StateOf(job);
    if (state == nullptr || !state->started)
        return false;
    if (state->filter.deviceFailed) {
        Fail(job, *state, kDeviceFailed, PAPPL_JREASON_ABORTED_BY_SYSTEM);
        return false;
    }
    // PAPPL counts an aborted job as cancelled too: either way the page
    // ends here.
    if (papplJobIsCanceled(job)) {
        // The filter closes the page it is on, as it does when CUPS cancels.
        CancelFilter(state->filter);
        return true;
    }
    // An input page shorter than the paper ends in white.
    if (state->rowsSent < state->header.cupsHeight) {
        const std::vector<std::uint8_t> blank(state->input.bytesPerLine, 0);
        const InputPage white{LineSense::kBlack1, state->input.width, 0, state->input.bytesPerLine};
        ConvertLine(blank, white, 0, 0, state->dither, state->row, state->header.cupsWidth);
    }
    while (state->rowsSent < state->header.cupsHeight) {
        const unsigned lines = std::min(state->header.cupsHeight - state->rowsSent, 256U);
        if (!WriteFilterRow(state->filter, state->row, lines))
            break;
        state->rowsSent += lines;
    }
    // The page goes to the printer whole, whatever the next one takes.
    FlushFilterInput(state->filter);
    return !state->filter.inputFailed && !state->filter.deviceFailed;
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/)
{
    JobState* state = StateOf(job);
    if (state == nullptr)
        return false;
    papplJobSetData(job, nullptr);
    bool ok = state->failure.empty();
    if (state->started) {
        if (papplJobIsCanceled(job))
            CancelFilter(state->filter);
        std::string error;
        if (!FinishFilter(state->filter, error) && ok) {
            Fail(job, *state, error, PAPPL_JREASON_ABORTED_BY_SYSTEM);
            ok = false;
        }
    }
    delete state;
    return ok;
}
