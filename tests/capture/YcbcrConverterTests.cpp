#include "VideoCapture/YcbcrConverter.h"

#include "TextbookWeights.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace Norvex::Core::VideoCapture;

namespace
{

using Matrix = ColourEncoding::Matrix;
using Instructions = YcbcrConverter::Instructions;

// Every level this processor runs: the scalar rows, SSE2 and, where present, AVX2.
std::vector<Instructions> LevelsHere()
{
    std::vector<Instructions> levels{Instructions::Scalar};
    if (YcbcrConverter::Best() != Instructions::Scalar)
    {
        levels.push_back(Instructions::Sse2);
    }
    if (YcbcrConverter::Best() == Instructions::Avx2)
    {
        levels.push_back(Instructions::Avx2);
    }
    return levels;
}

// The textbook conversion in double precision, before rounding and clamping: B, G, R.
struct Formula
{
    double luma;
    double lumaOffset;
    double cb[3];
    double cr[3];

    explicit Formula(ColourEncoding encoding)
    {
        const Norvex::Testing::TextbookWeights weights(encoding.matrix);
        const double kr = weights.red;
        const double kb = weights.blue;
        const double kg = 1 - kr - kb;
        // E'y in [0, 1] and E'cb, E'cr in [-0.5, 0.5] from the coded levels, then R'G'B' in [0, 255].
        luma = encoding.fullRange ? 1.0 : 255.0 / 219;
        lumaOffset = encoding.fullRange ? 0 : 16;
        const double chroma = encoding.fullRange ? 1.0 : 255.0 / 224;
        cb[0] = chroma * (2 - 2 * kb);
        cb[1] = -chroma * (2 - 2 * kb) * kb / kg;
        cb[2] = 0;
        cr[0] = 0;
        cr[1] = -chroma * (2 - 2 * kr) * kr / kg;
        cr[2] = chroma * (2 - 2 * kr);
    }

    double Channel(int channel, int y, int u, int v) const
    {
        const double value = luma * (y - lumaOffset) + cb[channel] * (u - 128) + cr[channel] * (v - 128);
        return std::clamp(value, 0.0, 255.0);
    }
};

std::string Describe(ColourEncoding encoding, Instructions level)
{
    static const char* const matrices[] = {"BT.601", "BT.709", "BT.2020", "SMPTE 240M"};
    static const char* const levels[] = {"scalar", "SSE2", "AVX2"};
    return std::string(matrices[static_cast<int>(encoding.matrix)]) +
           (encoding.fullRange ? " full" : " limited") + " range, " + levels[static_cast<int>(level)];
}

const Matrix allMatrices[] = {Matrix::Bt601, Matrix::Bt709, Matrix::Bt2020, Matrix::Smpte240m};

} // namespace

// Every Y'CbCr triple of every matrix and range, on every instruction level: a gain or rounding
// that is off shows as a colour more than one level from the formula somewhere in the cube.
TEST(YcbcrConverter, EveryInputTripleIsWithinOneLevelOfTheFormula)
{
    // One row per chroma pair: 256 pixels carrying every luma level, the chroma constant.
    constexpr int width = 256;
    std::vector<std::uint8_t> luma(width);
    for (int y = 0; y < width; ++y)
    {
        luma[static_cast<std::size_t>(y)] = static_cast<std::uint8_t>(y);
    }
    std::vector<std::uint8_t> cb(width / 2);
    std::vector<std::uint8_t> cr(width / 2);
    std::vector<std::uint8_t> out(4 * width);
    std::vector<double> expected(3 * width);
    for (const Matrix matrix : allMatrices)
    {
        for (const bool fullRange : {false, true})
        {
            const ColourEncoding encoding{matrix, fullRange};
            const Formula formula(encoding);
            std::vector<YcbcrConverter> converters;
            for (const Instructions level : LevelsHere())
            {
                converters.emplace_back(PixelLayout::I422, encoding, level);
            }
            double worst[3] = {};
            int worstAt[3][4] = {};
            for (int u = 0; u < 256; ++u)
            {
                for (int v = 0; v < 256; ++v)
                {
                    std::fill(cb.begin(), cb.end(), static_cast<std::uint8_t>(u));
                    std::fill(cr.begin(), cr.end(), static_cast<std::uint8_t>(v));
                    for (int y = 0; y < width; ++y)
                    {
                        for (int channel = 0; channel < 3; ++channel)
                        {
                            expected[static_cast<std::size_t>(3 * y + channel)] =
                                formula.Channel(channel, y, u, v);
                        }
                    }
                    SourcePlanes source;
                    source.data[0] = luma.data();
                    source.data[1] = cb.data();
                    source.data[2] = cr.data();
                    source.stride[0] = width;
                    source.stride[1] = source.stride[2] = width / 2;
                    for (std::size_t level = 0; level < converters.size(); ++level)
                    {
                        converters[level].Convert(source, width, 1, out.data(), 4 * width);
                        for (int y = 0; y < width; ++y)
                        {
                            for (int channel = 0; channel < 3; ++channel)
                            {
                                const double error =
                                    std::abs(out[static_cast<std::size_t>(4 * y + channel)] -
                                             expected[static_cast<std::size_t>(3 * y + channel)]);
                                if (error > worst[level])
                                {
                                    worst[level] = error;
                                    worstAt[level][0] = y, worstAt[level][1] = u, worstAt[level][2] = v;
                                    worstAt[level][3] = channel;
                                }
                            }
                            ASSERT_EQ(out[static_cast<std::size_t>(4 * y + 3)], 255);
                        }
                    }
                }
            }
            for (std::size_t level = 0; level < converters.size(); ++level)
            {
                EXPECT_LE(worst[level], 1.0)
                    << Describe(encoding, LevelsHere()[level]) << ": Y'CbCr " << worstAt[level][0] << ", "
                    << worstAt[level][1] << ", " << worstAt[level][2] << " channel " << worstAt[level][3];
            }
        }
    }
}

// Each layout read from where its samples really lie: odd widths that leave a tail after the
// vector blocks, padded lines, chroma shared by two rows only in the 4:2:0 layouts, and Cr before
// Cb where the layout says so. Every level gives the same bytes, each within a level of the formula.
TEST(YcbcrConverter, EveryLayoutReadsItsOwnSamplesAtEveryWidth)
{
    struct Layout
    {
        PixelLayout layout;
        const char* name;
        bool halfHeight;
    };
    const Layout layouts[] = {{PixelLayout::Yuyv, "YUYV", false}, {PixelLayout::Yvyu, "YVYU", false},
                              {PixelLayout::Uyvy, "UYVY", false}, {PixelLayout::Nv12, "NV12", true},
                              {PixelLayout::Nv21, "NV21", true},  {PixelLayout::Nv16, "NV16", false},
                              {PixelLayout::I420, "I420", true},  {PixelLayout::Yv12, "YV12", true},
                              {PixelLayout::I422, "I422", false}};
    const ColourEncoding encoding{Matrix::Bt709, false};
    const Formula formula(encoding);
    std::mt19937 random(27);
    for (const int width : {1, 2, 15, 33, 77, 130})
    {
        constexpr int height = 6;
        const int pairs = (width + 1) / 2;
        std::vector<int> luma(static_cast<std::size_t>(width * height));
        std::vector<int> cb(static_cast<std::size_t>(pairs * height));
        std::vector<int> cr(cb.size());
        for (auto* samples : {&luma, &cb, &cr})
        {
            for (int& sample : *samples)
            {
                sample = static_cast<int>(random() % 256);
            }
        }
        for (const Layout& layout : layouts)
        {
            const auto chromaAt = [&](const std::vector<int>& plane, int x, int row)
            {
                return plane[static_cast<std::size_t>((layout.halfHeight ? row / 2 : row) * pairs + x / 2)];
            };
            // The layout's planes, each line padded by 13 bytes of noise.
            constexpr int padding = 13;
            const bool packed = layout.layout == PixelLayout::Yuyv || layout.layout == PixelLayout::Yvyu ||
                                layout.layout == PixelLayout::Uyvy;
            const bool semiPlanar = layout.layout == PixelLayout::Nv12 ||
                                    layout.layout == PixelLayout::Nv21 || layout.layout == PixelLayout::Nv16;
            const int lumaStride = (packed ? 4 * pairs : width) + padding;
            const int chromaStride = (semiPlanar ? 2 * pairs : pairs) + padding;
            const int chromaRows = layout.halfHeight ? (height + 1) / 2 : height;
            std::vector<std::uint8_t> planes[3];
            planes[0].resize(static_cast<std::size_t>(lumaStride * height));
            planes[1].resize(static_cast<std::size_t>(chromaStride * chromaRows));
            planes[2].resize(planes[1].size());
            for (auto& plane : planes)
            {
                std::generate(plane.begin(), plane.end(),
                              [&] { return static_cast<std::uint8_t>(random()); });
            }
            const bool crFirst = layout.layout == PixelLayout::Yvyu || layout.layout == PixelLayout::Nv21;
            for (int row = 0; row < height; ++row)
            {
                for (int x = 0; x < width; ++x)
                {
                    const auto first = static_cast<std::uint8_t>(chromaAt(crFirst ? cr : cb, x, row));
                    const auto second = static_cast<std::uint8_t>(chromaAt(crFirst ? cb : cr, x, row));
                    const auto y = static_cast<std::uint8_t>(luma[static_cast<std::size_t>(row * width + x)]);
                    std::uint8_t* line = planes[0].data() + row * lumaStride;
                    std::uint8_t* chromaLine =
                        planes[1].data() + (layout.halfHeight ? row / 2 : row) * chromaStride;
                    if (packed)
                    {
                        const int lumaByte = layout.layout == PixelLayout::Uyvy ? 1 : 0;
                        line[2 * x + lumaByte] = y;
                        line[4 * (x / 2) + 1 - lumaByte] = first;
                        line[4 * (x / 2) + 3 - lumaByte] = second;
                    }
                    else
                    {
                        line[x] = y;
                    }
                    if (semiPlanar)
                    {
                        chromaLine[2 * (x / 2)] = first;
                        chromaLine[2 * (x / 2) + 1] = second;
                    }
                    else if (!packed)
                    {
                        // Planar layouts hand over Cb's plane first whatever their memory order.
                        chromaLine[x / 2] = static_cast<std::uint8_t>(chromaAt(cb, x, row));
                        planes[2][static_cast<std::size_t>(
                            (layout.halfHeight ? row / 2 : row) * chromaStride + x / 2)] =
                            static_cast<std::uint8_t>(chromaAt(cr, x, row));
                    }
                }
            }
            SourcePlanes source;
            for (int plane = 0; plane < 3; ++plane)
            {
                source.data[plane] = planes[plane].data();
                source.stride[plane] = plane == 0 ? lumaStride : chromaStride;
            }
            const int targetStride = 4 * width + 8;
            std::vector<std::uint8_t> first;
            for (const Instructions level : LevelsHere())
            {
                SCOPED_TRACE(std::string(layout.name) + " " + std::to_string(width) + " wide, " +
                             Describe(encoding, level));
                std::vector<std::uint8_t> out(static_cast<std::size_t>(targetStride * height), 0x5A);
                YcbcrConverter(layout.layout, encoding, level)
                    .Convert(source, width, height, out.data(), targetStride);
                for (int row = 0; row < height; ++row)
                {
                    for (int x = 0; x < width; ++x)
                    {
                        const std::uint8_t* pixel = out.data() + row * targetStride + 4 * x;
                        const int y = luma[static_cast<std::size_t>(row * width + x)];
                        const int u = chromaAt(cb, x, row);
                        const int v = chromaAt(cr, x, row);
                        for (int channel = 0; channel < 3; ++channel)
                        {
                            ASSERT_NEAR(pixel[channel], formula.Channel(channel, y, u, v), 1.0)
                                << "pixel " << x << ", " << row << " channel " << channel;
                        }
                        ASSERT_EQ(pixel[3], 255);
                    }
                    // Nothing is written past the picture's width.
                    ASSERT_EQ(out[static_cast<std::size_t>(row * targetStride + 4 * width)], 0x5A);
                }
                if (first.empty())
                {
                    first = out;
                }
                EXPECT_EQ(out, first) << "the levels disagree";
            }
        }
    }
}
