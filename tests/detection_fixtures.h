// Helpers shared by the detection tests: temporary files, cfg text and plain image files written
// by the tests themselves.
#pragma once
#include "quillon.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

inline std::string detection_temp_path(const std::string &name)
{
    // The process id keeps concurrent runs of the suites apart.
    return (std::filesystem::temp_directory_path() /
            ("quillon_detection_" + std::to_string(getpid()) + "_" + name))
        .string();
}

inline std::string write_text_file(const std::string &name, const std::string &text)
{
    const std::string path = detection_temp_path(name);
    FILE *fp = fopen(path.c_str(), "w");
    fputs(text.c_str(), fp);
    fclose(fp);
    return path;
}

// Binary PNM (P6) of a planar RGB image with values in 0..1.
inline std::string write_ppm_file(const std::string &name, image im)
{
    const std::string path = detection_temp_path(name);
    FILE *fp = fopen(path.c_str(), "wb");
    fprintf(fp, "P6\n%d %d\n255\n", im.w, im.h);
    for (int y = 0; y < im.h; ++y)
        for (int x = 0; x < im.w; ++x)
            for (int k = 0; k < 3; ++k) {
                const float v = im.data[(size_t)k * im.w * im.h + (size_t)y * im.w + x];
                fputc((int)std::lround(v * 255), fp);
            }
    fclose(fp);
    return path;
}

inline float logistic_value(float x) { return 1.f / (1.f + std::exp(-x)); }
