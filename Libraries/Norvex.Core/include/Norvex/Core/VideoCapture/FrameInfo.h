#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace Norvex::Core::VideoCapture
{

// What a back-end knows of a frame besides its picture, published with it (Device::LockedFrame).
struct FrameInfo
{
    // When the camera took the frame, on the monotonic clock (steady_clock is CLOCK_MONOTONIC):
    // the driver's buffer time stamp where there is one, else the arrival. Left at its epoch by a
    // back-end, DeliverFrame stamps the arrival.
    std::chrono::steady_clock::time_point captureTime{};
    bool fromDriver = false; // captureTime is the driver's (or the source element's) time stamp
    // The same moment on the wall clock, worked out by DeliverFrame from the time since capture.
    std::chrono::system_clock::time_point wallClock{};
    // The camera's own frame count (V4L2's buffer sequence, a GStreamer buffer's offset).
    std::optional<std::uint64_t> sequence;
    // The device's GetDroppedFrameCount as this frame arrived: gaps before it are counted in it.
    std::uint64_t droppedFrames = 0;
};

} // namespace Norvex::Core::VideoCapture
