#pragma once

#include <Norvex/Core/Com.h>

#include <cstdint>
#include <locale>
#include <memory>
#include <sstream>
#include <string>

namespace Norvex::Core::VideoCapture
{

// One frame format a device offers. Field order and slot order are seen by plug-ins.
class FrameFormat
{
public:
    GUID subtype{};
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0; // negative: rows arrive bottom-up
    double frameRate = 0.0;

    FrameFormat(const FrameFormat&) = delete;
    FrameFormat& operator=(const FrameFormat&) = delete;

    virtual ~FrameFormat() = default;
    // A format of the same back-end whose native description is an independent copy.
    virtual std::shared_ptr<FrameFormat> Clone() const = 0;
    // "Unknown" when the subtype is not in the back-end's table.
    virtual const wchar_t* GetSubtypeName() const = 0;
    // Write width, height (and stride) or the frame rate back into the native description.
    virtual void OnSizeChanged() = 0;
    virtual void OnFrameRateChanged() = 0;

    // "YUY2 640x480 (30fps)": the rate with at most six significant digits. Inline, so that
    // plug-ins, which do not link the core library, can call it too.
    std::wstring GetName() const
    {
        std::wostringstream stream;
        stream.imbue(std::locale::classic()); // no digit grouping, a full stop as decimal point
        stream << GetSubtypeName() << L" " << width << L"x" << height << L" (" << frameRate << L"fps)";
        return stream.str();
    }

    // Same subtype, size and frame rate (compared exactly; NaN never equal).
    bool IsDuplicateOf(const FrameFormat& other) const noexcept
    {
        return subtype == other.subtype && width == other.width && height == other.height &&
               frameRate == other.frameRate;
    }

protected:
    FrameFormat() = default;
};

} // namespace Norvex::Core::VideoCapture
