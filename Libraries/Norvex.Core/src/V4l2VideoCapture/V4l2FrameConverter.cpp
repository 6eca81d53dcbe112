#include "V4l2FrameConverter.h"

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

struct RawLayout
{
    std::uint32_t pixelFormat;
    AVPixelFormat source;
    bool swapChroma; // planar with V before U, which libswscale has no name for
};

constexpr RawLayout rawLayouts[] = {
    {V4L2_PIX_FMT_YUYV, AV_PIX_FMT_YUYV422, false},
    {V4L2_PIX_FMT_YVYU, AV_PIX_FMT_YVYU422, false},
    {V4L2_PIX_FMT_UYVY, AV_PIX_FMT_UYVY422, false},
    {V4L2_PIX_FMT_NV12, AV_PIX_FMT_NV12, false},
    {V4L2_PIX_FMT_NV21, AV_PIX_FMT_NV21, false},
    {V4L2_PIX_FMT_NV16, AV_PIX_FMT_NV16, false},
    {V4L2_PIX_FMT_YUV420, AV_PIX_FMT_YUV420P, false},
    {V4L2_PIX_FMT_YVU420, AV_PIX_FMT_YUV420P, true},
    {V4L2_PIX_FMT_YUV422P, AV_PIX_FMT_YUV422P, false},
    {V4L2_PIX_FMT_GREY, AV_PIX_FMT_GRAY8, false},
    {V4L2_PIX_FMT_Y16, AV_PIX_FMT_GRAY16LE, false},
    {V4L2_PIX_FMT_RGB24, AV_PIX_FMT_RGB24, false},
    {V4L2_PIX_FMT_BGR24, AV_PIX_FMT_BGR24, false},
    {V4L2_PIX_FMT_RGB565, AV_PIX_FMT_RGB565LE, false},
    {V4L2_PIX_FMT_RGB555, AV_PIX_FMT_RGB555LE, false},
    {V4L2_PIX_FMT_SBGGR8, AV_PIX_FMT_BAYER_BGGR8, false},
    {V4L2_PIX_FMT_SGBRG8, AV_PIX_FMT_BAYER_GBRG8, false},
    {V4L2_PIX_FMT_SGRBG8, AV_PIX_FMT_BAYER_GRBG8, false},
    {V4L2_PIX_FMT_SRGGB8, AV_PIX_FMT_BAYER_RGGB8, false},
};

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

} // namespace

void V4l2FrameConverter::Deleters::operator()(AVCodecContext* context) const noexcept
{
    avcodec_free_context(&context);
}
void V4l2FrameConverter::Deleters::operator()(AVFrame* frame) const noexcept
{
    av_frame_free(&frame);
}
void V4l2FrameConverter::Deleters::operator()(AVPacket* packet) const noexcept
{
    av_packet_free(&packet);
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
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_ABGR32:
        path = Path::Copy;
        SetLayout(static_cast<std::uint32_t>(width) * 4, 0);
        return;
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
        const AVCodec* codec =
            avcodec_find_decoder(pixelFormat == V4L2_PIX_FMT_H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
        if (!codec)
        {
            throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
        }
        decoder.reset(avcodec_alloc_context3(codec));
        packet.reset(av_packet_alloc());
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
        if (const int error = avcodec_open2(decoder.get(), codec, nullptr); error < 0)
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
    const auto layout =
        std::find_if(std::begin(rawLayouts), std::end(rawLayouts),
                     [&](const RawLayout& entry) { return entry.pixelFormat == pixelFormat; });
    if (layout == std::end(rawLayouts))
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    path = Path::Convert;
    sourcePixelFormat = layout->source;
    swapChroma = layout->swapChroma;
    scaler.reset(sws_getContext(width, height, layout->source, width, height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                nullptr, nullptr, nullptr));
    if (!scaler)
    {
        throw Exception(invalidMediaTypeStatus, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    SetLayout(0, 0);
}

V4l2FrameConverter::~V4l2FrameConverter() = default;

bool V4l2FrameConverter::CanConvert(std::uint32_t pixelFormat) noexcept
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_ABGR32:
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return true;
    case V4L2_PIX_FMT_H264:
        return avcodec_find_decoder(AV_CODEC_ID_H264) != nullptr;
    case V4L2_PIX_FMT_HEVC:
        return avcodec_find_decoder(AV_CODEC_ID_HEVC) != nullptr;
    default:
        return std::any_of(std::begin(rawLayouts), std::end(rawLayouts),
                           [&](const RawLayout& entry) { return entry.pixelFormat == pixelFormat; });
    }
}

std::uint32_t V4l2FrameConverter::GetLineLength(std::uint32_t pixelFormat, std::int32_t width) noexcept
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_ABGR32:
        return static_cast<std::uint32_t>(width) * 4;
    default:
        break;
    }
    for (const auto& layout : rawLayouts)
    {
        if (layout.pixelFormat == pixelFormat)
        {
            const int length = av_image_get_linesize(layout.source, width, 0);
            return length > 0 ? static_cast<std::uint32_t>(length) : 0;
        }
    }
    return 0;
}

void V4l2FrameConverter::SetLayout(std::uint32_t bytesPerLine, std::size_t bufferSize)
{
    switch (path)
    {
    case Path::Copy:
        planeStrides[0] = static_cast<int>(std::max<std::uint32_t>(bytesPerLine, width * 4u));
        requiredSize =
            static_cast<std::size_t>(planeStrides[0]) * (height - 1) + static_cast<std::size_t>(width) * 4;
        return;
    case Path::Convert:
    {
        const auto format = static_cast<AVPixelFormat>(sourcePixelFormat);
        int tight[4] = {};
        if (av_image_fill_linesizes(tight, format, width) < 0 || tight[0] <= 0)
        {
            throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        // V4L2 gives the first plane's line length; the other planes keep their proportion to it.
        const int first =
            bytesPerLine > static_cast<std::uint32_t>(tight[0]) ? static_cast<int>(bytesPerLine) : tight[0];
        for (int plane = 0; plane < 4; ++plane)
        {
            planeStrides[plane] =
                static_cast<int>(static_cast<std::int64_t>(tight[plane]) * first / tight[0]);
        }
        std::size_t plainSizes[4] = {};
        ptrdiff_t strides[4] = {planeStrides[0], planeStrides[1], planeStrides[2], planeStrides[3]};
        if (av_image_fill_plane_sizes(plainSizes, format, height, strides) < 0)
        {
            throw Exception(invalidMediaTypeStatus, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        std::size_t offset = 0;
        for (int plane = 0; plane < 4; ++plane)
        {
            planeOffsets[plane] = offset;
            offset += plainSizes[plane];
        }
        requiredSize = offset;
        if (swapChroma)
        {
            std::swap(planeOffsets[1], planeOffsets[2]);
        }
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

bool V4l2FrameConverter::Load(const unsigned char* data, std::size_t size)
{
    loadedData = data;
    loadedSize = size;
    switch (path)
    {
    case Path::Copy:
        if (size < requiredSize)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), "OnSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        return true;
    case Path::Convert:
        if (size < requiredSize)
        {
            throw Exception(HRESULT_FROM_WIN32(ENODATA), "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        return true;
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
        // A picture coded up to whole blocks (1088 rows for 1080) is cropped to the format;
        // any other size is not this format's picture and would not fit the frame.
        constexpr int blockSlack = 16;
        if (jpegWidth < width || jpegHeight < height || jpegWidth - width >= blockSlack ||
            jpegHeight - height >= blockSlack)
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
        const int sent = avcodec_send_packet(decoder.get(), packet.get());
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
            const int status = avcodec_receive_frame(decoder.get(), received.get());
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
        if (picture && (decoded->width != width || decoded->height != height))
        {
            throw Exception(HRESULT_FROM_WIN32(EBADMSG), "OnEncodedSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        return picture;
    }
    }
    return false;
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
        WriteCopy(target);
        return;
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

void V4l2FrameConverter::WriteCopy(Image<Pixel<unsigned char>>& target) const
{
    for (std::int32_t y = 0; y < height; ++y)
    {
        const unsigned char* source = loadedData + static_cast<std::size_t>(planeStrides[0]) * y;
        auto* row = target.Row(y);
        for (std::int32_t x = 0; x < width; ++x)
        {
            row[x].blue = source[4 * x];
            row[x].green = source[4 * x + 1];
            row[x].red = source[4 * x + 2];
            row[x].alpha = 255;
        }
    }
}

void V4l2FrameConverter::WriteConverted(Image<Pixel<unsigned char>>& target) const
{
    const std::uint8_t* planes[4] = {};
    for (int plane = 0; plane < 4; ++plane)
    {
        planes[plane] = planeStrides[plane] ? loadedData + planeOffsets[plane] : nullptr;
    }
    std::uint8_t* destination[4] = {reinterpret_cast<std::uint8_t*>(target.data)};
    const int destinationStrides[4] = {target.stride};
    const int rows =
        sws_scale(scaler.get(), planes, planeStrides, 0, height, destination, destinationStrides);
    if (rows != height)
    {
        throw Exception(rows < 0 ? FromAvError(rows) : E_FAIL, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void V4l2FrameConverter::WriteDecoded(Image<Pixel<unsigned char>>& target)
{
    bool fullRange = decoded->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source = PlainLayout(static_cast<AVPixelFormat>(decoded->format), fullRange);
    // Made on the first picture: the decoder names its output layout only then. Remade only if
    // the stream changes it.
    if (!scaler || scalerWidth != decoded->width || scalerHeight != decoded->height ||
        scalerFormat != source || scalerFullRange != fullRange)
    {
        scaler.reset(sws_getContext(decoded->width, decoded->height, source, width, height, AV_PIX_FMT_BGRA,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler)
        {
            throw Exception(invalidMediaTypeStatus, "OnRawSample", NORVEX_SOURCE_FILE, __LINE__);
        }
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        scalerWidth = decoded->width;
        scalerHeight = decoded->height;
        scalerFormat = source;
        scalerFullRange = fullRange;
    }
    std::uint8_t* destination[4] = {reinterpret_cast<std::uint8_t*>(target.data)};
    const int destinationStrides[4] = {target.stride};
    const int rows = sws_scale(scaler.get(), decoded->data, decoded->linesize, 0, decoded->height,
                               destination, destinationStrides);
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
