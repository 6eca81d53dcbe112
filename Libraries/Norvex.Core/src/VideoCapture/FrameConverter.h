#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

struct SwsContext;
struct YuvConstants;

namespace Norvex::Core::VideoCapture
{

class JpegPlaneConverter;
class YcbcrConverter;

// The uncompressed picture layouts cameras deliver, named by their memory order.
enum class PixelLayout
{
    Bgrx,   // blue, green, red, then a byte that is padding or a camera's alpha
    Rgb24,  // red, green, blue
    Bgr24,  // blue, green, red
    Rgb565, // 16-bit little-endian words, red in the high bits
    Rgb555, // 16-bit little-endian words, the top bit unused
    Yuyv,
    Yvyu,
    Uyvy,
    Nv12,
    Nv21,
    Nv16,
    I420,
    Yv12, // I420 with V before U
    I422,
    I444,
    Grey,
    Grey16, // little-endian
    BayerBggr,
    BayerGbrg,
    BayerGrbg,
    BayerRggb,
};

// How a Y'CbCr picture encodes its colours; RGB and grey layouts ignore it (grey is taken as full
// range, as libswscale and GStreamer take it).
struct ColourEncoding
{
    enum class Matrix
    {
        Bt601,
        Bt709,
        Bt2020,
        Smpte240m,
    };
    Matrix matrix = Matrix::Bt601;
    bool fullRange = false;
};

// Where the planes of one picture lie: up to three, each with its own line length in bytes.
struct SourcePlanes
{
    const std::uint8_t* data[3] = {};
    int stride[3] = {};
};

// The planes of a buffer that holds them one after another, as V4L2's single-plane formats do.
struct ContiguousGeometry
{
    std::size_t offset[3] = {};
    int stride[3] = {};
    std::size_t size = 0; // the least size of a buffer holding the whole picture
};

// Turns pictures of one layout, size and colour encoding into top-down, opaque BGRA. Both capture
// back-ends use it. Y'CbCr with halved chroma (packed, semi-planar and planar 4:2:x) goes through
// our own exact rows (YcbcrConverter) in every matrix; libyuv does the other layouts it has a
// conversion for (24- and 16-bit RGB, grey, I444; BGRX is one copying pass of ours); libswscale
// the rest (16-bit grey, Bayer) and I444 in a matrix and range libyuv gets wrong (its blue gain
// stops at 2.0). The path and the libswscale context are made by the constructor: a conversion
// allocates nothing.
//
// Threads: the back-ends make it while stopped and use it on their capture thread; a frame's
// reader may convert a picture left to be made on demand meanwhile, so conversions may run on
// two threads at once (libswscale's context is taken by one at a time).
class FrameConverter
{
public:
    // Raises MF_E_INVALIDMEDIATYPE ("Prepare") for a size below 1 x 1 or a layout libswscale
    // refuses.
    FrameConverter(PixelLayout layout, std::int32_t width, std::int32_t height, ColourEncoding encoding = {});
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;
    ~FrameConverter();

    // Writes the picture into `target` (width x height BGRA pixels, `targetStride` bytes a row),
    // alpha 255. Raises E_FAIL ("OnRawSample") when the library fails.
    void Convert(const SourcePlanes& source, std::uint8_t* target, int targetStride) const;
    // The same, and with `jpegPlanes` (the layout HasJpegPath, else null) JPEG's planes as
    // JpegPlaneLayout lays them out, in the same pass: band by band, each band of the camera's
    // picture read from memory once.
    void Convert(const SourcePlanes& source, std::uint8_t* target, int targetStride,
                 std::uint8_t* jpegPlanes) const;
    // Whether the layout has a path straight to JPEG's planes (JpegPlaneConverter): Y'CbCr with
    // halved chroma.
    bool HasJpegPath() const noexcept { return jpeg != nullptr; }
    // JPEG's planes alone, as JpegPlaneLayout lays them out; the layout HasJpegPath.
    void ConvertToJpegPlanes(const SourcePlanes& source, std::uint8_t* jpegPlanes) const;

    // The tight length of a line of the first plane.
    static int GetLineLength(PixelLayout layout, std::int32_t width) noexcept;
    // The planes of a buffer with every plane in turn, the first plane's lines `firstStride`
    // bytes long (at least the tight length) and the others' in proportion to it.
    static ContiguousGeometry GetContiguousGeometry(PixelLayout layout, std::int32_t width,
                                                    std::int32_t height, int firstStride) noexcept;

private:
    void ConvertWithLibyuv(const SourcePlanes& source, std::uint8_t* target, int targetStride) const;
    void ConvertWithSwscale(const SourcePlanes& source, std::uint8_t* target, int targetStride) const;

    PixelLayout layout;
    std::int32_t width;
    std::int32_t height;
    const YuvConstants* constants = nullptr; // libyuv's matrix and range for I444, U before V

    std::unique_ptr<const YcbcrConverter> ycbcr;    // set for the layouts it handles
    std::unique_ptr<const JpegPlaneConverter> jpeg; // likewise

    struct ScalerDeleter
    {
        void operator()(SwsContext* context) const noexcept;
    };
    std::unique_ptr<SwsContext, ScalerDeleter> scaler;
    mutable std::mutex scalerMutex; // guards the use of `scaler`
};

// The camera's own picture behind a frame being delivered, and the converter that made the frame
// of it: what Device::TakeJpegPlanes reads, and what a picture left to be made on demand is made
// of (the converter then makes the whole picture). Valid while that frame is delivered, and for
// an on-demand frame until the back-end lets go of it.
struct FrameSource
{
    const FrameConverter* converter = nullptr;
    SourcePlanes planes;
};

} // namespace Norvex::Core::VideoCapture
