#pragma once

// The 1920 x 1080 BGRA picture the V4L2 benchmarks encode for the fake camera: gradients with fine
// grain, so compressed and converted frames carry detail as a camera's pictures do.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace VistelBench
{

constexpr std::uint32_t PictureWidth = 1920, PictureHeight = 1080;

inline const std::vector<unsigned char>& GrainyPicture()
{
    static const std::vector<unsigned char> picture = []
    {
        constexpr std::uint32_t width = PictureWidth, height = PictureHeight;
        std::vector<unsigned char> bgra(static_cast<std::size_t>(width) * height * 4);
        std::uint32_t noise = 12345;
        for (std::uint32_t y = 0; y < height; ++y)
        {
            for (std::uint32_t x = 0; x < width; ++x)
            {
                noise = noise * 1103515245u + 12345u;
                const int grain = static_cast<int>((noise >> 16) & 15) - 8;
                unsigned char* pixel = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
                pixel[0] = static_cast<unsigned char>(std::clamp<int>(x * 255 / width + grain, 0, 255));
                pixel[1] = static_cast<unsigned char>(std::clamp<int>(y * 255 / height + grain, 0, 255));
                pixel[2] = static_cast<unsigned char>(
                    std::clamp<int>(((x / 40 + y / 40) % 2) * 160 + 40 + grain, 0, 255));
                pixel[3] = 255;
            }
        }
        return bgra;
    }();
    return picture;
}

} // namespace VistelBench
