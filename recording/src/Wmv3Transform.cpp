#include "Wmv3Transform.h"

#include "Wmv3Tables.h"

#include <algorithm>

namespace VistelCapture::Wmv3Transform
{
namespace
{

constexpr std::array<std::uint8_t, 64> TransposeScan(const std::array<std::uint8_t, 64>& scan)
{
    std::array<std::uint8_t, 64> result{};
    for (int i = 0; i < 64; ++i)
    {
        result[i] = static_cast<std::uint8_t>(Transposed(scan[i]));
    }
    return result;
}

// The transform's basis, by frequency then sample.
constexpr int Basis[8][8] = {
    {12, 12, 12, 12, 12, 12, 12, 12}, {16, 15, 9, 4, -4, -9, -15, -16},     {16, 6, -6, -16, -16, -6, 6, 16},
    {15, -4, -16, -9, 9, 16, 4, -15}, {12, -12, -12, 12, 12, -12, -12, 12}, {9, -16, 4, 15, -15, -4, 16, -9},
    {6, -16, 16, -6, -6, 16, -16, 6}, {4, -9, 15, -16, 16, -15, 9, -4},
};

} // namespace

const std::array<std::uint8_t, 64> NormalScan = TransposeScan(Wmv3Tables::NormalScan);
const std::array<std::uint8_t, 64> ScanFromTop = TransposeScan(Wmv3Tables::ScanFromTop);
const std::array<std::uint8_t, 64> ScanFromLeft = TransposeScan(Wmv3Tables::ScanFromLeft);

void Inverse(const int (&coefficients)[64], std::uint8_t* pixels, int stride)
{
    int rows[8][8];
    for (int v = 0; v < 8; ++v)
    {
        for (int x = 0; x < 8; ++x)
        {
            int sum = 0;
            for (int h = 0; h < 8; ++h)
            {
                sum += Basis[h][x] * coefficients[8 * v + h];
            }
            rows[v][x] = (sum + 4) >> 3;
        }
    }
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            int sum = 0;
            for (int v = 0; v < 8; ++v)
            {
                sum += Basis[v][y] * rows[v][x];
            }
            pixels[y * stride + x] =
                static_cast<std::uint8_t>(std::clamp((sum + 64 + (y >= 4 ? 1 : 0)) >> 7, 0, 255));
        }
    }
}

} // namespace VistelCapture::Wmv3Transform
