#include "job_watch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <thread>
#include <vector>

#include "saved_state.h"

namespace {

struct Watch {
    pappl_system_t* system = nullptr;
    JobWatchSettings settings;
    void (*atExit)() = nullptr;
    std::thread thread;
    std::atomic<bool> done{false};
    int wake[2] = {-1, -1};  // written by the signal handler
};

Watch gWatch;

void OnStopSignal(int /*signal*/)
{
    const char byte = 1;
    (void)!write(gWatch.wake[1], &byte, 1);
}

// A timer that wakes PAPPL's main loop every second, which otherwise
// sleeps up to half a minute before it sees it is to stop. PAPPL sets its
// own handlers for the stop signals as that loop starts; the timer's first
// run puts this program's in their place.
bool Tick(pappl_system_t* /*system*/, void* /*data*/)
{
    static bool taken = false;
    if (!taken) {
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        taken = true;
    }
    return true;
}

pappl_job_t* Find(pappl_system_t* system, const JobSeen& seen)
{
    pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, seen.printer, nullptr);
    return printer != nullptr ? papplPrinterFindJob(printer, seen.job) : nullptr;
}

// Ends a job that will not print, aborted by the system with the reason.
// PAPPL 1.3.1 offers only to cancel a job from outside; its own
// _papplJobSetState then marks it aborted, where the library has it.
void Abort(pappl_job_t* job, const char* reason)
{
    using SetState = void (*)(pappl_job_t*, ipp_jstate_t);
    static const auto setState = reinterpret_cast<SetState>(dlsym(RTLD_DEFAULT, "_papplJobSetState"));
    if (reason != nullptr)
        papplJobSetMessage(job, "%s", reason);
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    papplJobCancel(job);
    if (setState != nullptr)
        setState(job, IPP_JSTATE_ABORTED);
}

// PAPPL keeps among its active jobs one it aborted for lack of a document
// (Send-Document with no data): it would hold up a stopping server.
void ClearEndedJobs(pappl_system_t* system, const std::vector<JobSeen>& jobs)
{
    for (const JobSeen& seen : jobs)
        if (seen.state >= IPP_JSTATE_CANCELED)
            if (pappl_job_t* job = Find(system, seen))
                Abort(job, nullptr);
}

void AbortLateJobs(pappl_system_t* system, const std::vector<JobSeen>& jobs, int timeout)
{
    const time_t now = std::time(nullptr);
    const std::string reason = "no document came for the job within " + std::to_string(timeout) + " seconds";
    for (const JobSeen& seen : jobs)
        if (seen.state == IPP_JSTATE_HELD && !seen.hasDocument && now - seen.created >= timeout)
            if (pappl_job_t* job = Find(system, seen))
                Abort(job, reason.c_str());
}

// The first look after the server was asked to stop: no printer starts
// another job, jobs without their document end, printing jobs are
// cancelled.
void BeginStop(pappl_system_t* system, const std::vector<JobSeen>& jobs)
{
    papplSystemIteratePrinters(
        system, [](pappl_printer_t* printer, void*) { papplPrinterPause(printer); }, nullptr);
    for (const JobSeen& seen : jobs) {
        pappl_job_t* job = Find(system, seen);
        if (job == nullptr)
            continue;
        if (seen.state == IPP_JSTATE_PROCESSING)
            papplJobCancel(job);
        else if (!seen.hasDocument)
            Abort(job, "the server stopped before the job's document came");
    }
}

void Run()
{
    Watch& watch = gWatch;
    bool started = false;
    bool stopping = false;
    while (!watch.done) {
        pollfd wake{watch.wake[0], POLLIN, 0};
        // A tenth of a second: the shutdown sub-command stops the server
        // by PAPPL's own flag, which only a look sees.
        const bool woken = poll(&wake, 1, 100) > 0;
        if (watch.done)
            break;
        if (woken) {
            char drained[16];
            (void)!read(watch.wake[0], drained, sizeof drained);
            papplSystemShutdown(watch.system);
        }
        if (!papplSystemIsRunning(watch.system))
            continue;
        if (!started) {
            // PAPPL leaves the jobs it loaded from the state waiting until
            // something else makes it look for work.
            started = true;
            papplSystemIteratePrinters(
                watch.system, [](pappl_printer_t* printer, void*) { papplPrinterResume(printer); }, nullptr);
        }
        const std::vector<JobSeen> jobs = ActiveJobs(watch.system);
        ClearEndedJobs(watch.system, jobs);
        if (!papplSystemIsShutdown(watch.system)) {
            AbortLateJobs(watch.system, jobs, watch.settings.documentTimeout);
            continue;
        }
        if (!stopping) {
            stopping = true;
            BeginStop(watch.system, jobs);
            continue;
        }
        // PAPPL's main loop ends by itself once no job is active; jobs that
        // wait their turn would hold it a minute.
        const bool printing = std::ranges::any_of(jobs, [](const JobSeen& j) { return j.state == IPP_JSTATE_PROCESSING; });
        const bool queued = std::ranges::any_of(jobs, [](const JobSeen& j) { return j.state < IPP_JSTATE_PROCESSING; });
        if (!printing && queued) {
            if (!watch.settings.stateFile.empty())
                SaveState(watch.system, const_cast<char*>(watch.settings.stateFile.c_str()));
            papplLog(watch.system, PAPPL_LOGLEVEL_INFO, "Stopped; queued jobs wait for the next start.");
            if (watch.atExit != nullptr)
                watch.atExit();
            _exit(0);
        }
    }
}

}  // namespace

std::vector<JobSeen> ActiveJobs(pappl_system_t* system)
{
    std::vector<JobSeen> jobs;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            papplPrinterIterateActiveJobs(
                printer,
                [](pappl_job_t* job, void* list) {
                    static_cast<std::vector<JobSeen>*>(list)->push_back(
                        {papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job), papplJobGetState(job),
                         papplJobGetFilename(job) != nullptr, papplJobGetTimeCreated(job)});
                },
                data, 1, 0);
        },
        &jobs);
    return jobs;
}

void StartJobWatch(pappl_system_t* system, const JobWatchSettings& settings, void (*atExit)())
{
    gWatch.system = system;
    gWatch.settings = settings;
    gWatch.atExit = atExit;
    if (pipe2(gWatch.wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    papplSystemAddTimerCallback(system, std::time(nullptr), 1, Tick, nullptr);
    gWatch.thread = std::thread(Run);
}

void StopJobWatch()
{
    gWatch.done = true;
    OnStopSignal(0);
    if (gWatch.thread.joinable())
        gWatch.thread.join();
    // Whatever PAPPL saved last, the jobs ended on the way out are saved too.
    if (!gWatch.settings.stateFile.empty())
        SaveState(gWatch.system, const_cast<char*>(gWatch.settings.stateFile.c_str()));
}
