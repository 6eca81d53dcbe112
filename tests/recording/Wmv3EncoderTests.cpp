// The WMV3 encoder against libavcodec's decoder, with every error check of the decoder on: a
// stream it complains about, reads past the end of, or shows differently from the encoder's own
// reconstruction fails.

#include <Wmv3Encoder.h>
#include <Wmv3RateControl.h>
#include <Wmv3Transform.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

using VistelCapture::Wmv3Encoder;

namespace
{

// A 4:2:0 picture of its own.
struct Picture
{
    int width = 0;
    int height = 0;
    std::array<std::vector<std::uint8_t>, 3> planes;

    Picture(int width, int height) : width(width), height(height)
    {
        for (int plane = 0; plane < 3; ++plane)
        {
            planes[plane].resize(std::size_t(PlaneWidth(plane)) * std::size_t(PlaneHeight(plane)));
        }
    }
    int PlaneWidth(int plane) const { return plane ? (width + 1) / 2 : width; }
    int PlaneHeight(int plane) const { return plane ? (height + 1) / 2 : height; }
    std::uint8_t& At(int plane, int x, int y)
    {
        return planes[plane][std::size_t(y) * PlaneWidth(plane) + x];
    }
    Wmv3Encoder::ConstPlanes Input() const
    {
        return {{planes[0].data(), planes[1].data(), planes[2].data()},
                {PlaneWidth(0), PlaneWidth(1), PlaneWidth(2)}};
    }
    Wmv3Encoder::Planes Output()
    {
        return {{planes[0].data(), planes[1].data(), planes[2].data()},
                {PlaneWidth(0), PlaneWidth(1), PlaneWidth(2)}};
    }
};

// Smooth shading, sharp edges and noise that changes with n: small and large levels, long and
// short runs, so every code and escape gets its turn.
Picture MakeDetailed(int width, int height, int n)
{
    Picture picture(width, height);
    std::uint32_t seed = 12345u + 977u * static_cast<std::uint32_t>(n);
    const auto random = [&seed]
    {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<int>(seed >> 24);
    };
    for (int plane = 0; plane < 3; ++plane)
    {
        for (int y = 0; y < picture.PlaneHeight(plane); ++y)
        {
            for (int x = 0; x < picture.PlaneWidth(plane); ++x)
            {
                int value = (x * 3 + y * 2 + 40 * plane + 5 * n) % 256;
                if (((x + n) / 24 + y / 16) % 3 == 0)
                {
                    value = (x / 4 + y / 4) % 2 ? 250 : 5; // hard edges
                }
                else if ((x / 32 + y / 32 + n) % 4 == 1)
                {
                    value = random(); // noise
                }
                picture.At(plane, x, y) = static_cast<std::uint8_t>(value);
            }
        }
    }
    return picture;
}

// Smooth waves with a soft checkerboard: what a camera sees, without noise that a coarse step
// can happen to match better than a fine one.
Picture MakeNatural(int width, int height)
{
    Picture picture(width, height);
    for (int plane = 0; plane < 3; ++plane)
    {
        const double w = picture.PlaneWidth(plane), h = picture.PlaneHeight(plane);
        for (int y = 0; y < h; ++y)
        {
            for (int x = 0; x < w; ++x)
            {
                const double fx = x / w, fy = y / h;
                const double value = 128 + 60 * std::sin(fx * 17 + fy * 5 + plane) +
                                     40 * std::cos(fy * 23 * fx) + ((x / 8 + y / 8) % 2 ? 10 : -10);
                picture.At(plane, x, y) = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return picture;
}

// A camera panning over waves, a bright square crossing it and a corner of noise that never
// repeats: still, moved and new macroblocks in every picture.
Picture MakeMoving(int width, int height, int n)
{
    Picture picture(width, height);
    std::uint32_t seed = 4711u + 131u * static_cast<std::uint32_t>(n);
    for (int plane = 0; plane < 3; ++plane)
    {
        const int w = picture.PlaneWidth(plane), h = picture.PlaneHeight(plane), shift = plane ? 1 : 0;
        for (int y = 0; y < h; ++y)
        {
            for (int x = 0; x < w; ++x)
            {
                // The background moves a pixel and a half a picture: half-pixel vectors fit it.
                const double fx = (x + 1.5 * n / (1 << shift)) / w, fy = double(y + (n >> shift)) / h;
                double value = 128 + 60 * std::sin(fx * 17 + fy * 5 + plane) + 40 * std::cos(fy * 23 * fx);
                const int left = (7 * n) % (width - 48) >> shift, top = (5 * n) % (height - 48) >> shift;
                if (x >= left && x < left + (48 >> shift) && y >= top && y < top + (48 >> shift))
                {
                    value = plane ? 90 : 235;
                }
                if (x < w / 4 && y >= h - h / 4)
                {
                    seed = seed * 1664525u + 1013904223u;
                    value = 60 + (seed >> 25);
                }
                picture.At(plane, x, y) = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return picture;
}

double PlanePsnr(const Picture& expected, const Picture& actual, int plane)
{
    double sum = 0;
    for (std::size_t i = 0; i < expected.planes[plane].size(); ++i)
    {
        const double d = double(expected.planes[plane][i]) - double(actual.planes[plane][i]);
        sum += d * d;
    }
    const double mse = sum / double(expected.planes[plane].size());
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

// Everything libavcodec logs at warning level or worse, while an Oracle lives.
std::mutex logLock;
std::vector<std::string> logged;

void CollectLog(void*, int level, const char* format, va_list arguments)
{
    if (level > AV_LOG_WARNING)
    {
        return;
    }
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line(text);
    std::lock_guard guard(logLock);
    logged.push_back(std::move(line));
}

// libavcodec's WMV3 decoder with error detection on.
class Oracle
{
public:
    Oracle(const Wmv3Encoder& encoder)
    {
        av_log_set_callback(&CollectLog);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_WMV3);
        if (!codec)
        {
            throw std::runtime_error("no WMV3 decoder");
        }
        context.reset(avcodec_alloc_context3(codec));
        const auto header = encoder.SequenceHeader();
        context->extradata =
            static_cast<std::uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::copy(header.begin(), header.end(), context->extradata);
        context->extradata_size = static_cast<int>(header.size());
        context->width = encoder.Width();
        context->height = encoder.Height();
        context->thread_count = 1;
        // Without it the decoder's half-pixel filter takes a shortcut that is off by one where a
        // sample is 0; the format's filter is the exact one.
        context->flags |= AV_CODEC_FLAG_BITEXACT;
        context->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE |
                                   AV_EF_CAREFUL | AV_EF_COMPLIANT | AV_EF_AGGRESSIVE;
        if (avcodec_open2(context.get(), codec, nullptr) < 0)
        {
            throw std::runtime_error("cannot open the WMV3 decoder");
        }
        frame.reset(av_frame_alloc());
        packet.reset(av_packet_alloc());
    }
    ~Oracle() { av_log_set_callback(&av_log_default_callback); }

    // Decodes one packet; fails the test on any error or complaint.
    Picture Decode(const std::vector<std::uint8_t>& bytes)
    {
        {
            std::lock_guard guard(logLock);
            logged.clear();
        }
        Picture picture(context->width, context->height);
        EXPECT_EQ(av_new_packet(packet.get(), static_cast<int>(bytes.size())), 0);
        std::copy(bytes.begin(), bytes.end(), packet->data);
        packet->flags |= AV_PKT_FLAG_KEY;
        EXPECT_EQ(avcodec_send_packet(context.get(), packet.get()), 0);
        av_packet_unref(packet.get());
        const int received = avcodec_receive_frame(context.get(), frame.get());
        EXPECT_EQ(received, 0) << "no picture out of the decoder";
        if (received == 0)
        {
            EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
            EXPECT_EQ(frame->decode_error_flags, 0);
            EXPECT_EQ(frame->flags & AV_FRAME_FLAG_CORRUPT, 0);
            for (int plane = 0; plane < 3; ++plane)
            {
                for (int y = 0; y < picture.PlaneHeight(plane); ++y)
                {
                    std::copy_n(frame->data[plane] + std::ptrdiff_t(y) * frame->linesize[plane],
                                picture.PlaneWidth(plane), &picture.At(plane, 0, y));
                }
            }
            av_frame_unref(frame.get());
        }
        std::lock_guard guard(logLock);
        for (const auto& line : logged)
        {
            ADD_FAILURE() << "decoder: " << line;
        }
        return picture;
    }

private:
    struct Deleter
    {
        void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
        void operator()(AVFrame* f) const { av_frame_free(&f); }
        void operator()(AVPacket* p) const { av_packet_free(&p); }
    };
    std::unique_ptr<AVCodecContext, Deleter> context;
    std::unique_ptr<AVFrame, Deleter> frame;
    std::unique_ptr<AVPacket, Deleter> packet;
};

// Encodes, decodes and compares with the encoder's reconstruction; returns the decoded picture.
Picture RoundTrip(Wmv3Encoder& encoder, Oracle& oracle, const Picture& input,
                  const Wmv3Encoder::PictureSettings& settings)
{
    Picture reconstruction(input.width, input.height);
    std::vector<std::uint8_t> packet;
    auto output = reconstruction.Output();
    encoder.Encode(input.Input(), settings, packet, &output);
    Picture decoded = oracle.Decode(packet);
    for (int plane = 0; plane < 3; ++plane)
    {
        EXPECT_TRUE(decoded.planes[plane] == reconstruction.planes[plane])
            << "plane " << plane << " differs from the reconstruction at PQINDEX " << settings.pqIndex
            << (settings.halfStep ? "+half" : "");
    }
    return decoded;
}

} // namespace

// Every quantiser (PQINDEX 1-31, with and without the half step, in each way of stating the
// quantiser), every AC set and DC table, AC prediction and all three escapes: the decoder reads
// each picture without a complaint and shows exactly what the encoder reconstructed.
TEST(Wmv3Encoder, TheDecoderShowsExactlyTheReconstructionForEveryQuantiserAndTable)
{
    std::set<std::tuple<int, int, int>> tablesSeen;
    std::array<int, 3> escapes{};
    int predicted = 0;
    int n = 0;
    for (const auto quantizer : {Wmv3Encoder::Quantizer::Implicit, Wmv3Encoder::Quantizer::Explicit,
                                 Wmv3Encoder::Quantizer::NonUniform, Wmv3Encoder::Quantizer::Uniform})
    {
        Wmv3Encoder encoder(176, 144, quantizer);
        Oracle oracle(encoder);
        for (int pqIndex = 1; pqIndex <= 31; ++pqIndex)
        {
            for (const bool half : {false, true})
            {
                if (half && pqIndex > 8)
                {
                    continue;
                }
                Wmv3Encoder::PictureSettings settings;
                settings.pqIndex = pqIndex;
                settings.halfStep = half;
                settings.nonUniform = n % 2 == 1;
                // Forced tables in turn, and now and then the encoder's own choice.
                if (n % 19 != 18)
                {
                    settings.lumaSelector = n % 3;
                    settings.chromaSelector = n / 3 % 3;
                    settings.dcTable = n / 9 % 2;
                }
                RoundTrip(encoder, oracle, MakeDetailed(176, 144, n), settings);
                const auto& used = encoder.LastStatistics();
                tablesSeen.emplace(used.lumaSelector, used.chromaSelector, used.dcTable);
                for (int mode = 0; mode < 3; ++mode)
                {
                    escapes[mode] += used.escapes[mode];
                }
                predicted += used.acPredictedMacroblocks;
                ++n;
                if (HasFailure())
                {
                    return;
                }
            }
        }
    }
    EXPECT_EQ(tablesSeen.size(), 18u);
    EXPECT_GT(escapes[0], 0);
    EXPECT_GT(escapes[1], 0);
    EXPECT_GT(escapes[2], 0);
    EXPECT_GT(predicted, 0);
}

// Sizes that are whole macroblocks and sizes that need padding, from one macroblock to 1080p.
TEST(Wmv3Encoder, EverySizeDecodesExactlyAndCropsItsPadding)
{
    for (const auto& [width, height] :
         {std::pair{16, 16}, std::pair{320, 240}, std::pair{642, 482}, std::pair{1920, 1080}})
    {
        Wmv3Encoder encoder(width, height);
        Oracle oracle(encoder);
        int n = 0;
        for (const int pqIndex : width < 1920 ? std::vector{1, 4, 9, 31} : std::vector{1, 31})
        {
            Wmv3Encoder::PictureSettings settings;
            settings.pqIndex = pqIndex;
            settings.halfStep = pqIndex == 4;
            RoundTrip(encoder, oracle, MakeDetailed(width, height, n++), settings);
            if (HasFailure())
            {
                FAIL() << width << "x" << height << " at PQINDEX " << pqIndex;
            }
        }
    }
}

// A flat colour comes back exactly; a gradient keeps its quality at a middle quantiser; and
// every coarser quantiser costs quality, never gains it.
TEST(Wmv3Encoder, QualityIsExactForFlatColourAndFallsSteadilyWithTheQuantiser)
{
    Wmv3Encoder encoder(320, 240);
    Oracle oracle(encoder);
    for (const auto& [y, u, v] : {std::tuple{16, 128, 128}, std::tuple{235, 16, 240}, std::tuple{81, 90, 240},
                                  std::tuple{0, 255, 0}, std::tuple{127, 128, 129}})
    {
        Picture flat(320, 240);
        std::fill(flat.planes[0].begin(), flat.planes[0].end(), y);
        std::fill(flat.planes[1].begin(), flat.planes[1].end(), u);
        std::fill(flat.planes[2].begin(), flat.planes[2].end(), v);
        for (int pqIndex = 1; pqIndex <= 2; ++pqIndex)
        {
            Wmv3Encoder::PictureSettings settings;
            settings.pqIndex = pqIndex;
            const Picture decoded = RoundTrip(encoder, oracle, flat, settings);
            for (int plane = 0; plane < 3; ++plane)
            {
                EXPECT_EQ(PlanePsnr(flat, decoded, plane), INFINITY)
                    << y << " " << u << " " << v << " plane " << plane;
            }
        }
    }

    Picture gradient(320, 240);
    for (int plane = 0; plane < 3; ++plane)
    {
        for (int yy = 0; yy < gradient.PlaneHeight(plane); ++yy)
        {
            for (int x = 0; x < gradient.PlaneWidth(plane); ++x)
            {
                gradient.At(plane, x, yy) = static_cast<std::uint8_t>(
                    plane == 0 ? (x * 255 / 319 + yy / 4) / 1.25 : 60 + x / 2 + plane * yy / 3);
            }
        }
    }
    Wmv3Encoder::PictureSettings settings;
    settings.pqIndex = 6;
    const Picture decoded = RoundTrip(encoder, oracle, gradient, settings);
    EXPECT_GE(PlanePsnr(gradient, decoded, 0), 43.0);

    const Picture natural = MakeNatural(320, 240);
    double previous = INFINITY;
    std::int64_t previousBits = INT64_MAX;
    // The steps the rate control climbs: PQINDEX 1-31 with the half steps, then non-uniform.
    for (int step = 0; step < VistelCapture::Wmv3RateControl::StepCount; ++step)
    {
        const auto stepSettings = VistelCapture::Wmv3RateControl::Step(step);
        const double psnr = PlanePsnr(natural, RoundTrip(encoder, oracle, natural, stepSettings), 0);
        EXPECT_LT(psnr, previous) << "step " << step;
        // Rate control counts on fewer bits for every coarser step.
        EXPECT_LT(encoder.LastStatistics().bits, previousBits) << "step " << step;
        previous = psnr;
        previousBits = encoder.LastStatistics().bits;
    }
}

// What a picture gives depends on that picture alone: coded again after others, it gives the same
// bits (the choice of AC prediction once read levels the picture before had left behind).
TEST(Wmv3Encoder, APictureCodedAgainAfterOthersGivesTheSameBits)
{
    Wmv3Encoder encoder(320, 240);
    Wmv3Encoder::PictureSettings settings;
    settings.pqIndex = 4;
    const Picture picture = MakeDetailed(320, 240, 3);
    std::vector<std::uint8_t> first, other, again;
    encoder.Encode(picture.Input(), settings, first);
    EXPECT_GT(encoder.LastStatistics().acPredictedMacroblocks, 0);
    // Four pictures on, the picture counter in the header is the same again.
    for (int n = 0; n < 3; ++n)
    {
        encoder.Encode(MakeDetailed(320, 240, 10 + n).Input(), settings, other);
    }
    encoder.Encode(picture.Input(), settings, again);
    EXPECT_TRUE(first == again);
}

// A recording: 300 pictures of a moving scene through the rate control, key frames every 12 and
// P pictures between them. The decoder shows every one exactly as the encoder reconstructed it,
// so nothing drifts from one key frame to the next, and still macroblocks are skipped.
TEST(Wmv3Encoder, ARecordingOfKeyFramesAndPPicturesDecodesExactlyToTheLastPicture)
{
    for (const auto& [width, height] : {std::pair{320, 240}, std::pair{210, 118}})
    {
        Wmv3Encoder encoder(width, height, Wmv3Encoder::Quantizer::Explicit);
        VistelCapture::Wmv3RateControl rate(400000, 30, 12);
        Oracle oracle(encoder);
        int keyFrames = 0;
        int skipped = 0;
        int halfPixel = 0;
        std::int64_t bytes = 0;
        for (int n = 0; n < 300; ++n)
        {
            const Picture input = MakeMoving(width, height, n);
            Picture reconstruction(width, height);
            auto output = reconstruction.Output();
            std::vector<std::uint8_t> packet;
            rate.Encode(encoder, input.Input(), packet, &output);
            EXPECT_EQ(rate.LastWasKeyFrame(), n % 12 == 0) << "picture " << n;
            keyFrames += rate.LastWasKeyFrame() ? 1 : 0;
            skipped += encoder.LastStatistics().skippedMacroblocks;
            halfPixel += encoder.LastStatistics().halfPixelVectors;
            bytes += static_cast<std::int64_t>(packet.size());
            const Picture decoded = oracle.Decode(packet);
            for (int plane = 0; plane < 3; ++plane)
            {
                ASSERT_TRUE(decoded.planes[plane] == reconstruction.planes[plane])
                    << width << "x" << height << " picture " << n << " plane " << plane;
            }
            ASSERT_FALSE(HasFailure()) << "picture " << n;
        }
        EXPECT_EQ(keyFrames, 25);
        EXPECT_GT(skipped, 0);
        EXPECT_GT(halfPixel, 0);
        EXPECT_NEAR(bytes * 8.0 / 10 / 400000, 1.0, 0.2);
    }
}

// The vector kernels against their plain forms, on blocks of samples and of differences across the
// whole range, at every step: a lane, a rounding or a saturation that is off shows as a block the
// decoder would rebuild differently from the encoder's reconstruction.
TEST(Wmv3Encoder, TheVectorTransformsMatchThePlainOnesExactly)
{
    namespace Transform = VistelCapture::Wmv3Transform;
    std::mt19937 random(29);
    std::uniform_int_distribution<int> sample(0, 255);
    float scale[64];
    for (int h = 0; h < 8; ++h)
    {
        for (int v = 0; v < 8; ++v)
        {
            scale[8 * h + v] =
                static_cast<float>(8 * 1024.0 / (Transform::BasisNorm[v] * Transform::BasisNorm[h]));
        }
    }
    int mismatches = 0;
    for (int n = 0; n < 20000; ++n)
    {
        // Noise, flat extremes and hard edges, alone and as differences from a prediction.
        std::uint8_t picture[64], prediction[64];
        const int kind = n % 4;
        for (int i = 0; i < 64; ++i)
        {
            picture[i] = static_cast<std::uint8_t>(kind == 1 ? (i % 8 < 4 ? 255 : 0) : sample(random));
            prediction[i] = static_cast<std::uint8_t>(kind == 2 ? 255 - picture[i] : sample(random));
        }
        const std::uint8_t* from = kind == 3 ? nullptr : prediction;
        std::int16_t coefficients[64], expected[64];
        const int largest = Transform::ForwardScaled(picture, from, 8, scale, coefficients);
        mismatches += largest != Transform::Scalar::ForwardScaled(picture, from, 8, scale, expected);
        mismatches += !std::equal(coefficients, coefficients + 64, expected);
        // Two blocks at once (AVX2 where the processor has it): the second the first's mirror.
        std::int16_t pair[2][64], mirrored[64];
        int largestOfPair[2];
        const std::uint8_t* other = kind == 3 ? nullptr : picture;
        Transform::ForwardScaledPair({picture, prediction}, {from, other}, {8, 8}, scale, {pair[0], pair[1]},
                                     largestOfPair);
        mismatches += largestOfPair[0] != largest || !std::equal(coefficients, coefficients + 64, pair[0]);
        mismatches +=
            largestOfPair[1] != Transform::Scalar::ForwardScaled(prediction, other, 8, scale, mirrored);
        mismatches += !std::equal(mirrored, mirrored + 64, pair[1]);

        // Quantised at every step the encoder uses, uniform and not, then back into a block.
        const int pquant = 1 + n % 31;
        const int step = 2 * pquant + (pquant <= 8 ? (n / 31) % 2 : 0);
        const int widen = (n / 62) % 2 ? pquant : 0;
        const int limit = pquant < 8 ? 2047 : 255;
        std::int16_t levels[64], plainLevels[64];
        const Transform::Quantiser quantiser(8 * step, 0.34 - (widen ? double(pquant) / step : 0.0), limit);
        const std::uint64_t nonZero = Transform::Quantise(coefficients, quantiser, levels);
        mismatches += nonZero != Transform::Scalar::Quantise(coefficients, quantiser, plainLevels);
        mismatches += !std::equal(levels, levels + 64, plainLevels);
        std::int16_t values[64], plainValues[64];
        Transform::Dequantise(levels, step, widen, values);
        Transform::Scalar::Dequantise(levels, step, widen, plainValues);
        mismatches += !std::equal(values, values + 64, plainValues);
        for (const bool add : {false, true})
        {
            std::uint8_t block[64], plainBlock[64];
            std::copy(prediction, prediction + 64, block);
            std::copy(prediction, prediction + 64, plainBlock);
            Transform::InverseTransposed(values, block, 8, add);
            Transform::Scalar::InverseTransposed(plainValues, plainBlock, 8, add);
            mismatches += !std::equal(block, block + 64, plainBlock);
            // Paired with the coefficients themselves as the second block's values.
            std::uint8_t first[64], second[64], plainSecond[64];
            std::copy(prediction, prediction + 64, first);
            std::copy(picture, picture + 64, second);
            std::copy(picture, picture + 64, plainSecond);
            Transform::InverseTransposedPair({values, coefficients}, {first, second}, {8, 8}, add);
            Transform::Scalar::InverseTransposed(coefficients, plainSecond, 8, add);
            mismatches +=
                !std::equal(first, first + 64, plainBlock) || !std::equal(second, second + 64, plainSecond);
        }
    }
    EXPECT_EQ(mismatches, 0);
}
