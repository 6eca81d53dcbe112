#include "H264AccessUnit.h"

namespace VistelCapture
{
namespace
{

constexpr unsigned idrSlice = 5;
constexpr unsigned sequenceParameterSet = 7;
constexpr unsigned pictureParameterSet = 8;

// Calls visit(type, begin, end) for every NAL unit: its header byte onwards, up to the next start
// code (trailing zeros belong to the next start code).
template <class Visit> void ForEachNalUnit(const unsigned char* data, std::size_t size, Visit visit)
{
    const auto startAt = [&](std::size_t at)
    {
        return at + 2 < size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
    };
    std::size_t unit = size;
    for (std::size_t at = 0; at + 2 < size; ++at)
    {
        if (!startAt(at))
        {
            continue;
        }
        if (unit < size)
        {
            std::size_t end = at;
            while (end > unit && data[end - 1] == 0)
            {
                --end;
            }
            visit(data[unit] & 0x1Fu, data + unit, data + end);
        }
        unit = at + 3;
        at += 2;
    }
    if (unit < size)
    {
        visit(data[unit] & 0x1Fu, data + unit, data + size);
    }
}

} // namespace

bool H264AccessUnit::IsKeyFrame(const unsigned char* data, std::size_t size) noexcept
{
    bool key = false;
    ForEachNalUnit(data, size,
                   [&](unsigned type, const unsigned char*, const unsigned char*)
                   { key = key || type == idrSlice; });
    return key;
}

std::vector<unsigned char> H264AccessUnit::ParameterSets(const unsigned char* data, std::size_t size)
{
    std::vector<unsigned char> sets;
    ForEachNalUnit(data, size,
                   [&](unsigned type, const unsigned char* begin, const unsigned char* end)
                   {
                       if (type == sequenceParameterSet || type == pictureParameterSet)
                       {
                           sets.insert(sets.end(), {0, 0, 0, 1});
                           sets.insert(sets.end(), begin, end);
                       }
                   });
    return sets;
}

} // namespace VistelCapture
