#include "FfmpegMovieWriter.h"

#include "AsfHeader.h"
#include "FfmpegLibraries.h"
#include "H264AccessUnit.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <libyuv/convert_from_argb.h>

using Norvex::Core::Exception;
using Norvex::Core::ThrowErrno;

namespace VistelCapture
{
namespace
{

constexpr AVRational HundredNanoseconds = {1, 10000000};

// FFmpeg reports system errors as negative errno values; those keep their system text. Its own
// codes carry FFmpeg's text.
[[noreturn]] void ThrowAvError(int error, const char* functionName, int lineNumber)
{
    if (error < 0 && error > -0x10000)
    {
        ThrowErrno(-error, functionName, NORVEX_SOURCE_FILE, lineNumber);
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    throw Exception(L"FFmpeg: " + Norvex::Core::ToWideString(text) + L"\n", functionName, NORVEX_SOURCE_FILE,
                    lineNumber);
}

void ThrowIfAvFailed(int result, const char* functionName, int lineNumber)
{
    if (result < 0)
    {
        ThrowAvError(result, functionName, lineNumber);
    }
}

} // namespace

void FfmpegMovieWriter::Deleter::operator()(AVFormatContext* context) const noexcept
{
    if (context->pb)
    {
        Norvex::Core::FfmpegLibraries::FindFormats()->avio_closep(&context->pb);
    }
    Norvex::Core::FfmpegLibraries::FindFormats()->avformat_free_context(context);
}

void FfmpegMovieWriter::Deleter::operator()(AVCodecContext* context) const noexcept
{
    Norvex::Core::FfmpegLibraries::FindCodecs()->avcodec_free_context(&context);
}

void FfmpegMovieWriter::Deleter::operator()(AVFrame* frame) const noexcept
{
    av_frame_free(&frame);
}

void FfmpegMovieWriter::Deleter::operator()(AVPacket* packet) const noexcept
{
    Norvex::Core::FfmpegLibraries::FindCodecs()->av_packet_free(&packet);
}

FfmpegMovieWriter::FfmpegMovieWriter()
{
    // The encoders' informational lines would fill the terminal at every recording; errors
    // still show. A program that chose its own level keeps it.
    static std::once_flag quiet;
    std::call_once(quiet,
                   []
                   {
                       if (av_log_get_level() == AV_LOG_INFO)
                       {
                           av_log_set_level(AV_LOG_ERROR);
                       }
                   });
}

FfmpegMovieWriter::~FfmpegMovieWriter()
{
    Reset();
}

const char* FfmpegMovieWriter::H264Preset(std::int32_t width, std::int32_t height, double frameRate)
{
    const double pixelsPerProcessor =
        static_cast<double>(width) * height * frameRate / std::max(1u, std::thread::hardware_concurrency());
    return pixelsPerProcessor <= 20e6 ? "veryfast" : "superfast";
}

int FfmpegMovieWriter::H264ThreadCount()
{
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency() * 3 / 2, 1u, 4u));
}

void FfmpegMovieWriter::Open(Codec newCodec, const std::string& path, std::int32_t newWidth,
                             std::int32_t newHeight, double frameRate, std::uint32_t bitRate)
{
    Reset();
    asfFrameRate = 0;
    framesTaken = framesInFile = packetsWritten = 0;
    countingStopped = false;
    codec = newCodec;
    width = newWidth;
    height = newHeight;
    createdPath.clear();
    try
    {
        libavcodec = &Norvex::Core::FfmpegLibraries::GetCodecs("Open");
        libavformat = &Norvex::Core::FfmpegLibraries::GetFormats("Open");
        if (codec == Codec::Wmv3)
        {
            OpenWmv3(path, frameRate, bitRate);
            return;
        }
        if (codec == Codec::H264Copy)
        {
            AddStream("mp4", path, AV_CODEC_ID_H264);
            stream->time_base = HundredNanoseconds;
            av_reduce(&stream->avg_frame_rate.num, &stream->avg_frame_rate.den,
                      std::llround(frameRate * 1000.0), 1000, 1 << 30);
            stream->sample_aspect_ratio = AVRational{1, 1};
            // The file is made now, so a path that cannot be written fails here; its header needs
            // the stream's parameter sets and waits for the first key frame.
            StartFile(path);
            return;
        }
        const char* encoderName = codec == Codec::Wmv1 ? "wmv1" : codec == Codec::Wmv2 ? "wmv2" : "libx264";
        const AVCodec* found = libavcodec->avcodec_find_encoder_by_name(encoderName);
        if (!found)
        {
            ThrowAvError(AVERROR_ENCODER_NOT_FOUND, "Open", __LINE__);
        }
        encoder.reset(libavcodec->avcodec_alloc_context3(found));
        if (!encoder)
        {
            ThrowErrno(ENOMEM, "Open", NORVEX_SOURCE_FILE, __LINE__);
        }
        AVRational rate = {};
        av_reduce(&rate.num, &rate.den, std::llround(frameRate * 1000.0), 1000, 1 << 30);
        encoder->width = width;
        encoder->height = height;
        encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder->bit_rate = bitRate;
        encoder->framerate = rate;
        encoder->sample_aspect_ratio = AVRational{1, 1};
        encoder->field_order = AV_FIELD_PROGRESSIVE;
        if (codec == Codec::H264)
        {
            // Arrival times go straight in; x264 takes its rate control from the frame rate.
            encoder->time_base = HundredNanoseconds;
            encoder->gop_size = std::max(1, static_cast<int>(std::lround(2 * frameRate)));
            // Without B-frames every packet leaves at once and in order: times stay exactly the
            // arrival times and a crash loses the least.
            encoder->max_b_frames = 0;
            ThrowIfAvFailed(av_opt_set(encoder->priv_data, "preset", H264Preset(width, height, frameRate), 0),
                            "Open", __LINE__);
            ThrowIfAvFailed(av_opt_set(encoder->priv_data, "profile", "main", 0), "Open", __LINE__);
            // No look-ahead, so x264 holds back no frames beyond one per frame thread: a killed
            // recording loses little more than the fragment being filled. (Its zero-latency
            // tuning would also trade frame threads for slices: 1.2 times the encoding time
            // here, against no measurable cost for this.)
            ThrowIfAvFailed(
                av_opt_set(encoder->priv_data, "x264-params", "rc-lookahead=0:sync-lookahead=0", 0), "Open",
                __LINE__);
            encoder->thread_count = H264ThreadCount();
        }
        else
        {
            // The WMV encoders' rate control counts in frames.
            encoder->time_base = av_inv_q(rate);
            encoder->gop_size = WmvKeyFrameInterval;
        }

        const char* container = codec == Codec::H264 ? "mp4" : "asf";
        AVFormatContext* allocated = nullptr;
        ThrowIfAvFailed(
            libavformat->avformat_alloc_output_context2(&allocated, nullptr, container, path.c_str()), "Open",
            __LINE__);
        format.reset(allocated);
        if (format->oformat->flags & AVFMT_GLOBALHEADER)
        {
            encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        ThrowIfAvFailed(libavcodec->avcodec_open2(encoder.get(), found, nullptr), "Open", __LINE__);

        stream = libavformat->avformat_new_stream(format.get(), nullptr);
        if (!stream)
        {
            ThrowErrno(ENOMEM, "Open", NORVEX_SOURCE_FILE, __LINE__);
        }
        ThrowIfAvFailed(libavcodec->avcodec_parameters_from_context(stream->codecpar, encoder.get()), "Open",
                        __LINE__);
        stream->time_base = codec == Codec::H264 ? HundredNanoseconds : AVRational{1, 1000};
        stream->avg_frame_rate = rate;
        stream->sample_aspect_ratio = AVRational{1, 1};
        if (codec != Codec::H264)
        {
            StateAsfFrameRate(frameRate);
        }

        StartFile(path);
    }
    catch (...)
    {
        Reset();
        if (!createdPath.empty())
        {
            ::unlink(createdPath.c_str());
        }
        throw;
    }
}

void FfmpegMovieWriter::OpenWmv3(const std::string& path, double frameRate, std::uint32_t bitRate)
{
    if (width > Wmv3Encoder::MaximumSize || height > Wmv3Encoder::MaximumSize)
    {
        throw Exception(L"WMV3 の動画の幅と高さは " + std::to_wstring(Wmv3Encoder::MaximumSize) +
                            L" 以下でなければなりません。\n",
                        "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    // Our own encoder; the explicit quantiser lets each picture say which of its two kinds it
    // uses.
    wmv3 = std::make_unique<Wmv3Encoder>(width, height, Wmv3Encoder::Quantizer::Explicit);
    wmv3Rate.emplace(bitRate, frameRate, WmvKeyFrameInterval);
    AVRational rate = {};
    av_reduce(&rate.num, &rate.den, std::llround(frameRate * 1000.0), 1000, 1 << 30);

    AVCodecParameters& parameters = AddStream("asf", path, AV_CODEC_ID_WMV3);
    parameters.codec_tag = MKTAG('W', 'M', 'V', '3');
    parameters.format = AV_PIX_FMT_YUV420P;
    parameters.bit_rate = bitRate;
    parameters.field_order = AV_FIELD_PROGRESSIVE;
    SetExtradata(wmv3->SequenceHeader(), "Open");
    stream->time_base = AVRational{1, 1000};
    stream->avg_frame_rate = rate;
    stream->sample_aspect_ratio = AVRational{1, 1};
    StateAsfFrameRate(frameRate);
    StartFile(path);
}

AVCodecParameters& FfmpegMovieWriter::AddStream(const char* container, const std::string& path,
                                                AVCodecID codecId)
{
    AVFormatContext* allocated = nullptr;
    ThrowIfAvFailed(libavformat->avformat_alloc_output_context2(&allocated, nullptr, container, path.c_str()),
                    "Open", __LINE__);
    format.reset(allocated);
    stream = libavformat->avformat_new_stream(format.get(), nullptr);
    if (!stream)
    {
        ThrowErrno(ENOMEM, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    AVCodecParameters& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_VIDEO;
    parameters.codec_id = codecId;
    parameters.width = width;
    parameters.height = height;
    parameters.sample_aspect_ratio = AVRational{1, 1};
    return parameters;
}

void FfmpegMovieWriter::SetExtradata(std::span<const std::uint8_t> bytes, const char* functionName)
{
    AVCodecParameters& parameters = *stream->codecpar;
    av_freep(&parameters.extradata);
    parameters.extradata_size = 0;
    parameters.extradata =
        static_cast<std::uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters.extradata)
    {
        ThrowErrno(ENOMEM, functionName, NORVEX_SOURCE_FILE, __LINE__);
    }
    std::copy(bytes.begin(), bytes.end(), parameters.extradata);
    parameters.extradata_size = static_cast<int>(bytes.size());
}

void FfmpegMovieWriter::StateAsfFrameRate(double frameRate)
{
    // The muxer writes the extended stream properties, where the nominal rate belongs, only for
    // a stream that names its language; it leaves the rate empty, and the header is completed
    // once written (and again after the trailer rewrites it).
    av_dict_set(&stream->metadata, "language", AsfHeader::StreamLanguage, 0);
    asfFrameRate = frameRate;
}

void FfmpegMovieWriter::StartFile(const std::string& path)
{
    packet.reset(libavcodec->av_packet_alloc());
    if (!packet)
    {
        ThrowErrno(ENOMEM, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (codec != Codec::H264Copy)
    {
        picture.reset(av_frame_alloc());
        if (!picture)
        {
            ThrowErrno(ENOMEM, "Open", NORVEX_SOURCE_FILE, __LINE__);
        }
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = width;
        picture->height = height;
        ThrowIfAvFailed(av_frame_get_buffer(picture.get(), 0), "Open", __LINE__);
    }
    CreateFile(path);
    frameDuration = 0;
    lastPts = lastDts = 0;
    anyFrame = anyPacket = false;
    headerWritten = false;
    if (codec != Codec::H264Copy)
    {
        WriteHeader();
    }
}

void FfmpegMovieWriter::CreateFile(const std::string& path)
{
    // Only now the file is created: every setting before has been accepted. If the header
    // cannot be written (a full disk), Open removes a file created here again.
    struct stat existing = {};
    const bool creates = ::stat(path.c_str(), &existing) != 0 && errno == ENOENT;
    ThrowIfAvFailed(libavformat->avio_open(&format->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE), "Open",
                    __LINE__);
    createdPath = creates ? path : std::string();
    filePath = path;
}

void FfmpegMovieWriter::WriteHeader()
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "flush_packets", "1", 0);
    if (IsMp4())
    {
        // Fragments of 0.3 s at most, each complete in itself: a file cut short plays up to its
        // last whole fragment, losing less than half a second with the encoder's delay. (The
        // muxer closes a fragment when the next frame arrives, which gives the last sample its
        // true duration; closing one earlier by hand would stretch or squeeze the time to the
        // next frame.)
        av_dict_set(&options, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_duration", "300000", 0);
    }
    else
    {
        // The size the data packets are read back in.
        av_dict_set(&options, "packet_size", std::to_string(AsfPacketFollower::PacketSize).c_str(), 0);
    }
    const int written = libavformat->avformat_write_header(format.get(), &options);
    av_dict_free(&options);
    ThrowIfAvFailed(written, "Open", __LINE__);
    headerWritten = true;
    readBack.Reset(::open(filePath.c_str(), O_RDWR | O_CLOEXEC));
    fragmentSizes.clear();
    if (!IsMp4())
    {
        // The data packets start right after the header. Without a way to read them back, no
        // frame counts as in the file before Close.
        asfPackets.Start(readBack.Get(), FileEnd());
        countingStopped = asfPackets.Lost();
    }
    if (asfFrameRate > 0)
    {
        AsfHeader::StateFrameRate(filePath, asfFrameRate);
    }
}

void FfmpegMovieWriter::AddPacket(const unsigned char* data, std::size_t size, std::int64_t sampleTime,
                                  std::int64_t sampleDuration)
{
    if (!format || codec != Codec::H264Copy || size == 0)
    {
        return;
    }
    const bool key = H264AccessUnit::IsKeyFrame(data, size);
    if (!headerWritten)
    {
        // The MP4 header holds the parameter sets; a stream joined between key frames is taken
        // from the next one on.
        if (!key)
        {
            return;
        }
        const auto sets = H264AccessUnit::ParameterSets(data, size);
        if (sets.empty())
        {
            return;
        }
        SetExtradata(sets, "AddFrame");
        WriteHeader();
    }
    WriteBytesAsPacket(data, size, key, sampleTime, sampleDuration);
}

void FfmpegMovieWriter::AddFrame(const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>& frame,
                                 std::int64_t sampleTime, std::int64_t sampleDuration)
{
    if (!format || codec == Codec::H264Copy)
    {
        return;
    }
    const std::int64_t rowBytes = 4 * std::int64_t(width);
    const std::uint8_t* source = nullptr;
    int sourceStride = 0;
    if (frame.data && frame.width == width && frame.height == height && frame.stride >= rowBytes)
    {
        source = reinterpret_cast<const std::uint8_t*>(frame.data);
        sourceStride = frame.stride;
    }
    else
    {
        // Another size: its top-left part that fits on a black picture.
        canvas.assign(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height), 0);
        const std::int32_t rows = frame.data ? std::min(height, frame.height) : 0;
        const std::int32_t columns = frame.data ? std::min(width, frame.width) : 0;
        for (std::int32_t y = 0; y < rows && columns > 0; ++y)
        {
            std::memcpy(canvas.data() + y * rowBytes, frame.Row(y), 4 * std::size_t(columns));
        }
        source = canvas.data();
        sourceStride = static_cast<int>(rowBytes);
    }

    ThrowIfAvFailed(av_frame_make_writable(picture.get()), "AddFrame", __LINE__);
    // BT.601 with limited range, as the encoders' defaults say.
    libyuv::ARGBToI420(source, sourceStride, picture->data[0], picture->linesize[0], picture->data[1],
                       picture->linesize[1], picture->data[2], picture->linesize[2], width, height);
    if (codec == Codec::Wmv3)
    {
        EncodeWmv3(sampleTime, sampleDuration);
        return;
    }

    std::int64_t pts =
        codec == Codec::H264
            ? sampleTime
            : av_rescale_q_rnd(sampleTime, HundredNanoseconds, encoder->time_base,
                               static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    // Encoders refuse a time that does not move forward (two frames within one tick).
    if (anyFrame && pts <= lastPts)
    {
        pts = lastPts + 1;
    }
    picture->pts = pts;
    frameDuration = sampleDuration;
    if (codec != Codec::H264)
    {
        pendingTimes.push_back(sampleTime);
    }
    try
    {
        Encode(picture.get(), "AddFrame");
    }
    catch (...)
    {
        if (codec != Codec::H264 && !pendingTimes.empty() && pendingTimes.back() == sampleTime)
        {
            pendingTimes.pop_back();
        }
        throw;
    }
    lastPts = pts;
    anyFrame = true;
}

void FfmpegMovieWriter::Encode(const AVFrame* input, const char* functionName)
{
    const int sent = libavcodec->avcodec_send_frame(encoder.get(), input);
    if (sent < 0 && sent != AVERROR_EOF)
    {
        ThrowAvError(sent, functionName, __LINE__);
    }
    if (input)
    {
        ++framesTaken;
    }
    for (;;)
    {
        const int received = libavcodec->avcodec_receive_packet(encoder.get(), packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
        {
            return;
        }
        ThrowIfAvFailed(received, functionName, __LINE__);
        AVRational packetBase = encoder->time_base;
        if (codec != Codec::H264)
        {
            // The WMV encoders neither delay nor reorder: packets leave in arrival order.
            if (!pendingTimes.empty())
            {
                packet->pts = packet->dts = pendingTimes.front();
                pendingTimes.pop_front();
            }
            else
            {
                packet->pts = packet->dts = av_rescale_q(packet->pts, encoder->time_base, HundredNanoseconds);
            }
            packetBase = HundredNanoseconds;
        }
        WritePacket(packetBase, functionName);
    }
}

void FfmpegMovieWriter::EncodeWmv3(std::int64_t sampleTime, std::int64_t sampleDuration)
{
    const Wmv3Encoder::ConstPlanes planes = {
        {picture->data[0], picture->data[1], picture->data[2]},
        {picture->linesize[0], picture->linesize[1], picture->linesize[2]}};
    wmv3Rate->Encode(*wmv3, planes, wmv3Packet);
    WriteBytesAsPacket(wmv3Packet.data(), wmv3Packet.size(), wmv3Rate->LastWasKeyFrame(), sampleTime,
                       sampleDuration);
}

void FfmpegMovieWriter::WriteBytesAsPacket(const unsigned char* data, std::size_t size, bool key,
                                           std::int64_t sampleTime, std::int64_t sampleDuration)
{
    ThrowIfAvFailed(libavcodec->av_new_packet(packet.get(), static_cast<int>(size)), "AddFrame", __LINE__);
    std::copy(data, data + size, packet->data);
    if (key)
    {
        packet->flags |= AV_PKT_FLAG_KEY;
    }
    packet->pts = packet->dts = sampleTime;
    frameDuration = sampleDuration;
    anyFrame = true;
    WritePacket(HundredNanoseconds, "AddFrame");
    ++framesTaken;
}

void FfmpegMovieWriter::WritePacket(AVRational packetBase, const char* functionName)
{
    if (packet->duration <= 0)
    {
        packet->duration = av_rescale_q(frameDuration, HundredNanoseconds, packetBase);
    }
    libavcodec->av_packet_rescale_ts(packet.get(), packetBase, stream->time_base);
    if (anyPacket && packet->dts <= lastDts)
    {
        packet->dts = lastDts + 1;
        packet->pts = std::max(packet->pts, packet->dts);
    }
    lastDts = packet->dts;
    anyPacket = true;
    packet->stream_index = stream->index;
    const std::int64_t endBefore = FileEnd();
    const std::int64_t size = packet->size;
    if (!IsMp4() && !countingStopped)
    {
        // The muxer's own time of the frame: its stream counts milliseconds.
        asfPackets.Take({packet->data, static_cast<std::size_t>(packet->size)},
                        static_cast<std::uint32_t>(packet->dts), (packet->flags & AV_PKT_FLAG_KEY) != 0);
    }
    const int written = libavformat->av_interleaved_write_frame(format.get(), packet.get());
    libavcodec->av_packet_unref(packet.get());
    if (written < 0)
    {
        // In MP4 only a fragment's write reaches the disk: the one of the packets before this.
        CountCutFile(endBefore);
        countingStopped = true;
        ThrowAvError(written, functionName, __LINE__);
    }
    CountFramesInFile(packetsWritten++, endBefore);
    if (IsMp4())
    {
        fragmentSizes.push_back(size);
    }
}

std::int64_t FfmpegMovieWriter::FileEnd() const
{
    return format && format->pb ? libavformat->avio_seek(format->pb, 0, SEEK_CUR) : 0;
}

void FfmpegMovieWriter::CountFramesInFile(std::int64_t packetsBefore, std::int64_t endBefore)
{
    if (countingStopped)
    {
        return;
    }
    const std::int64_t end = FileEnd();
    if (IsMp4())
    {
        // The muxer keeps a fragment's samples in memory and writes the fragment whole, just
        // before the sample that starts the next one: the file grows only then, and then holds
        // every frame before this one.
        if (end > endBefore)
        {
            framesInFile = packetsBefore;
            fragmentSizes.clear();
        }
        return;
    }
    framesInFile = std::min(asfPackets.FramesInFile(end), packetsWritten);
    countingStopped = asfPackets.Lost();
}

void FfmpegMovieWriter::CountCutFile(std::int64_t start)
{
    if (countingStopped || !readBack.IsOpen())
    {
        return;
    }
    if (!IsMp4())
    {
        if (const auto found = asfPackets.FramesAfterCut())
        {
            framesInFile = std::min(*found, packetsWritten);
        }
        return;
    }
    // The fragment is its moof box, then the mdat box with the samples in order. Readers take the
    // samples whose bytes are all there, once the moof box is whole.
    const auto bigEndian32 = [](const std::uint8_t* bytes)
    {
        return std::int64_t(bytes[0]) << 24 | std::int64_t(bytes[1]) << 16 | bytes[2] << 8 | bytes[3];
    };
    struct stat status = {};
    std::uint8_t box[16];
    if (::fstat(readBack.Get(), &status) != 0 || ::pread(readBack.Get(), box, 8, start) != 8 ||
        std::memcmp(box + 4, "moof", 4) != 0)
    {
        return;
    }
    const std::int64_t mdat = start + bigEndian32(box);
    const ssize_t read = ::pread(readBack.Get(), box, 16, mdat);
    if (read < 8 || std::memcmp(box + 4, "mdat", 4) != 0 || (bigEndian32(box) == 1 && read < 16))
    {
        return;
    }
    std::int64_t end = mdat + (bigEndian32(box) == 1 ? 16 : 8);
    for (const std::int64_t size : fragmentSizes)
    {
        end += size;
        if (end > status.st_size)
        {
            break;
        }
        ++framesInFile;
    }
}

void FfmpegMovieWriter::Close()
{
    if (!format)
    {
        return;
    }
    try
    {
        if (encoder)
        {
            Encode(nullptr, "Close");
        }
        if (!headerWritten)
        {
            // No key frame came: a file without a header plays nothing and is not left behind;
            // the recording, which counted no frame, says it is empty.
            const std::string made = createdPath;
            Reset();
            if (!made.empty())
            {
                ::unlink(made.c_str());
            }
            return;
        }
        const std::int64_t lastFragment = FileEnd();
        const int finished = libavformat->av_write_trailer(format.get());
        if (finished < 0)
        {
            CountCutFile(lastFragment);
            countingStopped = true;
            ThrowAvError(finished, "Close", __LINE__);
        }
        ThrowIfAvFailed(libavformat->avio_closep(&format->pb), "Close", __LINE__);
        if (!countingStopped)
        {
            framesInFile = packetsWritten;
        }
        if (asfFrameRate > 0)
        {
            AsfHeader::StateFrameRate(filePath, asfFrameRate);
        }
    }
    catch (...)
    {
        Reset();
        throw;
    }
    Reset();
}

void FfmpegMovieWriter::Reset() noexcept
{
    packet.reset();
    picture.reset();
    stream = nullptr;
    format.reset();
    encoder.reset();
    wmv3.reset();
    wmv3Rate.reset();
    wmv3Packet.clear();
    wmv3Packet.shrink_to_fit();
    canvas.clear();
    canvas.shrink_to_fit();
    pendingTimes.clear();
    readBack.Reset();
    asfPackets.Reset();
    fragmentSizes.clear();
}

} // namespace VistelCapture
