#pragma once

#include "FfmpegLibraries.h"
#include "V4l2VideoCapture/V4l2BufferSet.h"
#include "V4l2VideoCapture/V4l2FrameFormat.h"
#include "VideoCapture/FrameConverter.h"

#include <Norvex/Core/Com.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SwsContext;

namespace Norvex::Core::V4l2VideoCapture
{

// The media type is not one this code can stream (the other platform's MF_E_INVALIDMEDIATYPE).
inline constexpr HRESULT invalidMediaTypeStatus = MakeStatus(0xC00D36B4u);

// Turns the buffers of one frame format into top-down BGRA pictures of the format's size. The
// path is chosen once, when the converter is made:
//   - BGRX / BGRA formats are copied with alpha set opaque;
//   - other raw formats go through the FrameConverter (libyuv, libswscale for what it lacks);
//   - MJPG is decoded by TurboJPEG straight into the picture;
//   - H264 and HEVC are decoded by libavcodec, then converted by a FrameConverter (libswscale
//     for decoded layouts it has no name for).
// Every context and buffer is made here or in SetLayout; handling a frame allocates nothing
// (libavcodec keeps its pictures in a pool; the decoded pictures' converter is made on the first
// one and remade only when the stream changes its layout).
//
// Threads: made and laid out on the controlling thread while no capture thread runs; Load and
// WriteTo then run on the capture thread only.
class V4l2FrameConverter
{
public:
    // Raises MF_E_INVALIDMEDIATYPE ("Prepare") for a format that no path handles.
    explicit V4l2FrameConverter(const V4l2FrameFormat& format);
    V4l2FrameConverter(const V4l2FrameConverter&) = delete;
    V4l2FrameConverter& operator=(const V4l2FrameConverter&) = delete;
    ~V4l2FrameConverter();

    // The format the driver settled on (VIDIOC_S_FMT, single- or multi-planar: line lengths,
    // colour encoding) and the largest buffer it fills.
    void SetLayout(const v4l2_format& settled, std::size_t bufferSize);

    // Takes the planes of one buffer; false when there is no picture to show for it (a decoder
    // that holds frames back). The data must stay valid until WriteTo. Raises for damaged or
    // short data.
    bool Load(const V4l2BufferSet::Planes& planes);
    // Writes the loaded picture into `target` (the format's size, top row first), and with
    // `jpegPlanes` (only where HasJpegPath) JPEG's planes of it in the same pass.
    void WriteTo(Image<Pixel<unsigned char>>& target, std::uint8_t* jpegPlanes = nullptr);
    bool HasJpegPath() const noexcept
    {
        return path == Path::Convert && converter && converter->HasJpegPath();
    }
    // The raw picture the last WriteTo converted, valid as long as the loaded buffer; null after a
    // decoded one.
    const VideoCapture::FrameSource* GetSource() const noexcept
    {
        return source.converter ? &source : nullptr;
    }

    // Whether a path handles this pixel format (H264 and HEVC: whether libavcodec decodes it).
    static bool CanConvert(std::uint32_t pixelFormat) noexcept;

    // The tight length of a line of the first plane; 0 for compressed and unknown formats.
    static std::uint32_t GetLineLength(std::uint32_t pixelFormat, std::int32_t width) noexcept;

    // For MJPG, TurboJPEG into BGRA took 9 to 25 per cent less CPU per 1080p frame than
    // libavcodec + libswscale (bench/v4l2), so Decode serves H264 and HEVC only.
    enum class Path
    {
        Copy,
        Convert,
        Decode,
        Jpeg,
    };
    Path GetPath() const noexcept { return path; }

private:
    // The compressed formats' side, in V4l2CompressedFrames.cpp.
    void OpenJpeg();
    void OpenDecoder(bool h264); // else HEVC
    bool LoadJpeg(const unsigned char* data, std::size_t size);
    bool LoadEncoded(const unsigned char* data, std::size_t size);
    bool FitsCodedSize(int codedWidth, int codedHeight) const noexcept;
    void WriteConverted(Image<Pixel<unsigned char>>& target, std::uint8_t* jpegPlanes);
    void WriteDecoded(Image<Pixel<unsigned char>>& target);
    void WriteJpeg(Image<Pixel<unsigned char>>& target);

    Path path = Path::Copy;
    std::int32_t width;
    std::int32_t height;

    // Raw layouts: the layout, where its planes lie within a buffer, and the buffer's least size.
    // Layouts with a memory plane for each picture plane (NV12M, YUV420M) have their planes'
    // line lengths and least sizes in `geometry` instead, and their offsets are 0.
    VideoCapture::PixelLayout layout = VideoCapture::PixelLayout::Bgrx;
    VideoCapture::ContiguousGeometry geometry;
    std::size_t memoryPlanes = 1;
    std::size_t leastPlaneSize[3] = {};
    std::unique_ptr<VideoCapture::FrameConverter> converter; // raw layouts and decoded pictures
    // R'G'B' the driver states as limited range is stretched to full range through this table of
    // libyuv's ARGBColorTable (256 entries of blue, green, red, alpha).
    bool expandsRange = false;
    std::array<std::uint8_t, 1024> rangeTable{};

    // The buffer being handled (between Load and WriteTo).
    V4l2BufferSet::Planes loaded;
    const unsigned char* loadedData = nullptr; // of an encoded picture
    std::size_t loadedSize = 0;
    VideoCapture::FrameSource source; // set by WriteConverted, cleared by the other paths' WriteTo

    struct Deleters
    {
        void operator()(AVCodecContext* context) const noexcept;
        void operator()(AVFrame* frame) const noexcept;
        void operator()(AVPacket* packet) const noexcept;
        void operator()(SwsContext* context) const noexcept;
    };
    std::unique_ptr<SwsContext, Deleters> scaler; // decoded pictures the FrameConverter has no name for
    const FfmpegLibraries::Codecs* libavcodec = nullptr; // opened for the Decode path
    std::unique_ptr<AVCodecContext, Deleters> decoder;
    std::unique_ptr<AVPacket, Deleters> packet;
    std::unique_ptr<AVFrame, Deleters> decoded;  // the picture WriteTo shows
    std::unique_ptr<AVFrame, Deleters> received; // where the decoder hands pictures out
    std::vector<unsigned char> packetBuffer;     // compressed data with libavcodec's zero padding
    // The decoded picture the converter or scaler was made for.
    int scalerWidth = 0;
    int scalerHeight = 0;
    int scalerFormat = -1;
    bool scalerFullRange = false;
    int scalerColourSpace = -1;

    struct JpegDeleter
    {
        void operator()(void* handle) const noexcept;
    };
    std::unique_ptr<void, JpegDeleter> jpeg;
    int jpegWidth = 0; // of the loaded picture, which may be a few rows or columns larger
    int jpegHeight = 0;
    std::vector<unsigned char> cropBuffer;
};

} // namespace Norvex::Core::V4l2VideoCapture
