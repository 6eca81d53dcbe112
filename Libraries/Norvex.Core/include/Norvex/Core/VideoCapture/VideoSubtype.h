#pragma once

#include <Norvex/Core/Com.h>

#include <cstddef>
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

constexpr GUID MakeFourccSubtype(const char (&code)[5]) noexcept
{
    return MakeVideoSubtype(MakeFourcc(code[0], code[1], code[2], code[3]));
}

// A row of a back-end's subtype name table.
struct NamedSubtype
{
    GUID subtype;
    const wchar_t* name;
};

inline constexpr const wchar_t* unknownSubtypeName = L"Unknown";

// The name of the first row with the subtype; "Unknown" when there is none.
template <std::size_t count>
constexpr const wchar_t* FindSubtypeName(const NamedSubtype (&table)[count], const GUID& subtype) noexcept
{
    for (const auto& row : table)
    {
        if (row.subtype == subtype)
        {
            return row.name;
        }
    }
    return unknownSubtypeName;
}

} // namespace Norvex::Core::VideoCapture
