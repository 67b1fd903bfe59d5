// The web interface's "Print Test Page": the project's sample page.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

// PAPPL's test page callback: a copy of the sample page in the temporary
// folder, which PAPPL deletes once printed; nullptr when it is missing.
const char* TestPage(pappl_printer_t* printer, char* buffer, std::size_t size);
