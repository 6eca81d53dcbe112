#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace Vistel::PictureAids
{

// Focus peaking on one frame: the grey picture's Laplacian (4-neighbour kernel, borders reflected
// as OpenCV's default) is its local contrast; pixels whose absolute Laplacian is above the
// threshold are painted in the colour over a copy of the frame. The sharpness score is the
// Laplacian's variance over the scored rectangle: it is largest when the picture is in focus and
// falls as it blurs.
//
// The result is exactly that of OpenCV's cvtColor, Laplacian, convertScaleAbs, compare, copyTo,
// masked setTo and meanStdDev; but those are seven passes over full-frame temporaries, which took
// 9-13 ms per 1080p frame on one core, close to or past a third of a 30 fps frame interval on a
// busy machine. Here one pass goes over the frame in stripes of rows that stay in the cache: the
// stripe's grey rows (OpenCV's conversion), then row by row the Laplacian, the marks while
// copying, and the score's sums from the same Laplacian row.
//
// Keeps its working buffers between frames; one thread at a time.
class PeakingFilter
{
public:
    // frame is BGRA; output becomes a BGRA copy of it with the marks (it is reallocated only when
    // its size or type differ).
    // scored is clipped to the frame (empty after clipping: the whole frame). Returns the score.
    double Apply(const cv::Mat& frame, cv::Mat& output, int threshold, const cv::Scalar& color,
                 cv::Rect scored);

private:
    cv::Mat grey;                        // the grey rows of one stripe and one row either side
    std::vector<std::int16_t> laplacian; // one row
};

} // namespace Vistel::PictureAids
