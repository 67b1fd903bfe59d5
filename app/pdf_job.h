// PDF documents: ghostscript renders each page of the job's range once, at
// 600 dpi, the printable area of the job's paper, and writes its raster
// straight into the filter (through gs_writer.cpp, preloaded); the printer
// makes the copies.
#pragma once

#include <pappl/pappl.h>

// PAPPL's MIME filter callback for application/pdf.
bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* data);
