// Printers made while the server runs get their printer-id at once.
//
// PAPPL 1.3.1 gives a printer made by Create-Printer or the web interface
// the printer-id it was asked for, 0, in its IPP attributes, and assigns
// the real one only inside; clients, the delete sub-command among them,
// read 0 until the server restarts. Defined in the program itself, this
// papplPrinterCreate comes before the library's for every caller, PAPPL's
// own included, and asks for the id the printer is to have.
#include <dlfcn.h>
#include <pappl/pappl.h>

#include <algorithm>
#include <mutex>

namespace {

using CreateFunction = pappl_printer_t* (*)(pappl_system_t*, int, const char*, const char*, const char*,
                                            const char*);

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

}  // namespace

extern "C" pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printer_id, const char* printer_name,
                                               const char* driver_name, const char* device_id,
                                               const char* device_uri)
{
    static const auto create = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "papplPrinterCreate"));
    if (create == nullptr)
        return nullptr;
    return create(system, printer_id != 0 ? printer_id : NewPrinterId(system), printer_name, driver_name, device_id,
                  device_uri);
}
