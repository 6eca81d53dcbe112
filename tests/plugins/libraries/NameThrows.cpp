// One processor whose naming throws a C++ exception of the library's own instead of failing.
#include "TestFactory.h"

#include <stdexcept>

namespace
{

struct LibraryError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

class ThrowingFactory final : public Vistel::Framework::IProcessorFactory
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
        *count = 1;
        return Norvex::Core::S_OK;
    }
    Norvex::Core::HRESULT GetProcessorName(std::int32_t, std::wstring&) override
    {
        throw LibraryError("thrown by the library");
    }
    Norvex::Core::HRESULT CreateProcessor(std::int32_t, Vistel::Framework::IProcessor**) override
    {
        return Norvex::Core::E_NOTIMPL;
    }
};

// A factory that lives as long as the library, as some authors write it.
ThrowingFactory factoryInstance;

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    *factory = &factoryInstance;
    return Norvex::Core::S_OK;
}
