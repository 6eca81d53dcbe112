#pragma once

#include "AsfPacketFollower.h"
#include "FfmpegLibraries.h"
#include "Wmv3Encoder.h"
#include "Wmv3RateControl.h"

#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace VistelCapture
{

// Encodes BGRA frames and muxes them with libavformat: WMV1 or WMV2 (libavcodec) or WMV3 (our own
// encoder) in ASF, or H.264 Main profile (libx264) in fragmented MP4, so that a recording cut
// short by a crash still plays up to its last complete fragment (one second at most). Or muxes a
// camera's own H.264 access units into fragmented MP4 as they are (H264Copy). Times are in 100 ns
// units. Not thread-safe: the owner serialises the calls.
class FfmpegMovieWriter
{
public:
    enum class Codec
    {
        Wmv1,
        Wmv2,
        Wmv3,
        H264,
        H264Copy, // the camera's access units, not encoded here; the bit rate is the camera's
    };

    // Pictures from one key frame to the next in the WMV formats: libavcodec's own default for
    // WMV1 and WMV2, and the same for WMV3.
    static constexpr int WmvKeyFrameInterval = 12;

    // x264's preset for this picture rate on this machine: veryfast while each processor has at
    // most 20 million pixels a second to code, superfast above, so that 1920 x 1080 at 30 frames
    // per second on two cores keeps up with the camera even while other programs run.
    static const char* H264Preset(std::int32_t width, std::int32_t height, double frameRate);
    // x264's frame threads: one and a half per processor, as x264 picks by itself, but at most
    // four, so a killed recording loses little more than the fragment being filled.
    static int H264ThreadCount();
    FfmpegMovieWriter();
    FfmpegMovieWriter(const FfmpegMovieWriter&) = delete;
    FfmpegMovieWriter& operator=(const FfmpegMovieWriter&) = delete;
    // Drops an unfinished movie without its trailer (a fragmented MP4 still plays).
    ~FfmpegMovieWriter();

    // Sets up the encoder before the file is created, so a refused setting leaves no file.
    void Open(Codec codec, const std::string& path, std::int32_t width, std::int32_t height, double frameRate,
              std::uint32_t bitRate);
    // The frame's top-left part that fits is encoded; the rest of the picture is black.
    void AddFrame(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& frame,
                  std::int64_t sampleTime, std::int64_t sampleDuration);
    // H264Copy: one access unit in Annex B form. The file's header waits for the first unit,
    // which must be a key frame with its parameter sets.
    void AddPacket(const unsigned char* data, std::size_t size, std::int64_t sampleTime,
                   std::int64_t sampleDuration);
    // Drains the encoder and writes the trailer. The writer is closed even when this raises.
    void Close();

    bool IsOpen() const noexcept { return format != nullptr; }
    // WMV3: the bit rate asked for is below what the coarsest quantiser gives for these pictures,
    // so the file comes out larger. Stays set until the next Open.
    bool RateOutOfReach() const noexcept { return wmv3Rate && wmv3Rate->RateOutOfReach(); }

    // Frames the movie opened last has taken (into the encoder, or straight into the muxer), in
    // the order they came, and how many of them a reader finds in the file as it is now, were
    // the program killed this moment: in MP4 those in complete fragments, in ASF all of them once
    // the muxer's open data packet is written ahead (else those whose last byte is in a complete
    // data packet); after Close all of them. The encoders neither drop nor
    // reorder frames, so the frames in the file are always the first ones taken. After a failed
    // write the count stays where it was: what follows may have gaps.
    std::int64_t GetFramesTaken() const noexcept { return framesTaken; }
    std::int64_t GetFramesInFile() const noexcept { return framesInFile; }

private:
    struct Deleter
    {
        void operator()(AVFormatContext* context) const noexcept;
        void operator()(AVCodecContext* context) const noexcept;
        void operator()(AVFrame* frame) const noexcept;
        void operator()(AVPacket* packet) const noexcept;
    };

    void OpenWmv3(const std::string& path, double frameRate, std::uint32_t bitRate);
    // Makes the output of `container` with one video stream of `codecId` at the movie's size.
    AVCodecParameters& AddStream(const char* container, const std::string& path, AVCodecID codecId);
    // The stream's codec-specific header (WMV3's sequence header, H.264's parameter sets).
    void SetExtradata(std::span<const std::uint8_t> bytes, const char* functionName);
    void StateAsfFrameRate(double frameRate);
    // H.264, encoded or the camera's, goes into MP4; every WMV into ASF.
    bool IsMp4() const noexcept { return codec == Codec::H264 || codec == Codec::H264Copy; }
    void StartFile(const std::string& path);
    void CreateFile(const std::string& path);
    void WriteHeader();
    void Encode(const AVFrame* picture, const char* functionName);
    void EncodeWmv3(std::int64_t sampleTime, std::int64_t sampleDuration);
    // One frame's coded bytes, made by us or by the camera, as the next packet.
    void WriteBytesAsPacket(const unsigned char* data, std::size_t size, bool key, std::int64_t sampleTime,
                            std::int64_t sampleDuration);
    void WritePacket(AVRational packetBase, const char* functionName);
    // Where the muxer's output ends; every byte before it is in the file (packets are flushed).
    std::int64_t FileEnd() const;
    // Brings framesInFile up to date after the packet of frame `packetsBefore` went to the muxer.
    void CountFramesInFile(std::int64_t packetsBefore, std::int64_t endBefore);
    // After a failed write (of the MP4 fragment that starts at `start`): counts the frames a
    // reader still finds in what was written.
    void CountCutFile(std::int64_t start);
    void Reset() noexcept;

    // Opened by the first Open: a program that never records a movie never loads them.
    const Norvex::Core::FfmpegLibraries::Codecs* libavcodec = nullptr;
    const Norvex::Core::FfmpegLibraries::Formats* libavformat = nullptr;
    Codec codec = Codec::H264;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::unique_ptr<AVCodecContext, Deleter> encoder; // libavcodec's, for all but WMV3
    std::unique_ptr<Wmv3Encoder> wmv3;                // ours, for WMV3
    std::optional<Wmv3RateControl> wmv3Rate;
    std::vector<std::uint8_t> wmv3Packet;
    std::unique_ptr<AVFormatContext, Deleter> format;
    AVStream* stream = nullptr; // owned by format
    std::unique_ptr<AVFrame, Deleter> picture;
    std::unique_ptr<AVPacket, Deleter> packet;
    std::vector<unsigned char> canvas; // BGRA at the movie's size, for frames of another size
    // Arrival times of frames inside the WMV encoder: it needs a time base of one frame, while
    // the file carries the real times.
    std::deque<std::int64_t> pendingTimes;
    std::int64_t lastPts = 0;
    std::int64_t lastDts = 0;
    std::int64_t frameDuration = 0;
    bool anyFrame = false;
    bool anyPacket = false;
    bool headerWritten = false;
    std::string createdPath; // the file the running Open made: removed again when Open fails
    std::string filePath;
    double asfFrameRate = 0; // the nominal rate the ASF header states, 0 for MP4

    std::int64_t framesTaken = 0;
    std::int64_t framesInFile = 0;
    std::int64_t packetsWritten = 0; // one a frame, in the frames' order
    bool countingStopped = false;    // a write failed, or the file could not be read back
    // The file read back: ASF's data packets one at a time, from the end of the last one read, and
    // written ahead of the muxer; an MP4 fragment cut short by a failed write.
    Norvex::Core::FileDescriptor readBack;
    // MP4: the sizes of the packets the muxer holds for the fragment being filled, oldest first.
    std::deque<std::int64_t> fragmentSizes;

    // ASF: the muxer's data packets followed, and its open one written ahead.
    AsfPacketFollower asfPackets;
};

} // namespace VistelCapture
