// The WMV3 encoder's bit rate and quality against libavcodec's WMV2 encoder with the same key-frame
// interval, on the same frames: the benchmarks' moving picture, the test camera's picture and a
// natural one (PictureSources.h), at
// 640x480, 1280x720 and 1920x1080, asking 1,000, 4,000 and 8,000 kbit/s of both. For each it prints
// the achieved rate over the requested one and the PSNR over the Y, U and V samples of what a
// decoder shows (ours: the encoder's reconstruction, which libavcodec's decoder reproduces exactly;
// WMV2: libavcodec's decoder on its packets), then each of our points against WMV2's PSNR at the
// same rate, interpolated in the logarithm of the rate between WMV2's points (WMV2 also asked for
// half the lowest rate and one and a half times the highest, to have points around ours).
//
// Wmv3RateQualityBenchmark [--photo JPEG] [--frames N] [--quick]
//   --photo  the natural picture's photograph (without it only the other two)
//   --frames frames per encoding (default 150: five seconds)
//   --quick  640x480 only

#include "FfmpegMovieWriter.h"
#include "PictureSources.h"

#include <Wmv3Encoder.h>
#include <Wmv3RateControl.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C"
{
#include <libavcodec/avcodec.h>
}

namespace
{

using VistelBench::YuvPicture;

constexpr double FrameRate = 30;

struct Result
{
    double kbps = 0;
    double psnr = 0;
    bool outOfReach = false; // ours: the rate control found the rate below its coarsest step
};

struct SquaredError
{
    double sum = 0;
    double samples = 0;

    void Add(const std::uint8_t* expected, int expectedStride, const std::uint8_t* actual, int actualStride,
             int width, int height)
    {
        for (int y = 0; y < height; ++y)
        {
            for (int x = 0; x < width; ++x)
            {
                const double d = double(expected[std::ptrdiff_t(y) * expectedStride + x]) -
                                 double(actual[std::ptrdiff_t(y) * actualStride + x]);
                sum += d * d;
            }
        }
        samples += double(width) * height;
    }
    double Psnr() const { return sum <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * samples / sum); }
};

Result EncodeOurs(const std::vector<YuvPicture>& pictures, int width, int height, int kbps)
{
    VistelCapture::Wmv3Encoder encoder(width, height);
    VistelCapture::Wmv3RateControl rate(static_cast<std::uint32_t>(kbps) * 1000, FrameRate,
                                        VistelCapture::FfmpegMovieWriter::WmvKeyFrameInterval);
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    std::vector<std::uint8_t> shown[3] = {std::vector<std::uint8_t>(std::size_t(width) * height),
                                          std::vector<std::uint8_t>(std::size_t(cw) * ch),
                                          std::vector<std::uint8_t>(std::size_t(cw) * ch)};
    const VistelCapture::Wmv3Encoder::Planes output = {{shown[0].data(), shown[1].data(), shown[2].data()},
                                                       {width, cw, cw}};
    std::vector<std::uint8_t> packet;
    double bytes = 0;
    SquaredError error;
    for (const auto& picture : pictures)
    {
        rate.Encode(encoder,
                    {{picture.planes[0].data(), picture.planes[1].data(), picture.planes[2].data()},
                     {picture.stride[0], picture.stride[1], picture.stride[2]}},
                    packet, &output);
        bytes += double(packet.size());
        for (int plane = 0; plane < 3; ++plane)
        {
            error.Add(picture.planes[plane].data(), picture.stride[plane], shown[plane].data(),
                      output.stride[plane], plane ? cw : width, plane ? ch : height);
        }
    }
    return {bytes * 8 / (double(pictures.size()) / FrameRate) / 1000, error.Psnr(), rate.RateOutOfReach()};
}

Result EncodeWmv2(const std::vector<YuvPicture>& pictures, int width, int height, int kbps)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    const AVCodec* decoderCodec = avcodec_find_decoder(AV_CODEC_ID_WMV2);
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    // As the writer sets it up (and as a user's ffmpeg -c:v wmv2 -b:v -g 12 would).
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->bit_rate = std::int64_t(kbps) * 1000;
    encoder->time_base = AVRational{1, static_cast<int>(FrameRate)};
    encoder->framerate = AVRational{static_cast<int>(FrameRate), 1};
    encoder->gop_size = VistelCapture::FfmpegMovieWriter::WmvKeyFrameInterval;
    if (avcodec_open2(encoder, codec, nullptr) < 0)
    {
        VistelBench::Fail("cannot open the WMV2 encoder");
    }
    AVCodecContext* decoder = avcodec_alloc_context3(decoderCodec);
    decoder->width = width;
    decoder->height = height;
    decoder->extradata =
        static_cast<std::uint8_t*>(av_mallocz(encoder->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(decoder->extradata, encoder->extradata, encoder->extradata_size);
    decoder->extradata_size = encoder->extradata_size;
    decoder->thread_count = 1;
    if (avcodec_open2(decoder, decoderCodec, nullptr) < 0)
    {
        VistelBench::Fail("cannot open the WMV2 decoder");
    }
    AVFrame* frame = av_frame_alloc();
    AVFrame* decoded = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    double bytes = 0;
    std::size_t shown = 0;
    SquaredError error;
    const auto drain = [&]
    {
        while (avcodec_receive_packet(encoder, packet) == 0)
        {
            bytes += packet->size;
            avcodec_send_packet(decoder, packet);
            av_packet_unref(packet);
            while (avcodec_receive_frame(decoder, decoded) == 0 && shown < pictures.size())
            {
                const auto& picture = pictures[shown++];
                for (int plane = 0; plane < 3; ++plane)
                {
                    error.Add(picture.planes[plane].data(), picture.stride[plane], decoded->data[plane],
                              decoded->linesize[plane], plane ? (width + 1) / 2 : width,
                              plane ? (height + 1) / 2 : height);
                }
            }
        }
    };
    for (std::size_t n = 0; n < pictures.size(); ++n)
    {
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        for (int plane = 0; plane < 3; ++plane)
        {
            frame->data[plane] = const_cast<std::uint8_t*>(pictures[n].planes[plane].data());
            frame->linesize[plane] = pictures[n].stride[plane];
        }
        frame->pts = static_cast<std::int64_t>(n);
        avcodec_send_frame(encoder, frame);
        drain();
    }
    avcodec_send_frame(encoder, nullptr);
    drain();
    if (shown != pictures.size())
    {
        VistelBench::Fail("the WMV2 decoder showed " + std::to_string(shown) + " frames");
    }
    av_packet_free(&packet);
    av_frame_free(&decoded);
    av_frame_free(&frame);
    avcodec_free_context(&decoder);
    avcodec_free_context(&encoder);
    return {bytes * 8 / (double(pictures.size()) / FrameRate) / 1000, error.Psnr()};
}

// WMV2's PSNR at `kbps`, between its two points around it; NaN outside them.
double Wmv2PsnrAt(const std::vector<Result>& wmv2, double kbps)
{
    for (std::size_t i = 0; i + 1 < wmv2.size(); ++i)
    {
        const Result& a = wmv2[i];
        const Result& b = wmv2[i + 1];
        const double low = std::min(a.kbps, b.kbps), high = std::max(a.kbps, b.kbps);
        if (kbps >= low && kbps <= high && high > low)
        {
            const double t = (std::log(kbps) - std::log(a.kbps)) / (std::log(b.kbps) - std::log(a.kbps));
            return a.psnr + t * (b.psnr - a.psnr);
        }
    }
    return std::nan("");
}

} // namespace

int main(int argc, char** argv)
{
    std::string photo;
    int frames = 150;
    bool quick = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        if (argument == "--photo" && i + 1 < argc)
        {
            photo = argv[++i];
        }
        else if (argument == "--frames" && i + 1 < argc)
        {
            frames = std::max(12, std::atoi(argv[++i]));
        }
        else if (argument == "--quick")
        {
            quick = true;
        }
        else
        {
            VistelBench::Fail("usage: Wmv3RateQualityBenchmark [--photo JPEG] [--frames N] [--quick]");
        }
    }
    const std::vector<std::pair<int, int>> sizes =
        quick ? std::vector<std::pair<int, int>>{{640, 480}}
              : std::vector<std::pair<int, int>>{{640, 480}, {1280, 720}, {1920, 1080}};
    const int rates[] = {1000, 4000, 8000};
    std::vector<VistelBench::PictureSource> sources = {VistelBench::PictureSource::Moving,
                                                       VistelBench::PictureSource::TestCamera};
    if (!photo.empty())
    {
        sources.push_back(VistelBench::PictureSource::Natural);
    }
    for (const auto source : sources)
    {
        for (const auto& [width, height] : sizes)
        {
            const auto pictures = VistelBench::ReadPictures(source, width, height, frames, photo);
            std::vector<Result> ours, wmv2;
            // WMV2 also below and above the rates asked for, so our points fall between two of its.
            wmv2.push_back(EncodeWmv2(pictures, width, height, rates[0] / 2));
            for (const int kbps : rates)
            {
                ours.push_back(EncodeOurs(pictures, width, height, kbps));
                wmv2.push_back(EncodeWmv2(pictures, width, height, kbps));
                std::printf(
                    "%s %dx%d %5d kbit/s: WMV3 %7.0f kbit/s (%.2f of asked%s) %.2f dB; WMV2 %7.0f kbit/s "
                    "(%.2f) %.2f dB\n",
                    VistelBench::Name(source), width, height, kbps, ours.back().kbps, ours.back().kbps / kbps,
                    ours.back().outOfReach ? ", out of reach" : "", ours.back().psnr, wmv2.back().kbps,
                    wmv2.back().kbps / kbps, wmv2.back().psnr);
                std::fflush(stdout);
            }
            wmv2.push_back(EncodeWmv2(pictures, width, height, rates[2] * 3 / 2));
            for (const auto& point : ours)
            {
                const double reference = Wmv2PsnrAt(wmv2, point.kbps);
                if (std::isnan(reference))
                {
                    std::printf("  equal size: WMV3 %.2f dB at %.0f kbit/s, outside WMV2's points\n",
                                point.psnr, point.kbps);
                }
                else
                {
                    std::printf("  equal size: WMV3 %.2f dB at %.0f kbit/s, WMV2 %.2f dB there (%+.2f dB)\n",
                                point.psnr, point.kbps, reference, point.psnr - reference);
                }
            }
        }
    }
    return 0;
}
