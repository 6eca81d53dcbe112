#pragma once

#include "FrameQueue.h"

#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VistelCapture
{

class AviFileWriter;
class FfmpegMovieWriter;

// Turns a stream of frames into a movie file: uncompressed 24-bit AVI, WMV1, WMV2 or WMV3 in ASF,
// or H.264 in MP4; or keeps a camera's own compressed stream as it is: JPEG pictures in an MJPG
// AVI, H.264 access units in MP4 (AddPacket, nothing decoded or encoded). Open and Close run on the
// user-interface thread, AddFrame on a capture thread; every operation takes the writer's lock, the innermost
// lock of the system apart from the frame queue's own (the writer calls nothing back).
//
// Encoding and writing run on a thread of the writer's own: AddFrame stamps the frame's arrival
// time, copies it into the frame queue (an AVI frame converted to the file's rows on the way) and
// returns, waiting only while about a second of frames is already queued. A failure of that thread
// is raised by the next AddFrame or by Close.
//
// Each frame may come with a FrameDone, told once whether the frame made it into the file: as soon
// as a reader would find it there after a kill (an AVI's frame once its chunk and the header's
// counts are written; an ASF's once a data packet with its end is, the muxer's open packet being
// written ahead after every frame; an MP4's once its fragment is), or that it never will. Frames
// are told in the order they came, on the writer's thread, or in Close (and in an Open that closes
// a file) for what the file's finish settles. A FrameDone runs without the writer's lock held by
// its thread, and must not call the writer; what it raises is the writer thread's failure.
class VideoWriter
{
public:
    enum Format : std::int32_t
    {
        Avi = 0,
        Wmv1 = 1,
        Wmv2 = 2,
        Wmv3 = 3,
        H264 = 4,
        MjpegCopy = 5,
        H264Copy = 6
    };

    // Whether a format takes the camera's packets (AddPacket) instead of frames (AddFrame).
    static bool TakesPackets(Format format) noexcept { return format == MjpegCopy || format == H264Copy; }

    // How the frames of a WMV or MP4 are timed: by when they arrived (a camera that stalls leaves
    // a pause in the movie), or one frame period apart (time-lapse: the movie plays sped up). An
    // AVI is always timed by its rate.
    enum class Timing
    {
        Arrival,
        FrameRate
    };

    // Whether a frame is in the file (true), or is lost (false).
    using FrameDone = std::function<void(bool inFile)>;

    // Where sample times come from; tests pass a clock of their own.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    VideoWriter();
    explicit VideoWriter(Clock clock);
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;
    ~VideoWriter();

    // Finishes a file still open, then creates (or overwrites) the file. A failed Open leaves
    // the writer closed. The AVI format ignores the bit rate.
    void Open(Format format, const std::wstring& filePath, std::int32_t width, std::int32_t height,
              double frameRate, std::uint32_t bitRate, Timing timing = Timing::Arrival);
    // Appends one frame; its top-left part that fits is written, the rest of the picture is
    // black. When no file is open, the frame is lost. Raises a failure of an earlier frame; then
    // `done` is never called.
    void AddFrame(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& frame, FrameDone done = {});
    // Appends one unit of the camera's stream (a JPEG picture, an H.264 access unit) taken at
    // `time` nanoseconds of the camera's clock; the MP4 keeps the differences of those times.
    // When no file is open, the unit is lost; raises a failure of an earlier one, or for a format
    // that takes frames (then `done` is never called).
    void AddPacket(const unsigned char* data, std::size_t size, std::int64_t time, FrameDone done = {});
    // Writes every frame still queued, then finishes and closes the file; does nothing when none
    // is open. Afterwards the writer is closed even when this raises.
    void Close();

    // Returns once every frame added so far has been through the encoder into the file (as far as
    // the encoder's own delay lets it); raises a failure of the writer's thread as AddFrame would.
    // What a killed process leaves behind is what the file held at that moment.
    void WaitUntilWritten();

    bool IsOpen();

    // Whether the encoder of the file opened last found its bit rate below what it can reach
    // (WMV3 at its coarsest quantiser still over the rate), so the file comes out larger than
    // asked. Set by the writer's thread, cleared by Open; any thread, no lock.
    bool RateOutOfReach() const noexcept { return rateOutOfReach.load(); }

    // Frames the queue of the open file holds at most (about one second, at most 256 MB of them),
    // and the most it has held at once; 0 when no file is open.
    std::size_t GetQueueCapacity();
    std::size_t GetPeakQueuedFrames();

private:
    void CloseLocked();
    // Starts the writer's thread for the file just opened.
    void StartQueue();
    // Fills rows with the frame as the AVI file holds it: bottom-up 24-bit rows, black where the
    // frame does not reach.
    // Frames the open file's back-end has taken, and how many of those are in the file.
    std::int64_t FramesTaken() const;
    std::int64_t FramesInFile() const;
    // After the back-end had a frame: its FrameDone waits for the file, or hears it is lost; then
    // the frames now in the file are told (writer's thread, or the closing one).
    void Settle(FrameDone done, std::int64_t takenBefore);
    void TellWritten();
    void ConvertToAviRows(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& frame,
                          std::vector<unsigned char>& rows) const;

    // A frame on its way to the writer's thread. AVI: the file's rows, converted on the way in, so
    // the writer's thread only copies them into the page cache. Movies: a copy of the part of the
    // BGRA frame that fits, with its sample time in 100 ns units. The camera's packets: their
    // bytes, and for MP4 the sample time.
    struct QueuedFrame
    {
        std::vector<unsigned char> bytes;
        Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>> picture;
        std::int64_t sampleTime = 0;
        FrameDone done;
    };

    Norvex::Core::CriticalSection lock; // guards every field below
    Format format = Avi;                // of the last Open, kept after Close
    std::int32_t bytesPerInputPixel = 4;
    std::int32_t width = 0;
    std::int32_t height = 0;
    double frameRate = 0;
    std::int32_t stride = 0; // AVI: negative 24-bit row size (bottom-up); else the BGRA row size

    // Open while an AVI, or a WMV or MP4, is written. While the queue exists only its thread
    // touches them; Open and Close touch them before it starts and after it ends.
    std::unique_ptr<AviFileWriter> aviFile;
    std::unique_ptr<FfmpegMovieWriter> movieFile;
    // Carries the frames to the writer's thread; exists while a file is open.
    std::unique_ptr<FrameQueue<QueuedFrame>> queue;
    // The FrameDone of each frame the back-end took and that is not in the file yet, oldest
    // first, and how many frames of the file were told. Touched like the files above.
    std::deque<FrameDone> inFlight;
    std::int64_t framesTold = 0;

    Clock clock;
    bool timingStarted = false;                      // false until the first frame after Open
    std::chrono::steady_clock::time_point startTime; // arrival of that first frame
    std::int64_t firstPacketTime = 0;                // the camera's time of the first packet
    std::int64_t frameDuration = 0;                  // one frame in 100 ns units
    Timing timing = Timing::Arrival;                 // of the open file
    std::int64_t framesAdded = 0;                    // to the open file, for Timing::FrameRate
    std::atomic<bool> rateOutOfReach = false;        // outside the lock: see RateOutOfReach
};

} // namespace VistelCapture
