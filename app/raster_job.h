// PAPPL's raster callbacks for this printer: each job's pages go through
// its own rastertomono child process, which writes the printer's commands.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <span>

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
// WriteLine for input lines y on that one coded line stands for (its
// repeat byte and runs, as coded_lines.h describes them, whole).
bool WriteCodedLine(pappl_job_t* job, unsigned y, std::span<const std::uint8_t> line);
bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
