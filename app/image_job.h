// Photos and drawings (JPEG, PNG): decoded to grey by luminance, turned and
// scaled on the job's paper as the job asks (by default fitted to the
// printable area, turned when that fits them better), centred, and
// dithered into dots by the driver's raster path.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <vector>

struct GreyImage {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> dots;  // 0 black .. 255 white, row by row
    double ppi = 0;                  // pixels per inch the file states; 0 when it states none
};

// Decodes a JPEG or PNG file (format is its MIME type) into grey; false with
// the reason when the file cannot be read.
bool DecodeImage(const char* path, const char* format, GreyImage& image, std::string& error);

// PAPPL's MIME filter callback for image/jpeg and image/png.
bool PrintImage(pappl_job_t* job, pappl_device_t* device, void* data);
