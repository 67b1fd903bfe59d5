// Rasters a client sends (PWG raster, Apple raster, CUPS raster) printed
// from the spool like any other document. PAPPL 1.3.1 would read PWG and
// Apple raster straight off the client's connection and refuse it with
// server-error-busy while the printer prints another job; that refusal
// takes PAPPL's locks in the order opposite to its main loop's and can
// stop the whole server. Spooled, a raster waits its turn in the queue.
#pragma once

#include <pappl/pappl.h>

// The document format rasters are spooled as: CUPS raster, which the
// printer takes too. libcups reads all three kinds of raster alike.
inline constexpr const char* kRasterFormat = "application/vnd.cups-raster";

// Before PAPPL reads a Print-Job or Send-Document: a raster document is
// marked to be spooled as kRasterFormat. PAPPL asks the authorization
// callback first, the one place the application sees the request.
void SpoolRasterDocument(pappl_client_t* client);

// True when the file starts as a PWG, Apple or CUPS raster does.
bool IsRasterFile(const char* path);

// PAPPL's MIME filter callback for kRasterFormat.
bool PrintRaster(pappl_job_t* job, pappl_device_t* device, void* data);
