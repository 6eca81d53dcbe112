#pragma once

#include <Norvex/Core/Com.h>

#include <cstdint>
#include <optional>

namespace Norvex::Core::V4l2VideoCapture
{

// Video subtypes of V4L2 pixel formats: each fourcc maps to the subtype of the same picture layout
// in the table the other platform uses, so format names and stored settings carry over.
class V4l2Subtype
{
public:
    // The subtype of a pixel format; a format without a row of the same layout keeps its own
    // fourcc on the common video base. Nothing when that would pose as a row of another layout.
    static std::optional<GUID> FromPixelFormat(std::uint32_t pixelFormat) noexcept;
    // The row's name, "Unknown" when the subtype has no row.
    static const wchar_t* GetName(const GUID& subtype) noexcept;
};

} // namespace Norvex::Core::V4l2VideoCapture
