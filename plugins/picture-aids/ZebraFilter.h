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
// One pass over the frame in stripes of rows that stay in the cache: OpenCV converts a stripe to
// grey, then one loop per row counts and paints while it copies. It gives what OpenCV's cvtColor,
// compare, countNonZero, bitwise_and with the stripes, copyTo and masked setTo give, in 0.6-0.8
// of their time.
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

    // frame is BGRA; output becomes a BGRA copy of it with the stripes (reallocated only when its
    // size or type differ). darkLevel < 0: no dark warning.
    Counts Apply(const cv::Mat& frame, cv::Mat& output, int highLevel, int darkLevel);

private:
    // The stripe patterns (1 on a stripe) of the 8 rows they repeat after, made once per width.
    void PrepareStripes(cv::Size size);

    cv::Mat grey; // one stripe of rows
    cv::Mat brightStripes;
    cv::Mat darkStripes;
};

} // namespace Vistel::PictureAids
