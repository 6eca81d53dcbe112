#include "V4l2VideoCapture/V4l2FrameConverter.h"

#include "FfmpegLibraries.h"

#include <Norvex/Core/Exception.h>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

using VideoCapture::ColourEncoding;
using VideoCapture::PixelLayout;

struct RawLayout
{
    std::uint32_t pixelFormat;
    PixelLayout layout;
    std::size_t memoryPlanes = 1; // each picture plane in a memory plane of its own when more
};

constexpr RawLayout rawLayouts[] = {
    {V4L2_PIX_FMT_BGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_XBGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_ABGR32, PixelLayout::Bgrx},
    {V4L2_PIX_FMT_YUYV, PixelLayout::Yuyv},
    {V4L2_PIX_FMT_YVYU, PixelLayout::Yvyu},
    {V4L2_PIX_FMT_UYVY, PixelLayout::Uyvy},
    {V4L2_PIX_FMT_NV12, PixelLayout::Nv12},
    {V4L2_PIX_FMT_NV21, PixelLayout::Nv21},
    {V4L2_PIX_FMT_NV16, PixelLayout::Nv16},
    {V4L2_PIX_FMT_YUV420, PixelLayout::I420},
    {V4L2_PIX_FMT_YVU420, PixelLayout::Yv12},
    {V4L2_PIX_FMT_YUV422P, PixelLayout::I422},
    {V4L2_PIX_FMT_GREY, PixelLayout::Grey},
    {V4L2_PIX_FMT_Y16, PixelLayout::Grey16},
    {V4L2_PIX_FMT_RGB24, PixelLayout::Rgb24},
    {V4L2_PIX_FMT_BGR24, PixelLayout::Bgr24},
    {V4L2_PIX_FMT_RGB565, PixelLayout::Rgb565},
    {V4L2_PIX_FMT_RGB555, PixelLayout::Rgb555},
    {V4L2_PIX_FMT_SBGGR8, PixelLayout::BayerBggr},
    {V4L2_PIX_FMT_SGBRG8, PixelLayout::BayerGbrg},
    {V4L2_PIX_FMT_SGRBG8, PixelLayout::BayerGrbg},
    {V4L2_PIX_FMT_SRGGB8, PixelLayout::BayerRggb},
    // Multi-planar devices' layouts with a memory plane per picture plane.
    {V4L2_PIX_FMT_NV12M, PixelLayout::Nv12, 2},
    {V4L2_PIX_FMT_NV21M, PixelLayout::Nv21, 2},
    {V4L2_PIX_FMT_NV16M, PixelLayout::Nv16, 2},
    {V4L2_PIX_FMT_YUV420M, PixelLayout::I420, 3},
    {V4L2_PIX_FMT_YVU420M, PixelLayout::Yv12, 3},
    {V4L2_PIX_FMT_YUV422M, PixelLayout::I422, 3},
    {V4L2_PIX_FMT_YUV444M, PixelLayout::I444, 3},
};

const RawLayout* FindRawLayout(std::uint32_t pixelFormat) noexcept
{
    const auto found = std::find_if(std::begin(rawLayouts), std::end(rawLayouts),
                                    [&](const RawLayout& entry) { return entry.pixelFormat == pixelFormat; });
    return found == std::end(rawLayouts) ? nullptr : found;
}

// The colour encoding the driver states, its defaults filled in as V4L2 defines them (a UVC
// camera states sRGB: BT.601, limited range).
ColourEncoding EncodingOf(const v4l2_pix_format& format) noexcept
{
    ColourEncoding encoding;
    const auto colorspace = static_cast<v4l2_colorspace>(format.colorspace);
    std::uint32_t matrix = format.ycbcr_enc;
    if (matrix == V4L2_YCBCR_ENC_DEFAULT)
    {
        matrix = V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace);
    }
    switch (matrix)
    {
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709:
        encoding.matrix = ColourEncoding::Matrix::Bt709;
        break;
    case V4L2_YCBCR_ENC_SMPTE240M:
        encoding.matrix = ColourEncoding::Matrix::Smpte240m;
        break;
    case V4L2_YCBCR_ENC_BT2020:
    case V4L2_YCBCR_ENC_BT2020_CONST_LUM:
        encoding.matrix = ColourEncoding::Matrix::Bt2020;
        break;
    default:
        encoding.matrix = ColourEncoding::Matrix::Bt601;
        break;
    }
    std::uint32_t quantization = format.quantization;
    if (quantization == V4L2_QUANTIZATION_DEFAULT)
    {
        quantization =
            V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, static_cast<v4l2_ycbcr_encoding>(matrix));
    }
    encoding.fullRange = quantization == V4L2_QUANTIZATION_FULL_RANGE;
    return encoding;
}

// The rows and the tight line length in bytes of one plane of a planar or semi-planar Y'CbCr
// layout (plane 0: luma; 1 and 2: chroma, U before V).
std::pair<std::size_t, std::size_t> PlaneExtent(PixelLayout layout, std::size_t plane, std::int32_t width,
                                                std::int32_t height) noexcept
{
    const auto rows = static_cast<std::size_t>(height);
    const auto halfRows = static_cast<std::size_t>((height + 1) / 2);
    const auto columns = static_cast<std::size_t>(width);
    const auto halfColumns = static_cast<std::size_t>((width + 1) / 2);
    if (plane == 0)
    {
        return {rows, columns};
    }
    switch (layout)
    {
    case PixelLayout::Nv12:
    case PixelLayout::Nv21:
        return {halfRows, halfColumns * 2};
    case PixelLayout::Nv16:
        return {rows, halfColumns * 2};
    case PixelLayout::I420:
    case PixelLayout::Yv12:
        return {halfRows, halfColumns};
    case PixelLayout::I422:
        return {rows, halfColumns};
    default:
        return {rows, columns};
    }
}

// libavcodec and libswscale report errno values as AVERROR(errno); damaged data has its own tag.
HRESULT FromAvError(int error) noexcept
{
    if (error == AVERROR_INVALIDDATA)
    {
        return HRESULT_FROM_WIN32(EBADMSG);
    }
    if (error < 0 && error > -4096)
    {
        return HRESULT_FROM_WIN32(-error);
    }
    return E_FAIL;
}

// The full-range names FFmpeg's JPEG decoder still uses, as the plain layout they stand for.
AVPixelFormat PlainLayout(AVPixelFormat format, bool& fullRange) noexcept
{
    switch (format)
    {
    case AV_PIX_FMT_YUVJ420P:
        fullRange = true;
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        fullRange = true;
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        fullRange = true;
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        fullRange = true;
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        fullRange = true;
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

// A decoded picture in a layout the FrameConverter has, with its colour encoding; false for any
// other layout.
bool DecodedLayout(const AVFrame& picture, PixelLayout& layout, ColourEncoding& encoding) noexcept
{
    bool fullRange = picture.color_range == AVCOL_RANGE_JPEG;
    switch (PlainLayout(static_cast<AVPixelFormat>(picture.format), fullRange))
    {
    case AV_PIX_FMT_YUV420P:
        layout = PixelLayout::I420;
        break;
    case AV_PIX_FMT_YUV422P:
        layout = PixelLayout::I422;
        break;
    case AV_PIX_FMT_YUV444P:
        layout = PixelLayout::I444;
        break;
    case AV_PIX_FMT_NV12:
        layout = PixelLayout::Nv12;
        break;
    default:
        return false;
    }
    encoding.fullRange = fullRange;
    switch (picture.colorspace)
    {
    case AVCOL_SPC_BT709:
        encoding.matrix = ColourEncoding::Matrix::Bt709;
        break;
    case AVCOL_SPC_SMPTE240M:
        encoding.matrix = ColourEncoding::Matrix::Smpte240m;
        break;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        encoding.matrix = ColourEncoding::Matrix::Bt2020;
        break;
    default:
        encoding.matrix = ColourEncoding::Matrix::Bt601;
        break;
    }
    return true;
}

} // namespace

void V4l2FrameConverter::Deleters::operator()(AVCodecContext* context) const noexcept
{
    FfmpegLibraries::FindCodecs()->avcodec_free_context(&context);
}
void V4l2FrameConverter::Deleters::operator()(AVFrame* frame) const noexcept
{
    av_frame_free(&frame);
}
void V4l2FrameConverter::Deleters::operator()(AVPacket* packet) const noexcept
{
    FfmpegLibraries::FindCodecs()->av_packet_free(&packet);
}
void V4l2FrameConverter::Deleters::operator()(SwsContext* context) const noexcept
{
    sws_freeContext(context);
}
void V4l2FrameConverter::JpegDeleter::operator()(void* handle) const noexcept
{
    tjDestroy(handle);
}

V4l2FrameConverter::V4l2FrameConverter(const V4l2FrameFormat& format)
    : width(format.width), height(format.height)
{
    if (width <= 0 || height <= 0)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::uint32_t pixelFormat = format.GetPixelFormat().pixelformat;
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        path = Path::Jpeg;
        jpeg.reset(tjInitDecompress());
        if (!jpeg)
        {
            throw Exception(E_FAIL, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
        }
        return;
    case V4L2_PIX_FMT_H264:
    case V4L2_PIX_FMT_HEVC:
    {
        path = Path::Decode;
        libavcodec = &FfmpegLibraries::GetCodecs("Prepare");
        const AVCodec* codec = libavcodec->avcodec_find_decoder(
            pixelFormat == V4L2_PIX_FMT_H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
        if (!codec)
        {
            throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
        }
        decoder.reset(libavcodec->avcodec_alloc_context3(codec));
        packet.reset(libavcodec->av_packet_alloc());
        decoded.reset(av_frame_alloc());
        received.reset(av_frame_alloc());
        if (!decoder || !packet || !decoded || !received)
        {
            throw Exception(HRESULT_FROM_WIN32(ENOMEM), "Prepare", NORVEX_SOURCE_FILE, __LINE__);
        }
        // A live picture: show each frame as soon as it is complete, never wait for reordering.
        decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
        decoder->width = width;
        decoder->height = height;
        if (const int error = libavcodec->avcodec_open2(decoder.get(), codec, nullptr); error < 0)
        {
            throw Exception(FromAvError(error), "Prepare", NORVEX_SOURCE_FILE, __LINE__);
        }
        // Room for a frame as the driver sizes it for raw 4:2:2 and more; SetLayout grows it.
        packetBuffer.resize(static_cast<std::size_t>(width) * height * 2 + AV_INPUT_BUFFER_PADDING_SIZE);
        return;
    }
    default:
        break;
    }
    const RawLayout* raw = FindRawLayout(pixelFormat);
    if (!raw)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    // The fourth byte of BGRX layouts is padding or a camera's alpha: "copied", with alpha set.
    path = raw->layout == PixelLayout::Bgrx ? Path::Copy : Path::Convert;
    layout = raw->layout;
    memoryPlanes = raw->memoryPlanes;
    converter = std::make_unique<VideoCapture::FrameConverter>(layout, width, height);
    geometry = VideoCapture::FrameConverter::GetContiguousGeometry(layout, width, height, 0);
}

V4l2FrameConverter::~V4l2FrameConverter() = default;

bool V4l2FrameConverter::CanConvert(std::uint32_t pixelFormat) noexcept
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return true;
    case V4L2_PIX_FMT_H264:
    case V4L2_PIX_FMT_HEVC:
    {
        const auto* codecs = FfmpegLibraries::FindCodecs();
        return codecs &&
               codecs->avcodec_find_decoder(pixelFormat == V4L2_PIX_FMT_H264 ? AV_CODEC_ID_H264
                                                                             : AV_CODEC_ID_HEVC) != nullptr;
    }
    default:
        return FindRawLayout(pixelFormat) != nullptr;
    }
}

std::uint32_t V4l2FrameConverter::GetLineLength(std::uint32_t pixelFormat, std::int32_t width) noexcept
{
    const RawLayout* raw = FindRawLayout(pixelFormat);
    return raw ? static_cast<std::uint32_t>(VideoCapture::FrameConverter::GetLineLength(raw->layout, width))
               : 0;
}

void V4l2FrameConverter::SetLayout(const v4l2_format& settled, std::size_t bufferSize)
{
    const v4l2_pix_format described = V4l2FrameFormat::Describe(settled);
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
    {
        // V4L2 gives the first plane's line length; in one memory plane the other planes keep
        // their proportion to it.
        const int firstStride = static_cast<int>(std::min<std::uint32_t>(described.bytesperline, 0x7FFFFFFF));
        geometry = VideoCapture::FrameConverter::GetContiguousGeometry(layout, width, height, firstStride);
        if (memoryPlanes > 1)
        {
            // A memory plane per picture plane, each with the line length the driver states;
            // the offsets within the buffer become offsets within each plane: 0.
            if (settled.type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ||
                settled.fmt.pix_mp.num_planes != memoryPlanes)
            {
                throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
            }
            for (std::size_t plane = 0; plane < memoryPlanes; ++plane)
            {
                const auto [rows, tightLine] = PlaneExtent(layout, plane, width, height);
                const int stated = static_cast<int>(
                    std::min<std::uint32_t>(settled.fmt.pix_mp.plane_fmt[plane].bytesperline, 0x7FFFFFFF));
                geometry.offset[plane] = 0;
                geometry.stride[plane] = std::max(stated, static_cast<int>(tightLine));
                // The last line need not be padded.
                leastPlaneSize[plane] =
                    (rows - 1) * static_cast<std::size_t>(geometry.stride[plane]) + tightLine;
            }
        }
        // Made again for the colour encoding the driver states (most say sRGB: BT.601, limited).
        converter =
            std::make_unique<VideoCapture::FrameConverter>(layout, width, height, EncodingOf(described));
        return;
    }
    case Path::Decode:
        if (packetBuffer.size() < bufferSize + AV_INPUT_BUFFER_PADDING_SIZE)
        {
            packetBuffer.resize(bufferSize + AV_INPUT_BUFFER_PADDING_SIZE);
        }
        return;
    case Path::Jpeg:
        return;
    }
}

bool V4l2FrameConverter::Load(const V4l2BufferSet::Planes& planes)
{
    loaded = planes;
    const unsigned char* data = planes.count ? planes.data[0] : nullptr;
    const std::size_t size = planes.count ? planes.size[0] : 0;
    loadedData = data;
    loadedSize = size;
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
    {
        bool whole = planes.count >= memoryPlanes;
        for (std::size_t plane = 0; whole && plane < memoryPlanes; ++plane)
        {
            whole = planes.size[plane] >= (memoryPlanes > 1 ? leastPlaneSize[plane] : geometry.size);
        }
        if (!whole)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), path == Path::Copy ? "OnSample" : "OnRawSample",
                            NORVEX_SOURCE_FILE, __LINE__);
        }
        return true;
    }
    case Path::Jpeg:
    {
        if (size == 0)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        // Some cameras send a few bytes of junk before the start of the picture.
        static constexpr unsigned char startOfImage[] = {0xFF, 0xD8, 0xFF};
        const unsigned char* start =
            std::search(data, data + size, std::begin(startOfImage), std::end(startOfImage));
        if (start == data + size)
        {
            throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        loadedSize = size - static_cast<std::size_t>(start - data);
        loadedData = start;
        int subsampling = 0, colorspace = 0;
        if (tjDecompressHeader3(jpeg.get(), loadedData, static_cast<unsigned long>(loadedSize), &jpegWidth,
                                &jpegHeight, &subsampling, &colorspace) != 0)
        {
            throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        if (!FitsCodedSize(jpegWidth, jpegHeight))
        {
            throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        return true;
    }
    case Path::Decode:
    {
        if (size == 0)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        if (packetBuffer.size() < size + AV_INPUT_BUFFER_PADDING_SIZE)
        {
            // Only a driver that fills more than the buffer size it announced gets here.
            throw Exception(HRESULT_FROM_WIN32(EMSGSIZE), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        std::memcpy(packetBuffer.data(), data, size);
        std::memset(packetBuffer.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        packet->data = packetBuffer.data();
        packet->size = static_cast<int>(size);
        const int sent = libavcodec->avcodec_send_packet(decoder.get(), packet.get());
        packet->data = nullptr;
        packet->size = 0;
        if (sent < 0)
        {
            throw Exception(FromAvError(sent), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        bool picture = false;
        for (;;)
        {
            // A receive empties the frame it is given, so each goes to `received` first; only
            // the newest picture is kept.
            const int status = libavcodec->avcodec_receive_frame(decoder.get(), received.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            {
                break;
            }
            if (status < 0)
            {
                throw Exception(FromAvError(status), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
            }
            av_frame_unref(decoded.get());
            av_frame_move_ref(decoded.get(), received.get());
            picture = true;
        }
        if (picture && !FitsCodedSize(decoded->width, decoded->height))
        {
            throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        return picture;
    }
    }
    return false;
}

bool V4l2FrameConverter::FitsCodedSize(int codedWidth, int codedHeight) const noexcept
{
    // A picture coded up to whole blocks or macroblocks (1088 rows for 1080) is cropped to the
    // format; any other size is not this format's picture and would not fit the frame.
    constexpr int blockSlack = 16;
    return codedWidth >= width && codedHeight >= height && codedWidth - width < blockSlack &&
           codedHeight - height < blockSlack;
}

void V4l2FrameConverter::WriteTo(Image<Pixel<unsigned char>>& target)
{
    if (target.width != width || target.height != height || !target.data)
    {
        ThrowUnexpected("OnFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    switch (path)
    {
    case Path::Copy:
    case Path::Convert:
        WriteConverted(target);
        return;
    case Path::Decode:
        WriteDecoded(target);
        return;
    case Path::Jpeg:
        WriteJpeg(target);
        return;
    }
}

void V4l2FrameConverter::WriteConverted(Image<Pixel<unsigned char>>& target)
{
    VideoCapture::SourcePlanes planes;
    for (int plane = 0; plane < 3; ++plane)
    {
        // One memory plane holds every picture plane, or each has its own (YVU420M: V first).
        const unsigned char* base = loaded.data[0];
        if (memoryPlanes > 1 && plane > 0)
        {
            base =
                loaded
                    .data[layout == VideoCapture::PixelLayout::Yv12 && memoryPlanes > 2 ? 3 - plane : plane];
        }
        planes.data[plane] = geometry.stride[plane] ? base + geometry.offset[plane] : nullptr;
        planes.stride[plane] = geometry.stride[plane];
    }
    converter->Convert(planes, reinterpret_cast<std::uint8_t*>(target.data), target.stride);
}

void V4l2FrameConverter::WriteDecoded(Image<Pixel<unsigned char>>& target)
{
    PixelLayout decodedLayout{};
    ColourEncoding encoding;
    auto* destination = reinterpret_cast<std::uint8_t*>(target.data);
    // Made on the first picture: the decoder names its output layout only then. Remade only if
    // the stream changes it.
    const bool changed = scalerWidth != decoded->width || scalerHeight != decoded->height ||
                         scalerFormat != decoded->format ||
                         scalerFullRange != (decoded->color_range == AVCOL_RANGE_JPEG) ||
                         scalerColourSpace != decoded->colorspace;
    if (DecodedLayout(*decoded, decodedLayout, encoding))
    {
        if (!converter || changed)
        {
            converter =
                std::make_unique<VideoCapture::FrameConverter>(decodedLayout, width, height, encoding);
            scaler.reset();
        }
    }
    else if (!scaler || changed)
    {
        bool fullRange = decoded->color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat source = PlainLayout(static_cast<AVPixelFormat>(decoded->format), fullRange);
        // The format's size from the top left of a picture coded a little larger: a crop, no scaling.
        scaler.reset(sws_getContext(width, height, source, width, height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                    nullptr, nullptr, nullptr));
        converter.reset();
        if (!scaler)
        {
            throw Exception(invalidMediaTypeStatus, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
    }
    scalerWidth = decoded->width;
    scalerHeight = decoded->height;
    scalerFormat = decoded->format;
    scalerFullRange = decoded->color_range == AVCOL_RANGE_JPEG;
    scalerColourSpace = decoded->colorspace;
    if (converter)
    {
        VideoCapture::SourcePlanes planes;
        for (int plane = 0; plane < 3; ++plane)
        {
            planes.data[plane] = decoded->data[plane];
            planes.stride[plane] = decoded->linesize[plane];
        }
        converter->Convert(planes, destination, target.stride);
        return;
    }
    std::uint8_t* destinations[4] = {destination};
    const int destinationStrides[4] = {target.stride};
    const int rows = sws_scale(scaler.get(), decoded->data, decoded->linesize, 0, height, destinations,
                               destinationStrides);
    if (rows != height)
    {
        throw Exception(rows < 0 ? FromAvError(rows) : E_FAIL, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void V4l2FrameConverter::WriteJpeg(Image<Pixel<unsigned char>>& target)
{
    // BGRA output sets every fourth byte to 255, so the picture is opaque as it comes. A taller
    // or wider picture goes through a buffer of its own size (made once), then is cropped.
    const bool cropped = jpegWidth != width || jpegHeight != height;
    const std::size_t wholeSize =
        static_cast<std::size_t>(jpegWidth) * static_cast<std::size_t>(jpegHeight) * 4;
    if (cropped && cropBuffer.size() < wholeSize)
    {
        cropBuffer.resize(wholeSize);
    }
    unsigned char* output = cropped ? cropBuffer.data() : reinterpret_cast<unsigned char*>(target.data);
    const int pitch = cropped ? jpegWidth * 4 : target.stride;
    if (tjDecompress2(jpeg.get(), loadedData, static_cast<unsigned long>(loadedSize), output, jpegWidth,
                      pitch, jpegHeight, TJPF_BGRA, 0) != 0 &&
        tjGetErrorCode(jpeg.get()) != TJERR_WARNING)
    {
        // A warning (damaged entropy data, a missing end) still leaves a whole picture, as
        // libavcodec would show it; only a fatal error fails the frame.
        throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (cropped)
    {
        for (std::int32_t y = 0; y < height; ++y)
        {
            std::memcpy(reinterpret_cast<unsigned char*>(target.data) +
                            static_cast<std::ptrdiff_t>(y) * target.stride,
                        cropBuffer.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(pitch),
                        static_cast<std::size_t>(width) * 4);
        }
    }
}

} // namespace Norvex::Core::V4l2VideoCapture
