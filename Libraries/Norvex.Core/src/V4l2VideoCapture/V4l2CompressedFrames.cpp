// The compressed formats' side of V4l2FrameConverter: MJPEG through TurboJPEG, H.264 and HEVC
// through libavcodec, each picture then converted like a raw one.

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

void V4l2FrameConverter::OpenJpeg()
{
    path = Path::Jpeg;
    jpeg.reset(tjInitDecompress());
    if (!jpeg)
    {
        throw Exception(E_FAIL, "Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void V4l2FrameConverter::OpenDecoder(bool h264)
{
    path = Path::Decode;
    libavcodec = &FfmpegLibraries::GetCodecs("Prepare");
    const AVCodec* codec = libavcodec->avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
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
}

bool V4l2FrameConverter::LoadJpeg(const unsigned char* data, std::size_t size)
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

bool V4l2FrameConverter::LoadEncoded(const unsigned char* data, std::size_t size)
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

bool V4l2FrameConverter::FitsCodedSize(int codedWidth, int codedHeight) const noexcept
{
    // A picture coded up to whole blocks or macroblocks (1088 rows for 1080) is cropped to the
    // format; any other size is not this format's picture and would not fit the frame.
    constexpr int blockSlack = 16;
    return codedWidth >= width && codedHeight >= height && codedWidth - width < blockSlack &&
           codedHeight - height < blockSlack;
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
