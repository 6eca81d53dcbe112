#pragma once

// The benchmarks' synthetic moving picture, in BGRA at any size of at least 600 x 300.

#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <cstdint>

namespace VistelBench
{

using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

// Frame n of the moving picture: gradients and a checkerboard that drift, a square that bounces
// off the edges and a running time code (the frame number as a row of light and dark blocks).
inline Frame MovingFrame(int n, std::int32_t width, std::int32_t height)
{
    Frame frame(width, height);
    for (std::int32_t y = 0; y < height; ++y)
    {
        for (std::int32_t x = 0; x < width; ++x)
        {
            auto& pixel = frame.At(x, y);
            pixel.blue = static_cast<unsigned char>((x + 4 * n) % width * 255 / width);
            pixel.green = static_cast<unsigned char>((y + 3 * n) % height * 255 / height);
            pixel.red = static_cast<unsigned char>(((x + 8 * n) / 32 + (y + 2 * n) / 32) % 2 ? 210 : 30);
        }
    }
    const auto bounce = [n](int speed, int range)
    {
        const int travelled = (speed * n) % (2 * range);
        return travelled < range ? travelled : 2 * range - travelled;
    };
    constexpr int Side = 200;
    const int left = bounce(23, width - Side);
    const int top = bounce(17, height - Side);
    for (int y = top; y < top + Side; ++y)
    {
        for (int x = left; x < left + Side; ++x)
        {
            frame.At(x, y) = {240, 240, 240, 255};
        }
    }
    constexpr int Block = 32;
    for (int bit = 0; bit < 16; ++bit)
    {
        const unsigned char level = (n >> (15 - bit)) & 1 ? 255 : 0;
        for (int y = height - 2 * Block; y < height - Block; ++y)
        {
            for (int x = Block * (2 + bit); x < Block * (3 + bit); ++x)
            {
                frame.At(x, y) = {level, level, level, 255};
            }
        }
    }
    return frame;
}

} // namespace VistelBench
