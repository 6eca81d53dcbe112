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

} // namespace

const std::array<std::uint8_t, 64> NormalScan = TransposeScan(Wmv3Tables::NormalScan);
const std::array<std::uint8_t, 64> ScanFromTop = TransposeScan(Wmv3Tables::ScanFromTop);
const std::array<std::uint8_t, 64> ScanFromLeft = TransposeScan(Wmv3Tables::ScanFromLeft);

void Inverse(const int (&coefficients)[64], int (&residual)[64])
{
    // Rows, then columns, with the decoder's roundings; the butterflies give exactly the sums of
    // the basis products.
    int rows[64];
    for (int v = 0; v < 8; ++v)
    {
        const int* s = coefficients + 8 * v;
        int* d = rows + 8 * v;
        const int t1 = 12 * (s[0] + s[4]) + 4, t2 = 12 * (s[0] - s[4]) + 4;
        const int t3 = 16 * s[2] + 6 * s[6], t4 = 6 * s[2] - 16 * s[6];
        const int e0 = t1 + t3, e1 = t2 + t4, e2 = t2 - t4, e3 = t1 - t3;
        const int o0 = 16 * s[1] + 15 * s[3] + 9 * s[5] + 4 * s[7];
        const int o1 = 15 * s[1] - 4 * s[3] - 16 * s[5] - 9 * s[7];
        const int o2 = 9 * s[1] - 16 * s[3] + 4 * s[5] + 15 * s[7];
        const int o3 = 4 * s[1] - 9 * s[3] + 15 * s[5] - 16 * s[7];
        d[0] = (e0 + o0) >> 3;
        d[1] = (e1 + o1) >> 3;
        d[2] = (e2 + o2) >> 3;
        d[3] = (e3 + o3) >> 3;
        d[4] = (e3 - o3) >> 3;
        d[5] = (e2 - o2) >> 3;
        d[6] = (e1 - o1) >> 3;
        d[7] = (e0 - o0) >> 3;
    }
    for (int x = 0; x < 8; ++x)
    {
        const int* s = rows + x;
        int* d = residual + x;
        const int t1 = 12 * (s[0] + s[32]) + 64, t2 = 12 * (s[0] - s[32]) + 64;
        const int t3 = 16 * s[16] + 6 * s[48], t4 = 6 * s[16] - 16 * s[48];
        const int e0 = t1 + t3, e1 = t2 + t4, e2 = t2 - t4, e3 = t1 - t3;
        const int o0 = 16 * s[8] + 15 * s[24] + 9 * s[40] + 4 * s[56];
        const int o1 = 15 * s[8] - 4 * s[24] - 16 * s[40] - 9 * s[56];
        const int o2 = 9 * s[8] - 16 * s[24] + 4 * s[40] + 15 * s[56];
        const int o3 = 4 * s[8] - 9 * s[24] + 15 * s[40] - 16 * s[56];
        d[0] = (e0 + o0) >> 7;
        d[8] = (e1 + o1) >> 7;
        d[16] = (e2 + o2) >> 7;
        d[24] = (e3 + o3) >> 7;
        d[32] = (e3 - o3 + 1) >> 7;
        d[40] = (e2 - o2 + 1) >> 7;
        d[48] = (e1 - o1 + 1) >> 7;
        d[56] = (e0 - o0 + 1) >> 7;
    }
}

void Inverse(const int (&coefficients)[64], std::uint8_t* pixels, int stride)
{
    int residual[64];
    Inverse(coefficients, residual);
    for (int y = 0; y < 8; ++y)
    {
        for (int x = 0; x < 8; ++x)
        {
            pixels[y * stride + x] = static_cast<std::uint8_t>(std::clamp(residual[8 * y + x], 0, 255));
        }
    }
}

} // namespace VistelCapture::Wmv3Transform
