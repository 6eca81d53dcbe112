#pragma once

// The host's pictures seen as OpenCV matrices without copying, and the processors' colours.

#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <opencv2/core.hpp>

#include <cstdint>

namespace Vistel::PictureAids
{

using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

// Blue, green, red, alpha rows with the image's stride.
inline cv::Mat MatOf(const Image& image)
{
    if (!image.data || image.width <= 0 || image.height <= 0)
    {
        return {};
    }
    return cv::Mat(image.height, image.width, CV_8UC4,
                   const_cast<Norvex::Core::Pixel<unsigned char>*>(image.data),
                   static_cast<std::size_t>(image.stride));
}

// Colours are stored as 0x00BBGGRR, like the application's marker colour.
inline cv::Scalar ScalarOfColorRef(std::uint32_t color)
{
    return cv::Scalar(static_cast<double>((color >> 16) & 0xFF), static_cast<double>((color >> 8) & 0xFF),
                      static_cast<double>(color & 0xFF), 255.0);
}

} // namespace Vistel::PictureAids
