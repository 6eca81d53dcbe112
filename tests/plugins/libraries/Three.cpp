// Three processors whose names are not in alphabetical order; each shows the frame inverted.
#include "TestFactory.h"

#include <mutex>

namespace
{

class InvertingProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    Norvex::Core::HRESULT Process() override
    {
        const auto* source = GetHostServices() ? GetHostServices()->GetSourceImage() : nullptr;
        if (!source)
        {
            return Norvex::Core::E_POINTER;
        }
        std::lock_guard lock(mutex);
        output = *source;
        for (std::int32_t y = 0; y < output.height; ++y)
        {
            for (std::int32_t x = 0; x < output.width; ++x)
            {
                auto& pixel = output.At(x, y);
                pixel.blue = static_cast<unsigned char>(255 - pixel.blue);
                pixel.green = static_cast<unsigned char>(255 - pixel.green);
                pixel.red = static_cast<unsigned char>(255 - pixel.red);
            }
        }
        return Norvex::Core::S_OK;
    }

    const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetImage() override
    {
        std::lock_guard lock(mutex);
        return output.data ? &output : ProcessorBase::GetImage();
    }

private:
    std::mutex mutex; // guards output between Process and GetImage
    Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>> output;
};

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<InvertingProcessor>(factory, {L"Sharpen", L"Blur", L"Edge"});
}
