#include "VideoCapture/JpegPlaneConverter.h"

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
using Instructions = JpegPlaneConverter::Instructions;

std::vector<Instructions> LevelsHere()
{
    std::vector<Instructions> levels{Instructions::Scalar};
    if (JpegPlaneConverter::Best() == Instructions::Sse2)
    {
        levels.push_back(Instructions::Sse2);
    }
    return levels;
}

// The camera's Y'CbCr to R'G'B' (unclipped, 0 to 255) and on to JFIF's Y'CbCr in double
// precision, clamped to the 8-bit range; chroma given as the mean of the two rows' samples.
struct Formula
{
    ColourEncoding encoding;
    double kr;
    double kb;

    explicit Formula(ColourEncoding encoding)
        : encoding(encoding), kr(Norvex::Testing::TextbookWeights(encoding.matrix).red),
          kb(Norvex::Testing::TextbookWeights(encoding.matrix).blue)
    {
    }

    double Output(int plane, double y, double cb, double cr) const
    {
        const double luma = encoding.fullRange ? y : (y - 16) * 255 / 219;
        const double chroma = encoding.fullRange ? 1.0 : 255.0 / 224;
        const double r = luma + (2 - 2 * kr) * chroma * (cr - 128);
        const double b = luma + (2 - 2 * kb) * chroma * (cb - 128);
        const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
        const double jpegLuma = 0.299 * r + 0.587 * g + 0.114 * b;
        const double value = plane == 0   ? jpegLuma
                             : plane == 1 ? 128 + (b - jpegLuma) / 1.772
                                          : 128 + (r - jpegLuma) / 1.402;
        return std::clamp(value, 0.0, 255.0);
    }
};

const Matrix allMatrices[] = {Matrix::Bt601, Matrix::Bt709, Matrix::Bt2020, Matrix::Smpte240m};

} // namespace

// Every Y'CbCr triple of every matrix and range on every instruction level, through the packed
// rows the cameras send: a gain, offset or rounding that is off shows as a level more than one
// from the formula somewhere in the cube.
TEST(JpegPlaneConverter, EveryInputTripleIsWithinOneLevelOfTheFormula)
{
    // Two equal YUYV rows per chroma pair: 256 pixels carrying every luma level.
    constexpr int width = 256;
    std::vector<std::uint8_t> yuyv(2 * width);
    std::vector<std::uint8_t> out(width * 2 + 2 * (width / 2));
    std::vector<double> expected(width + 2);
    for (const Matrix matrix : allMatrices)
    {
        for (const bool fullRange : {false, true})
        {
            const Formula formula({matrix, fullRange});
            std::vector<JpegPlaneConverter> converters;
            for (const Instructions level : LevelsHere())
            {
                converters.emplace_back(PixelLayout::Yuyv, formula.encoding, level);
            }
            std::vector<double> worst(converters.size());
            std::vector<std::string> worstAt(converters.size());
            for (int u = 0; u < 256; ++u)
            {
                for (int v = 0; v < 256; ++v)
                {
                    for (int x = 0; x < width; ++x)
                    {
                        yuyv[static_cast<std::size_t>(2 * x)] = static_cast<std::uint8_t>(x);
                        yuyv[static_cast<std::size_t>(2 * x + 1)] = static_cast<std::uint8_t>(x % 2 ? v : u);
                        expected[static_cast<std::size_t>(x)] = formula.Output(0, x, u, v);
                    }
                    expected[width] = formula.Output(1, 128, u, v);
                    expected[width + 1] = formula.Output(2, 128, u, v);
                    SourcePlanes source;
                    source.data[0] = yuyv.data();
                    source.stride[0] = 0; // the second row is the first
                    JpegPlaneConverter::Target target;
                    target.data[0] = out.data();
                    target.data[1] = out.data() + 2 * width;
                    target.data[2] = target.data[1] + width / 2;
                    target.stride[0] = width;
                    target.stride[1] = target.stride[2] = width / 2;
                    for (std::size_t level = 0; level < converters.size(); ++level)
                    {
                        converters[level].Convert(source, width, 2, target);
                        const auto check = [&](int plane, int x, std::uint8_t got, double want)
                        {
                            const double error = std::abs(got - want);
                            if (error > worst[level])
                            {
                                worst[level] = error;
                                worstAt[level] = "plane " + std::to_string(plane) + " at " +
                                                 std::to_string(x) + " of Cb " + std::to_string(u) + ", Cr " +
                                                 std::to_string(v);
                            }
                        };
                        for (int x = 0; x < width; ++x)
                        {
                            check(0, x, out[static_cast<std::size_t>(x)],
                                  expected[static_cast<std::size_t>(x)]);
                            ASSERT_EQ(out[static_cast<std::size_t>(width + x)],
                                      out[static_cast<std::size_t>(x)]);
                        }
                        for (int pair = 0; pair < width / 2; ++pair)
                        {
                            check(1, pair, target.data[1][pair], expected[width]);
                            check(2, pair, target.data[2][pair], expected[width + 1]);
                        }
                    }
                }
            }
            for (std::size_t level = 0; level < converters.size(); ++level)
            {
                EXPECT_LE(worst[level], 1.0)
                    << (fullRange ? "full" : "limited") << " range, matrix " << static_cast<int>(matrix)
                    << ", level " << level << ": " << worstAt[level];
            }
        }
    }
}

// Each layout read from where its samples lie, at widths that leave a tail after the vector
// blocks and heights with a lone last row: every chroma output is the mean of its two rows (one
// row for the last of an odd height, the shared row of 4:2:0 layouts), nothing is written past a
// plane's width, and every level gives the same bytes.
TEST(JpegPlaneConverter, EveryLayoutAveragesTheRightRowsAtEverySize)
{
    struct Layout
    {
        PixelLayout layout;
        const char* name;
        bool packed;
        bool semiPlanar;
        bool halfHeight;
        bool crFirst;
        int lumaByte; // of a packed pixel
    };
    const Layout layouts[] = {{PixelLayout::Yuyv, "YUYV", true, false, false, false, 0},
                              {PixelLayout::Yvyu, "YVYU", true, false, false, true, 0},
                              {PixelLayout::Uyvy, "UYVY", true, false, false, false, 1},
                              {PixelLayout::Nv12, "NV12", false, true, true, false, 0},
                              {PixelLayout::Nv21, "NV21", false, true, true, true, 0},
                              {PixelLayout::I420, "I420", false, false, true, false, 0},
                              {PixelLayout::I422, "I422", false, false, false, false, 0}};
    const Formula formula({Matrix::Bt709, false});
    std::mt19937 random(27);
    const auto noise = [&]
    {
        return static_cast<std::uint8_t>(random());
    };
    for (const int width : {2, 34, 50})
    {
        for (const int height : {1, 5, 6})
        {
            const int pairs = (width + 1) / 2;
            for (const Layout& layout : layouts)
            {
                const int chromaRows = layout.halfHeight ? (height + 1) / 2 : height;
                std::vector<int> luma(static_cast<std::size_t>(width * height));
                std::vector<int> cb(static_cast<std::size_t>(pairs * chromaRows));
                std::vector<int> cr(cb.size());
                for (auto* samples : {&luma, &cb, &cr})
                {
                    std::generate(samples->begin(), samples->end(), noise);
                }
                constexpr int padding = 11;
                const int lumaStride = (layout.packed ? 4 * pairs : width) + padding;
                const int chromaStride = (layout.semiPlanar ? 2 * pairs : pairs) + padding;
                std::vector<std::uint8_t> planes[3];
                planes[0].resize(static_cast<std::size_t>(lumaStride * height));
                planes[1].resize(static_cast<std::size_t>(chromaStride * chromaRows));
                planes[2].resize(planes[1].size());
                for (auto& plane : planes)
                {
                    std::generate(plane.begin(), plane.end(), noise);
                }
                for (int row = 0; row < height; ++row)
                {
                    const int chromaRow = layout.halfHeight ? row / 2 : row;
                    for (int x = 0; x < width; ++x)
                    {
                        const auto at = [&](const std::vector<int>& plane)
                        {
                            return static_cast<std::uint8_t>(
                                plane[static_cast<std::size_t>(chromaRow * pairs + x / 2)]);
                        };
                        const auto first = at(layout.crFirst ? cr : cb);
                        const auto second = at(layout.crFirst ? cb : cr);
                        std::uint8_t* line = planes[0].data() + row * lumaStride;
                        std::uint8_t* chromaLine = planes[1].data() + chromaRow * chromaStride;
                        const auto y =
                            static_cast<std::uint8_t>(luma[static_cast<std::size_t>(row * width + x)]);
                        if (layout.packed)
                        {
                            line[2 * x + layout.lumaByte] = y;
                            line[4 * (x / 2) + 1 - layout.lumaByte] = first;
                            line[4 * (x / 2) + 3 - layout.lumaByte] = second;
                            continue;
                        }
                        line[x] = y;
                        if (layout.semiPlanar)
                        {
                            chromaLine[2 * (x / 2)] = first;
                            chromaLine[2 * (x / 2) + 1] = second;
                        }
                        else
                        {
                            chromaLine[x / 2] = at(cb);
                            planes[2][static_cast<std::size_t>(chromaRow * chromaStride + x / 2)] = at(cr);
                        }
                    }
                }
                SourcePlanes source;
                for (int plane = 0; plane < 3; ++plane)
                {
                    source.data[plane] = planes[plane].data();
                    source.stride[plane] = plane == 0 ? lumaStride : chromaStride;
                }
                const int outChromaRows = (height + 1) / 2;
                std::vector<std::uint8_t> first;
                for (const Instructions level : LevelsHere())
                {
                    SCOPED_TRACE(std::string(layout.name) + " " + std::to_string(width) + "x" +
                                 std::to_string(height) + ", level " +
                                 std::to_string(static_cast<int>(level)));
                    // The planes with a guard column each; every output row in one buffer.
                    const int strides[3] = {width + 1, pairs + 1, pairs + 1};
                    std::vector<std::uint8_t> out(
                        static_cast<std::size_t>(strides[0] * height + 2 * strides[1] * outChromaRows), 0x5A);
                    JpegPlaneConverter::Target target;
                    target.data[0] = out.data();
                    target.data[1] = target.data[0] + strides[0] * height;
                    target.data[2] = target.data[1] + strides[1] * outChromaRows;
                    std::copy(std::begin(strides), std::end(strides), target.stride);
                    JpegPlaneConverter(layout.layout, formula.encoding, level)
                        .Convert(source, width, height, target);
                    for (int row = 0; row < height; ++row)
                    {
                        const int chromaRow = layout.halfHeight ? row / 2 : row;
                        for (int x = 0; x < width; ++x)
                        {
                            const auto index = static_cast<std::size_t>(chromaRow * pairs + x / 2);
                            ASSERT_NEAR(target.data[0][row * strides[0] + x],
                                        formula.Output(0, luma[static_cast<std::size_t>(row * width + x)],
                                                       cb[index], cr[index]),
                                        1.0)
                                << "luma at " << x << ", " << row;
                        }
                        ASSERT_EQ(target.data[0][row * strides[0] + width], 0x5A);
                    }
                    for (int row = 0; row < outChromaRows; ++row)
                    {
                        // The source rows this output row averages, as chroma rows.
                        const int top = layout.halfHeight ? row : 2 * row;
                        const int bottom = layout.halfHeight || 2 * row + 1 >= height ? top : top + 1;
                        for (int pair = 0; pair < pairs; ++pair)
                        {
                            const auto mean = [&](const std::vector<int>& plane)
                            {
                                return (plane[static_cast<std::size_t>(top * pairs + pair)] +
                                        plane[static_cast<std::size_t>(bottom * pairs + pair)]) /
                                       2.0;
                            };
                            for (int plane = 1; plane < 3; ++plane)
                            {
                                ASSERT_NEAR(target.data[plane][row * strides[plane] + pair],
                                            formula.Output(plane, 128, mean(cb), mean(cr)), 1.0)
                                    << "plane " << plane << " at " << pair << ", " << row;
                            }
                        }
                        ASSERT_EQ(target.data[1][row * strides[1] + pairs], 0x5A);
                        ASSERT_EQ(target.data[2][row * strides[2] + pairs], 0x5A);
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
}
