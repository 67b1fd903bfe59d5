// The server's own watch over its jobs, for what PAPPL 1.3.1 leaves
// undone: a job whose document never comes waits for ever, and a stopping
// server waits up to a minute for its jobs, a job still waiting for its
// document among them.
#pragma once

#include <pappl/pappl.h>

#include <ctime>
#include <string>
#include <vector>

struct JobWatchSettings {
    int documentTimeout = 900;  // seconds a job may wait for its document, as CUPS's MultipleOperationTimeout
    std::string stateFile;      // where the state is saved when the server stops; empty for none
};

// Starts watching once the server runs. SIGTERM and SIGINT (what systemd
// and Ctrl-C send) and the shutdown sub-command then stop the server
// within seconds: jobs waiting for their document are aborted, the job
// each printer prints is cancelled (the printer gets a closed page), jobs
// whose document has come stay queued for the next start, and the state
// is saved. When jobs stay queued, the watch ends the process itself
// after saving, and runs `atExit` first.
void StartJobWatch(pappl_system_t* system, const JobWatchSettings& settings, void (*atExit)());

// Ends the watch and saves the state; after papplSystemRun returns.
void StopJobWatch();

// A job as seen at one look: printers and jobs are found again by their
// ids before anything is done to them.
struct JobSeen {
    int printer = 0, job = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    bool hasDocument = false;
    time_t created = 0;
};

// Every printer's jobs not yet ended.
std::vector<JobSeen> ActiveJobs(pappl_system_t* system);
