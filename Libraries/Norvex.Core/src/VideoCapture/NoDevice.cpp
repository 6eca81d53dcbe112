#include <Norvex/Core/VideoCapture/NoDevice.h>

namespace Norvex::Core::VideoCapture
{
namespace
{

class EmptyFrameFormat final : public FrameFormat
{
public:
    std::shared_ptr<FrameFormat> Clone() const override { return std::make_shared<EmptyFrameFormat>(); }
    const wchar_t* GetSubtypeName() const override { return L""; }
    void OnSizeChanged() override {}
    void OnFrameRateChanged() override {}
};

} // namespace

void NoDevice::Start()
{
    throw Exception(L"キャプチャーデバイスがありません。", "Start", NORVEX_SOURCE_FILE, __LINE__);
}

const FrameFormat& NoDevice::EmptyFormat()
{
    static const EmptyFrameFormat format;
    return format;
}

} // namespace Norvex::Core::VideoCapture
