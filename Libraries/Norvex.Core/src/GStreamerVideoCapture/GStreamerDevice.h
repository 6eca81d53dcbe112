#pragma once

#include "GStreamerVideoCapture/GStreamerHandle.h"
#include "VideoCapture/FrameConverter.h"

#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/VideoCapture/Device.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace Norvex::Core::GStreamerVideoCapture
{

// A capture device reached through GStreamer. One pipeline per device, built at construction:
// the device's element, a capsfilter holding the selected format, decodebin, videoconvert and an
// appsink that accepts the raw layouts the FrameConverter has (libyuv's, and BGRA). A raw camera
// format among them passes videoconvert untouched and is converted in OnFrame; decodebin decodes
// compressed formats, and videoconvert converts only layouts the appsink does not take. Start
// applies the selected format and sets it PLAYING; Stop sets it to NULL, which joins the
// streaming thread, then ends the converter thread.
//
// The appsink's samples wait for the converter thread in a queue of a few, as a V4L2 driver's
// buffers do: when the queue is full the oldest is dropped and counted, so the picture shown is
// never older than the queue and the camera is never held up by a slow frame callback.
//
// Threads: the user-interface thread constructs, starts, stops and destroys. The appsink's
// streaming thread only queues samples (queueMutex). The converter thread runs OnFrame: it
// converts into `converted` without a lock, then takes frameSection to swap it into `frame` and
// callbackSection to call the frame callback. While the picture is made on demand
// (SetPictureOnDemand), it converts nothing: the sample stays mapped in `held` until the next
// frame is delivered (or the stream stops, or the caps change), and the frame's first reader
// converts from it. Any thread that posts on the bus runs OnBusMessage
// (busSection, released before callbackSection is taken).
class GStreamerDevice final : public VideoCapture::Device
{
public:
    // Reads the names and formats of `device` (a reference of its own is taken) and builds the
    // pipeline; leaves the device prepared with format 0. Raises "GStreamerDevice" on failure.
    GStreamerDevice(GstDevice* device, bool skipDuplicatedFrameFormat);
    ~GStreamerDevice() override;

    bool IsStarted() const override;
    void Start() override;
    void Stop() override;
    ComPointer<VideoCapture::CameraControl>& GetCameraControl() override;
    ComPointer<VideoCapture::VideoProcAmp>& GetVideoProcAmp() override;
    // Samples dropped from the full queue since the last Start.
    std::uint64_t GetDroppedFrameCount() const override;

    // The identifier of a GStreamer device: its V4L2 node when it has one, else the path its
    // provider gives it; empty when it has neither.
    static std::wstring GetDevicePath(GstDevice* device);

private:
    // The raw layouts the appsink takes, as caps.
    static GStreamerHandle<GstCaps> SinkCaps();
    struct Glue; // the C callbacks GStreamer calls

    void BuildPipeline();
    void ReadFrameFormats(bool skipDuplicatedFrameFormat);
    void OpenControls();
    void QueueSample(GStreamerHandle<GstSample> sample);
    void ConvertQueuedSamples();
    void OnFrame(GStreamerHandle<GstSample> sample);
    // Lets the device make the held frame's picture if nothing has read it yet, then unmaps it.
    void ReleaseHeldSample() noexcept;
    // The camera's buffers on their way to decodebin: their frame counts noted, their bytes kept
    // while a recording wants them.
    void OnEncodedBuffer(GstBuffer* buffer);
    // The frame count the camera gave the buffer of this time stamp, if it is among the last few.
    std::optional<std::uint64_t> SequenceBefore(GstClockTime pts);
    void OnBusMessage(GstMessage* message);
    void StopPipeline() noexcept;
    // The converter for frames of these caps: the last one, or one made for them.
    VideoCapture::FrameConverter& ConverterFor(GstCaps* caps, const GstVideoInfo& info);

    std::shared_ptr<GStreamerInitializer> gstreamer;
    GStreamerHandle<GstDevice> device;
    GStreamerHandle<GstElement> pipeline; // owns every element below
    GstElement* capsFilter = nullptr;
    GstElement* appSink = nullptr;
    ComPointer<VideoCapture::CameraControl> cameraControl; // null unless the node is V4L2
    ComPointer<VideoCapture::VideoProcAmp> videoProcAmp;   // null unless the node is V4L2
    // The streaming thread's while started; Start sets the stream's size and Stop drops the
    // converter, each while no streaming thread runs.
    std::unique_ptr<VideoCapture::FrameConverter> frameConverter; // for the caps below
    GStreamerHandle<GstCaps> converterCaps;                       // the caps it was made for
    GStreamerHandle<GstVideoInfo> converterInfo;                  // those caps, parsed once
    Image<Pixel<unsigned char>> converted;                        // the next picture
    std::int32_t streamWidth = 0;                                 // the started format's size
    std::int32_t streamHeight = 0;
    // A sample mapped for reading (the planes as the video meta, or else the caps, place them),
    // the planes in the converter's order; unmapped when it goes.
    struct MappedSample
    {
        MappedSample(GStreamerHandle<GstSample> sample, const GstVideoInfo& info,
                     const VideoCapture::FrameConverter& converter);
        MappedSample(const MappedSample&) = delete;
        MappedSample& operator=(const MappedSample&) = delete;
        ~MappedSample();

        GStreamerHandle<GstSample> sample;
        GstVideoFrame mapped{};
        VideoCapture::FrameSource source;
    };
    // The converter thread's: the sample of the last frame delivered on demand, mapped, which the
    // device may still make the frame's picture of.
    std::unique_ptr<MappedSample> held;
    // Written by the user-interface thread, read by the streaming thread; set after the pipeline
    // is ready for frames, so a frame seen with it set sees the device's fields too.
    std::atomic<bool> started{false};
    // Set by the bus when the camera went away: the device counts as stopped from then on, and
    // Stop or Start release what is left of the pipeline.
    std::atomic<bool> ended{false};

    // Samples waiting for the converter thread: two, besides the one it converts, keep the
    // picture at most a few frames old and ride out a short stall without a drop.
    static constexpr std::size_t queuedSampleLimit = 2;
    std::mutex queueMutex;                                // guards the two fields below; taken alone
    std::deque<GStreamerHandle<GstSample>> queuedSamples; // oldest first
    bool endConverter = false;                            // the converter thread returns when set
    std::condition_variable queueChanged;
    std::thread converterThread;                      // started by Start, joined by StopPipeline
    std::atomic<std::thread::id> converterThreadId{}; // for refusing Stop from a frame callback
    std::atomic<std::uint64_t> droppedFrames{0};      // reset by Start

    // The last buffers' time stamps and frame counts before decodebin, which decoders clear:
    // a decoded frame finds its count by its time stamp (decoders keep it). Reset by Start.
    std::mutex sequenceMutex; // guards the two fields below; taken alone
    std::array<std::pair<GstClockTime, std::uint64_t>, 16> recentSequences{};
    std::size_t nextSequence = 0;

    CriticalSection busSection;             // guards the two fields below; taken alone
    bool starting = false;                  // bus errors are Start's own failure meanwhile
    std::optional<Exception> startingError; // the first of them
};

} // namespace Norvex::Core::GStreamerVideoCapture
