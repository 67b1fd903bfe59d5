// Faults of PAPPL 1.3.1, mended where every caller meets them, PAPPL's own
// code included: defined in the program itself, these functions come before
// the library's of the same name, and call the library's.
//
// - A printer made by Create-Printer or the web interface shows the
//   printer-id it was asked for, 0, in its IPP attributes, and gets the
//   real one only inside; clients, the delete sub-command among them, read
//   0 until the server restarts. Here it is asked for the id it is to have.
// - When a job ends, PAPPL closes the printer's connection if no other job
//   is waiting, deciding so before it has let go of the printer: a job that
//   arrives in between starts on the connection being closed, and writes
//   into freed memory, another printer's connection among it. And PAPPL
//   starts a thread for a printer's next job, which marks the job as
//   printing a moment later; a second look for work in between starts a
//   second thread for the same job, or, looking on paths of its own, a
//   thread for another job of a printer that is still printing. Here a
//   printer's next job starts only once the thread of the job before has
//   ended, and a job is printed by one thread only.
// - Strings an application adds for a language PAPPL has strings for
//   only fill in the keys PAPPL lacks: PAPPL loads its own first, as the
//   server is made, and the first text for a key stays. Here the
//   application's strings are loaded just before PAPPL's.
#include <dlfcn.h>
#include <pappl/pappl.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "appearance.h"

namespace {

template <typename Function>
Function Library(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The id for a new printer: past every printer there is and every id given
// so far. PAPPL does not count ids it was asked for, and sets its own next
// id only before the server runs.
int NewPrinterId(pappl_system_t* system)
{
    static std::mutex lock;
    static int highest = 0;
    const std::lock_guard<std::mutex> guard(lock);
    int live = 0;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            int& most = *static_cast<int*>(data);
            most = std::max(most, papplPrinterGetID(printer));
        },
        &live);
    highest = std::max({papplSystemGetNextPrinterID(system), live + 1, highest + 1});
    return highest;
}

std::mutex gThreadsLock;
std::set<pappl_job_t*> gJobsPrinted;       // by a thread of PAPPL's
std::set<pappl_printer_t*> gPrintersBusy;  // whose job's thread has not ended

using CheckJobs = void (*)(pappl_printer_t*);

}  // namespace

extern "C" pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printer_id, const char* printer_name,
                                               const char* driver_name, const char* device_id,
                                               const char* device_uri)
{
    using Create = pappl_printer_t* (*)(pappl_system_t*, int, const char*, const char*, const char*, const char*);
    static const auto create = Library<Create>("papplPrinterCreate");
    return create(system, printer_id != 0 ? printer_id : NewPrinterId(system), printer_name, driver_name, device_id,
                  device_uri);
}

extern "C" void _papplLocLoadAll(pappl_system_t* system)
{
    using LoadAll = void (*)(pappl_system_t*);
    static const auto load = Library<LoadAll>("_papplLocLoadAll");
    AddStrings(system);
    load(system);
}

// PAPPL's look for the next job of a printer.
extern "C" void _papplPrinterCheckJobs(pappl_printer_t* printer)
{
    static const auto check = Library<CheckJobs>("_papplPrinterCheckJobs");
    {
        const std::lock_guard<std::mutex> guard(gThreadsLock);
        if (gPrintersBusy.contains(printer))
            return;  // the job's thread looks again as it ends
    }
    check(printer);
}

// The body of PAPPL's thread for a job.
extern "C" void* _papplJobProcess(pappl_job_t* job)
{
    using Process = void* (*)(pappl_job_t*);
    static const auto process = Library<Process>("_papplJobProcess");
    static const auto check = Library<CheckJobs>("_papplPrinterCheckJobs");
    pappl_printer_t* printer = papplJobGetPrinter(job);
    pappl_system_t* system = papplPrinterGetSystem(printer);
    const int printerId = papplPrinterGetID(printer);
    {
        const std::lock_guard<std::mutex> guard(gThreadsLock);
        if (papplJobGetState(job) != IPP_JSTATE_PENDING || gJobsPrinted.contains(job))
            return nullptr;
        // PAPPL looks for work on paths of its own too; while another job's
        // thread has the printer, this job waits for that thread's look.
        if (gPrintersBusy.contains(printer))
            return nullptr;
        gJobsPrinted.insert(job);
        gPrintersBusy.insert(printer);
    }
    void* result = process(job);
    {
        const std::lock_guard<std::mutex> guard(gThreadsLock);
        gJobsPrinted.erase(job);
        gPrintersBusy.erase(printer);
    }
    // A printer deleted while its job printed is gone with it.
    if (papplSystemFindPrinter(system, nullptr, printerId, nullptr) == printer)
        check(printer);
    return result;
}
