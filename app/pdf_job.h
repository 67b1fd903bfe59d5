// PDF documents: ghostscript renders each page of the job's range once, at
// 600 dpi on the whole sheet of the job's paper, and the pages go through
// the driver's raster callbacks; the printer makes the copies.
#pragma once

#include <pappl/pappl.h>

// PAPPL's MIME filter callback for application/pdf.
bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* data);
