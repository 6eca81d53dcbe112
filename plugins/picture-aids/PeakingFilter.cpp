#include "PeakingFilter.h"

#include "RowLoop.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace Vistel::PictureAids
{
namespace
{

// OpenCV's default border (reflect without repeating the edge) for a row or column index.
int Reflect(int index, int length)
{
    if (length == 1)
    {
        return 0;
    }
    return index < 0 ? -index : index >= length ? 2 * length - 2 - index : index;
}

VISTEL_ROW_LOOP
void LaplacianRow(const std::uint8_t* above, const std::uint8_t* row, const std::uint8_t* below,
                  std::int16_t* out, int width)
{
    if (width == 1)
    {
        out[0] = static_cast<std::int16_t>(above[0] + below[0] - 2 * row[0]);
        return;
    }
    out[0] = static_cast<std::int16_t>(above[0] + below[0] + 2 * row[1] - 4 * row[0]);
    for (int x = 1; x < width - 1; ++x)
    {
        out[x] = static_cast<std::int16_t>(above[x] + below[x] + row[x - 1] + row[x + 1] - 4 * row[x]);
    }
    const int last = width - 1;
    out[last] = static_cast<std::int16_t>(above[last] + below[last] + 2 * row[last - 1] - 4 * row[last]);
}

// Pixels as 32-bit words: the colour replaces the whole pixel, alpha included.
VISTEL_ROW_LOOP
void MarkRow(const PixelWord* in, const std::int16_t* laplacian, PixelWord* out, int width, int threshold,
             std::uint32_t color)
{
    for (int x = 0; x < width; ++x)
    {
        const int magnitude = laplacian[x] < 0 ? -laplacian[x] : laplacian[x];
        out[x] = magnitude > threshold ? color : in[x];
    }
}

// Sums of the values and of their squares. 32-bit partial sums are exact for 2048 values of at
// most 1020 in magnitude.
VISTEL_ROW_LOOP
void SumRow(const std::int16_t* values, int count, std::int64_t& sum, std::int64_t& squares)
{
    constexpr int block = 2048;
    for (int start = 0; start < count; start += block)
    {
        const int end = std::min(count, start + block);
        std::int32_t blockSum = 0;
        std::int32_t blockSquares = 0;
        for (int x = start; x < end; ++x)
        {
            blockSum += values[x];
            blockSquares += values[x] * values[x];
        }
        sum += blockSum;
        squares += blockSquares;
    }
}

} // namespace

double PeakingFilter::Apply(const cv::Mat& frame, cv::Mat& output, int threshold, const cv::Scalar& color,
                            cv::Rect scored)
{
    CV_Assert(frame.type() == CV_8UC4);
    output.create(frame.size(), CV_8UC4);
    const int width = frame.cols;
    const int height = frame.rows;
    scored &= cv::Rect(0, 0, width, height);
    if (scored.empty())
    {
        scored = cv::Rect(0, 0, width, height);
    }
    // OpenCV's magnitude saturates at 255, so no threshold from 255 up is ever exceeded.
    const int limit = threshold >= 255 ? 1 << 14 : threshold;
    const std::uint32_t word = PixelWordOf(color);

    grey.create(std::min(height, stripeRows + 2), width, CV_8UC1);
    laplacian.resize(static_cast<std::size_t>(width));
    std::int64_t sum = 0;
    std::int64_t squares = 0;
    for (int top = 0; top < height; top += stripeRows)
    {
        const int bottom = std::min(height, top + stripeRows);
        // Grey rows first..last-1 cover the stripe and its neighbours, reflected ones included.
        const int first = std::max(0, top - 1);
        const int last = std::min(height, bottom + 1);
        cv::Mat stripe = grey.rowRange(0, last - first);
        cv::cvtColor(frame.rowRange(first, last), stripe, cv::COLOR_BGRA2GRAY);
        for (int y = top; y < bottom; ++y)
        {
            LaplacianRow(stripe.ptr<std::uint8_t>(Reflect(y - 1, height) - first),
                         stripe.ptr<std::uint8_t>(y - first),
                         stripe.ptr<std::uint8_t>(Reflect(y + 1, height) - first), laplacian.data(), width);
            MarkRow(frame.ptr<PixelWord>(y), laplacian.data(), output.ptr<PixelWord>(y), width, limit, word);
            if (y >= scored.y && y < scored.y + scored.height)
            {
                SumRow(laplacian.data() + scored.x, scored.width, sum, squares);
            }
        }
    }
    const double count = static_cast<double>(scored.area());
    const double mean = static_cast<double>(sum) / count;
    return std::max(0.0, static_cast<double>(squares) / count - mean * mean);
}

} // namespace Vistel::PictureAids
