#include "ZebraFilter.h"

#include <opencv2/imgproc.hpp>

namespace Vistel::PictureAids
{

void ZebraFilter::PrepareStripes(cv::Size size)
{
    if (brightStripes.size() == size)
    {
        return;
    }
    brightStripes.create(size, CV_8UC1);
    darkStripes.create(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
    {
        auto* brightRow = brightStripes.ptr<unsigned char>(y);
        auto* darkRow = darkStripes.ptr<unsigned char>(y);
        for (int x = 0; x < size.width; ++x)
        {
            brightRow[x] = OnBrightStripe(x, y) ? 255 : 0;
            darkRow[x] = OnDarkStripe(x, y, size.width) ? 255 : 0;
        }
    }
}

ZebraFilter::Counts ZebraFilter::Apply(const cv::Mat& frame, cv::Mat& output, int highLevel, int darkLevel)
{
    PrepareStripes(frame.size());
    cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
    frame.copyTo(output);
    Counts counts;
    counts.total = static_cast<std::int64_t>(frame.total());

    cv::compare(grey, highLevel, bright, cv::CMP_GE);
    counts.bright = cv::countNonZero(bright);
    cv::bitwise_and(bright, brightStripes, bright);
    output.setTo(brightColor, bright);
    if (darkLevel >= 0)
    {
        cv::compare(grey, darkLevel, dark, cv::CMP_LE);
        counts.dark = cv::countNonZero(dark);
        cv::bitwise_and(dark, darkStripes, dark);
        output.setTo(darkColor, dark);
    }
    return counts;
}

} // namespace Vistel::PictureAids
