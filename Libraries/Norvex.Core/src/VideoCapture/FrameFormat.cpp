#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <locale>
#include <sstream>

namespace Norvex::Core::VideoCapture
{

std::wstring FrameFormat::GetName() const
{
    std::wostringstream stream;
    stream.imbue(std::locale::classic()); // no digit grouping, a full stop as decimal point
    stream << GetSubtypeName() << L" " << width << L"x" << height << L" (" << frameRate << L"fps)";
    return stream.str();
}

bool FrameFormat::IsDuplicateOf(const FrameFormat& other) const noexcept
{
    return subtype == other.subtype && width == other.width && height == other.height &&
           frameRate == other.frameRate;
}

} // namespace Norvex::Core::VideoCapture
