#include "Wmv3InterSyntax.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace VistelCapture::Wmv3InterSyntax
{

namespace Tables = Wmv3Tables;

namespace
{

// The magnitude classes of a vector difference in half pixels: 0, 1-2, 3-6, 7-14, 15-30, 31-94.
constexpr int ClassOffset[6] = {0, 1, 3, 7, 15, 31};
constexpr int ClassBits[6] = {0, 2, 3, 4, 5, 7};

int DifferenceClass(int difference)
{
    const int magnitude = std::abs(difference);
    if (magnitude == 0)
    {
        return 0;
    }
    for (int c = 1; c < 6; ++c)
    {
        if (magnitude >= ClassOffset[c] && magnitude < ClassOffset[c] + (1 << (ClassBits[c] - 1)))
        {
            return c;
        }
    }
    return -1;
}

} // namespace

VectorCode CodeVector(int dx, int dy)
{
    const int cx = DifferenceClass(dx), cy = DifferenceClass(dy);
    if (cx < 0 || cy < 0 || (cx == 5 && cy == 5))
    {
        return {35, 8 + 7};
    }
    return {cx + 6 * cy, ClassBits[cx] + ClassBits[cy]};
}

int VectorSymbol(int index, bool coded)
{
    return coded ? index + 36 : index - 1;
}

void PutDifference(Wmv3BitWriter& writer, int difference)
{
    const int c = DifferenceClass(difference);
    if (c > 0)
    {
        const int magnitude = std::abs(difference);
        writer.Put(static_cast<std::uint32_t>((magnitude - ClassOffset[c]) << 1 | (difference < 0 ? 1 : 0)),
                   ClassBits[c]);
    }
}

void PutBitplane(Wmv3BitWriter& writer, const std::vector<std::uint8_t>& flags, int columns, int rows)
{
    const int total = columns * rows;
    std::array<std::int64_t, 6> cost{}; // {normal-2, row skip, column skip} x {plain, inverted}
    for (int invert = 0; invert < 2; ++invert)
    {
        std::int64_t pairs = 2 + 1 + (total & 1);
        for (int i = total & 1; i < total; i += 2)
        {
            const int symbol = (flags[i] ^ invert) | (flags[i + 1] ^ invert) << 1;
            pairs += symbol == 0 ? 1 : symbol == 3 ? 2 : 3;
        }
        std::int64_t rowBits = 3 + 1, columnBits = 3 + 1;
        for (int y = 0; y < rows; ++y)
        {
            bool any = false;
            for (int x = 0; x < columns && !any; ++x)
            {
                any = (flags[y * columns + x] ^ invert) != 0;
            }
            rowBits += any ? 1 + columns : 1;
        }
        for (int x = 0; x < columns; ++x)
        {
            bool any = false;
            for (int y = 0; y < rows && !any; ++y)
            {
                any = (flags[y * columns + x] ^ invert) != 0;
            }
            columnBits += any ? 1 + rows : 1;
        }
        cost[0 + invert] = pairs;
        cost[2 + invert] = rowBits;
        cost[4 + invert] = columnBits;
    }
    const int best = static_cast<int>(std::min_element(cost.begin(), cost.end()) - cost.begin());
    const int invert = best & 1;
    writer.Put(static_cast<std::uint32_t>(invert), 1);
    const auto bit = [&](int i)
    {
        return static_cast<std::uint32_t>(flags[i] ^ invert);
    };
    switch (best >> 1)
    {
    case 0: // normal-2: 10
        writer.Put(2, 2);
        if (total & 1)
        {
            writer.Put(bit(0), 1);
        }
        for (int i = total & 1; i < total; i += 2)
        {
            const std::uint32_t symbol = bit(i) | bit(i + 1) << 1;
            static constexpr Tables::Code pairCodes[4] = {{0, 1}, {4, 3}, {5, 3}, {3, 2}};
            writer.Put(pairCodes[symbol]);
        }
        break;
    case 1: // row skip: 010
        writer.Put(2, 3);
        for (int y = 0; y < rows; ++y)
        {
            bool any = false;
            for (int x = 0; x < columns; ++x)
            {
                any = any || bit(y * columns + x);
            }
            writer.Put(any ? 1 : 0, 1);
            for (int x = 0; any && x < columns; ++x)
            {
                writer.Put(bit(y * columns + x), 1);
            }
        }
        break;
    default: // column skip: 011
        writer.Put(3, 3);
        for (int x = 0; x < columns; ++x)
        {
            bool any = false;
            for (int y = 0; y < rows; ++y)
            {
                any = any || bit(y * columns + x);
            }
            writer.Put(any ? 1 : 0, 1);
            for (int y = 0; any && y < rows; ++y)
            {
                writer.Put(bit(y * columns + x), 1);
            }
        }
        break;
    }
}

} // namespace VistelCapture::Wmv3InterSyntax
