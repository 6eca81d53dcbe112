#pragma once

#include "V4l2VideoCapture/V4l2BufferSet.h"
#include "V4l2VideoCapture/V4l2FileHandle.h"
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>
#include <Norvex/Core/VideoCapture/Device.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

class V4l2FrameConverter;

// A V4L2 video-capture node. The node is opened only while streaming, so the camera is free for
// other programs otherwise. While started, one capture thread of the device polls the node,
// dequeues each filled buffer, turns it into `frame`, calls the frame callback and queues the
// buffer again. A stream that cannot go on (the queue's error, an unplugged camera) ends with one
// report and the device no longer counts as started; a camera that sends nothing for a while is
// reported once as stalled and its stream started afresh (STREAMOFF, buffers queued, STREAMON);
// if that brings no picture either, the stream ends with a second report.
//
// Threads and locks: Start, Stop, Prepare, Unprepare and the destructor run on a controlling
// thread and take streamSection for their whole run (Stop also while it joins the capture
// thread, which never takes streamSection). The capture thread owns the node's buffer queue,
// the converter and `converted` while it runs; it decodes and converts each frame into
// `converted` without a lock, then takes frameSection only to swap it into `frame` and call the
// frame callback (under callbackSection). Lock order: streamSection, frameSection,
// callbackSection.
class V4l2Device final : public VideoCapture::Device
{
public:
    // Reads the node's name and formats, then prepares format 0. `node` is the /dev/video path;
    // `devicePath` becomes the persistent path the kernel interface names for it.
    V4l2Device(KernelInterface& kernel, const std::string& node, bool skipDuplicatedFrameFormat);
    ~V4l2Device() override;

    bool IsStarted() const override;
    void Start() override;
    void Stop() override;
    ComPointer<VideoCapture::CameraControl>& GetCameraControl() override;
    ComPointer<VideoCapture::VideoProcAmp>& GetVideoProcAmp() override;
    void Prepare() override;
    void Unprepare() override;
    // Counted from the gaps in the buffers' sequence numbers and from buffers the driver marked
    // as damaged.
    std::uint64_t GetDroppedFrameCount() const override;
    // From the buffers' timestamps and sequence numbers over the last 32 frames.
    double GetMeasuredFrameRate() const override;
    // A capture card's format of the same layout at its signal's new size, the one nearest the
    // signal's rate.
    std::int32_t GetSignalFormatIndex() const override;
    // The silence after which a started camera is reported as stalled, taken at the next Start;
    // 0 (the default): the longer of 2 s and ten frame intervals of the selected format. The
    // first picture after Start may take up to 5 s.
    void SetStallThreshold(std::chrono::milliseconds threshold);

    // The node opened at the last Start (at first the one the device was found on).
    const std::string& GetNode() const noexcept { return node; }
    // V4L2_BUF_TYPE_VIDEO_CAPTURE or V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE.
    std::uint32_t GetBufferType() const noexcept { return bufferType; }

    // The buffer type a node with these capabilities streams video in: single-planar capture
    // where it has both, multi-planar capture, or 0 for a node that is no streaming capture node.
    static std::uint32_t CaptureBufferType(const v4l2_capability& capability) noexcept;

private:
    class EventDescriptor;
    class RateMeter;

    bool OnCaptureThread() const noexcept;
    void EndCaptureThread();
    void ReleaseStream() noexcept;
    std::chrono::milliseconds GetStallThreshold() const;
    void ReportErrno(int error, int line) noexcept;
    // The stream cannot go on: the device counts as stopped, then the error is reported.
    void EndStream(int error, int line) noexcept;
    void CaptureLoop(std::chrono::milliseconds stallAfter);
    // STREAMOFF, every buffer queued again, STREAMON (capture thread); false with errno set.
    bool RestartStream();
    // Whether the node's current input has DV timings (a capture card's HDMI or SDI input);
    // subscribes to its source-change events.
    bool WatchSource();
    // The input's timings where it has them, the format, its rate, the buffers and the
    // converter's layout; raises what fails, naming the step and the node.
    void Negotiate();
    // The listed format of `layout` at the size of `timings`, nearest their rate (or the selected
    // format's); -1 when none.
    std::int32_t FindSignalFormat(std::uint32_t layout, const v4l2_dv_timings& timings) const;
    void StreamOn();
    // Raises errno of `step`; no signal at a capture card's input is said as such.
    [[noreturn]] void RaiseStreamError(int error, const char* step) const;
    // Takes the node's events; after a source change negotiates again and streams on. False when
    // the stream ended (reported).
    bool FollowSource();
    // Handles one dequeued buffer; failures go to the exception callback.
    void OnFrame(const V4l2BufferSet::Planes& planes, const VideoCapture::FrameInfo& info);

    std::string ResolveNode() const;

    KernelInterface& kernel;
    // A camera plugged in again while a descriptor of its old node was still open comes back
    // under another node; the persistent path names it all the same.
    std::string node; // changed by Start only, under streamSection
    std::string persistentPath;
    std::uint32_t bufferType = 0; // fixed at construction
    bool watchesSource = false;   // set by Start

    CriticalSection streamSection;
    // Everything below is changed only under streamSection while no capture thread runs.
    std::unique_ptr<V4l2FrameConverter> converter;
    Image<Pixel<unsigned char>> converted;      // the next picture; the capture thread's while it runs
    std::shared_ptr<V4l2FileHandle> handle;     // set exactly while started
    std::unique_ptr<V4l2BufferSet> buffers;     // set exactly while started
    std::unique_ptr<EventDescriptor> wakeEvent; // Stop's signal to the capture thread
    ComPointer<VideoCapture::CameraControl> cameraControl;
    ComPointer<VideoCapture::VideoProcAmp> videoProcAmp;
    std::thread captureThread;
    std::atomic<std::thread::id> captureThreadId{};
    // Cleared by the capture thread too, when the stream ends by itself; Stop or Start then
    // release what is left of it.
    std::atomic<bool> started{false};
    std::chrono::milliseconds stallThreshold{0};

    std::atomic<std::uint64_t> droppedFrames{0}; // written by the capture thread
    std::atomic<double> measuredRate{0.0};       // likewise; 0 until two frames came
    // Set by Negotiate (capture thread while it runs), read after the report that ended the stream.
    std::atomic<std::int32_t> signalFormatIndex{-1};
    bool decodingFails = false; // the capture thread's alone
};

} // namespace Norvex::Core::V4l2VideoCapture
