#include "PeakingFilter.h"

#include <opencv2/imgproc.hpp>

namespace Vistel::PictureAids
{

double PeakingFilter::Apply(const cv::Mat& frame, cv::Mat& output, int threshold, const cv::Scalar& color,
                            cv::Rect scored)
{
    cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
    cv::Laplacian(grey, laplacian, CV_16S, 1);
    cv::convertScaleAbs(laplacian, magnitude);
    cv::compare(magnitude, threshold, mask, cv::CMP_GT);
    frame.copyTo(output);
    output.setTo(color, mask);

    scored &= cv::Rect(0, 0, frame.cols, frame.rows);
    if (scored.empty())
    {
        scored = cv::Rect(0, 0, frame.cols, frame.rows);
    }
    cv::Scalar mean;
    cv::Scalar deviation;
    cv::meanStdDev(laplacian(scored), mean, deviation);
    return deviation[0] * deviation[0];
}

} // namespace Vistel::PictureAids
