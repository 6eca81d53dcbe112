#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace Vistel::PictureAids
{

// Exposure warning on one frame: pixels whose luminance (ITU-R BT.601, as OpenCV's grey) is at or
// above the high level get diagonal stripes, and with a dark level those at or below it get
// stripes of the other direction. Stripes are 4 pixels wide with gaps as wide; the picture shows
// through the gaps.
//
// Keeps its working buffers between frames; one thread at a time.
class ZebraFilter
{
public:
    struct Counts
    {
        std::int64_t bright = 0; // pixels at or above the high level
        std::int64_t dark = 0;   // pixels at or below the dark level (0 when it is off)
        std::int64_t total = 0;
    };

    static constexpr int stripeWidth = 4;
    // Whether (x, y) lies on a stripe of the high (falling) or dark (rising) warning.
    static bool OnBrightStripe(int x, int y) noexcept { return ((x + y) / stripeWidth) % 2 == 0; }
    static bool OnDarkStripe(int x, int y, int width) noexcept
    {
        return ((width - 1 - x + y) / stripeWidth) % 2 == 0;
    }
    static inline const cv::Scalar brightColor{0, 0, 0, 255};   // black on white areas
    static inline const cv::Scalar darkColor{255, 255, 0, 255}; // cyan on black areas

    // frame and output are BGRA; output becomes a copy of frame with the stripes. darkLevel < 0:
    // no dark warning.
    Counts Apply(const cv::Mat& frame, cv::Mat& output, int highLevel, int darkLevel);

private:
    // The stripe patterns (255 on a stripe) for the current size, made once per size.
    void PrepareStripes(cv::Size size);

    cv::Mat grey;
    cv::Mat bright;
    cv::Mat dark;
    cv::Mat brightStripes;
    cv::Mat darkStripes;
};

} // namespace Vistel::PictureAids
