#pragma once

#include <Norvex/Core/Com.h>

#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// The subtype of a FOURCC-based video format: the code in Data1 on the common video base
// {xxxxxxxx-0000-0010-8000-00AA00389B71}.
constexpr GUID MakeVideoSubtype(std::uint32_t fourcc) noexcept
{
    return {fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

constexpr std::uint32_t MakeFourcc(char a, char b, char c, char d) noexcept
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

} // namespace Norvex::Core::VideoCapture
