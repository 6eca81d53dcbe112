#pragma once

#include <opencv2/core.hpp>

namespace Vistel::PictureAids
{

// Focus peaking on one frame: the grey picture's Laplacian (4-neighbour kernel) is its local
// contrast; pixels whose absolute Laplacian is above the threshold are painted in the colour over
// a copy of the frame. The sharpness score is the Laplacian's variance over the scored rectangle:
// it is largest when the picture is in focus and falls as it blurs.
//
// Keeps its working buffers between frames; one thread at a time.
class PeakingFilter
{
public:
    // frame and output are BGRA; output becomes a copy of frame with the marks. scored is
    // clipped to the frame (empty after clipping: the whole frame). Returns the score.
    double Apply(const cv::Mat& frame, cv::Mat& output, int threshold, const cv::Scalar& color,
                 cv::Rect scored);

private:
    cv::Mat grey;
    cv::Mat laplacian; // signed 16-bit
    cv::Mat magnitude;
    cv::Mat mask;
};

} // namespace Vistel::PictureAids
