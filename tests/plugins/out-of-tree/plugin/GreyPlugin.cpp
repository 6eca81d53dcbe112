// One processor, "グレー", that shows the frame in grey levels.
#include <Vistel/Framework/IProcessorFactory.h>
#include <Vistel/Framework/ProcessorBase.h>

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <mutex>
#include <new>

namespace
{

using Norvex::Core::HRESULT;

class GreyProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    HRESULT Process() override
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
                const auto grey =
                    static_cast<unsigned char>((pixel.red * 77 + pixel.green * 150 + pixel.blue * 29) >> 8);
                pixel.red = pixel.green = pixel.blue = grey;
            }
        }
        return Norvex::Core::S_OK;
    }

    const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetImage() override
    {
        std::lock_guard lock(mutex);
        return output.data ? &output : ProcessorBase::GetImage();
    }

    // A new format makes the old output the wrong size: show the source until the next frame.
    HRESULT Reset() override
    {
        auto* host = GetHostServices();
        const auto* format = host && host->GetFrameFormatCount() > 0
                                 ? host->GetFrameFormat(host->GetFrameFormatIndex())
                                 : nullptr;
        std::lock_guard lock(mutex);
        if (!format || !*format || (*format)->width != output.width || (*format)->height != output.height)
        {
            output = {};
        }
        return Norvex::Core::S_OK;
    }

private:
    std::mutex mutex; // guards output between Process and GetImage
    Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>> output;
};

// Lives as long as the library; the host's references need no counting.
class GreyFactory final : public Vistel::Framework::IProcessorFactory
{
public:
    HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        if (!object)
        {
            return Norvex::Core::E_POINTER;
        }
        *object = iid == Norvex::Core::IUnknown::Iid ? this : nullptr;
        return *object ? Norvex::Core::S_OK : Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return 1; }
    Norvex::Core::ULONG Release() override { return 1; }

    HRESULT GetProcessorCount(std::int32_t* count) override
    {
        if (!count)
        {
            return Norvex::Core::E_POINTER;
        }
        *count = 1;
        return Norvex::Core::S_OK;
    }
    HRESULT GetProcessorName(std::int32_t index, std::wstring& name) override
    {
        if (index != 0)
        {
            return Norvex::Core::E_FAIL;
        }
        name = L"グレー";
        return Norvex::Core::S_OK;
    }
    HRESULT CreateProcessor(std::int32_t index, Vistel::Framework::IProcessor** processor) override
    {
        if (!processor)
        {
            return Norvex::Core::E_POINTER;
        }
        *processor = index == 0 ? new (std::nothrow) GreyProcessor() : nullptr;
        return *processor ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
    }
};

GreyFactory factory;

} // namespace

VISTEL_PLUGIN_EXPORT HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** result)
{
    if (!result)
    {
        return Norvex::Core::E_POINTER;
    }
    *result = &factory;
    return Norvex::Core::S_OK;
}
