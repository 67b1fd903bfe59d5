// Photos and drawings (JPEG, PNG): decoded to grey by luminance, scaled to
// fit the printable area of the job's paper (turned when that fits them
// better), centred, and dithered into dots by the driver's raster path.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

struct GreyImage {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> dots;  // 0 black .. 255 white, row by row
};

// Decodes a JPEG or PNG file (format is its MIME type) into grey; false with
// the reason when the file cannot be read.
bool DecodeImage(const char* path, const char* format, GreyImage& image, std::string& error);

// PAPPL's MIME filter callback for image/jpeg and image/png.
bool PrintImage(pappl_job_t* job, pappl_device_t* device, void* data);
