// PAPPL's raster callbacks for this printer: each job's pages go through
// its own rastertomono child process, which writes the printer's commands.
#pragma once

#include <pappl/pappl.h>

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
// WriteLine for `count` input lines alike, from line y of the page on.
bool WriteLines(pappl_job_t* job, unsigned y, unsigned count, const unsigned char* line);
bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
