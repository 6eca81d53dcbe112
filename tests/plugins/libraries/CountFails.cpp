// The factory cannot tell how many processors it has.
#include "TestFactory.h"

namespace
{

class CountFailingFactory final : public Vistel::Framework::IProcessorFactory
{
public:
    Norvex::Core::HRESULT QueryInterface(const Norvex::Core::IID&, void** object) override
    {
        if (object)
        {
            *object = nullptr;
        }
        return Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return 1; }
    Norvex::Core::ULONG Release() override { return 1; }
    Norvex::Core::HRESULT GetProcessorCount(std::int32_t* count) override
    {
        *count = 2;
        return Norvex::Core::E_UNEXPECTED;
    }
    Norvex::Core::HRESULT GetProcessorName(std::int32_t, std::wstring& name) override
    {
        name = L"Unreachable";
        return Norvex::Core::S_OK;
    }
    Norvex::Core::HRESULT CreateProcessor(std::int32_t, Vistel::Framework::IProcessor**) override
    {
        return Norvex::Core::E_NOTIMPL;
    }
};

CountFailingFactory factoryInstance;

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    *factory = &factoryInstance;
    return Norvex::Core::S_OK;
}
