// The printer as PAPPL sees it: the driver table, the driver callback that
// describes the printer, and the settings the server was started with.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

#include "page_input.h"

// Stored in users' state files: never rename.
inline constexpr const char* kDriverName = "mono-laser-600";

// The driver's own document format: what PAPPL looks up filters to first.
inline constexpr const char* kDocumentFormat = "application/octet-stream";

struct AppSettings {
    std::string filterPath;     // the rastertomono filter
    std::string ppdPath;        // the printer's PPD
    std::string testPagePath;   // the sample page, a PDF
    std::string gsWriterPath;   // preloaded into ghostscript (gs_writer.cpp)
    std::vector<Paper> papers;  // read from the PPD once, before the server runs
    bool fileDevices = false;   // file:// device URIs allowed
};

// Filled in by the system callback before any printer exists; read-only
// while the server runs.
extern AppSettings gSettings;

extern const pappl_pr_driver_t kDrivers[1];

// Tells PAPPL of the printer's toner once the printer exists.
void CreateCallback(pappl_printer_t* printer, void* data);

bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);
