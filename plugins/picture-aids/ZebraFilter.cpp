#include "ZebraFilter.h"

#include "RowLoop.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace Vistel::PictureAids
{
namespace
{

// Stripes go last, dark over bright, as where both warnings apply the dark one was painted last.
VISTEL_ROW_LOOP
void StripeRow(const PixelWord* in, const std::uint8_t* grey, const std::uint8_t* brightStripe,
               const std::uint8_t* darkStripe, PixelWord* out, int width, int highLevel, int darkLevel,
               std::uint32_t brightWord, std::uint32_t darkWord, std::int64_t& bright, std::int64_t& dark)
{
    std::int32_t rowBright = 0;
    std::int32_t rowDark = 0;
    for (int x = 0; x < width; ++x)
    {
        const bool isBright = grey[x] >= highLevel;
        const bool isDark = grey[x] <= darkLevel;
        rowBright += isBright;
        rowDark += isDark;
        PixelWord pixel = in[x];
        pixel = isBright && brightStripe[x] ? brightWord : pixel;
        pixel = isDark && darkStripe[x] ? darkWord : pixel;
        out[x] = pixel;
    }
    bright += rowBright;
    dark += rowDark;
}

} // namespace

void ZebraFilter::PrepareStripes(cv::Size size)
{
    // Both patterns repeat every 8 rows (twice the stripe width).
    constexpr int period = 2 * stripeWidth;
    if (brightStripes.cols == size.width)
    {
        return;
    }
    brightStripes.create(period, size.width, CV_8UC1);
    darkStripes.create(period, size.width, CV_8UC1);
    for (int y = 0; y < period; ++y)
    {
        auto* brightRow = brightStripes.ptr<unsigned char>(y);
        auto* darkRow = darkStripes.ptr<unsigned char>(y);
        for (int x = 0; x < size.width; ++x)
        {
            brightRow[x] = OnBrightStripe(x, y) ? 1 : 0;
            darkRow[x] = OnDarkStripe(x, y, size.width) ? 1 : 0;
        }
    }
}

ZebraFilter::Counts ZebraFilter::Apply(const cv::Mat& frame, cv::Mat& output, int highLevel, int darkLevel)
{
    CV_Assert(frame.type() == CV_8UC4);
    output.create(frame.size(), CV_8UC4);
    PrepareStripes(frame.size());
    const int height = frame.rows;
    const std::uint32_t brightWord = PixelWordOf(brightColor);
    const std::uint32_t darkWord = PixelWordOf(darkColor);
    Counts counts;
    counts.total = static_cast<std::int64_t>(frame.total());
    grey.create(std::min(height, stripeRows), frame.cols, CV_8UC1);
    for (int top = 0; top < height; top += stripeRows)
    {
        const int bottom = std::min(height, top + stripeRows);
        cv::Mat stripe = grey.rowRange(0, bottom - top);
        cv::cvtColor(frame.rowRange(top, bottom), stripe, cv::COLOR_BGRA2GRAY);
        for (int y = top; y < bottom; ++y)
        {
            const int phase = y % (2 * stripeWidth);
            StripeRow(frame.ptr<PixelWord>(y), stripe.ptr<std::uint8_t>(y - top),
                      brightStripes.ptr<std::uint8_t>(phase), darkStripes.ptr<std::uint8_t>(phase),
                      output.ptr<PixelWord>(y), frame.cols, highLevel, darkLevel < 0 ? -1 : darkLevel,
                      brightWord, darkWord, counts.bright, counts.dark);
        }
    }
    return counts;
}

} // namespace Vistel::PictureAids
