// A factory that claims more processors than any real library has: each one has a name, so only
// the count can give it away.
#include "TestFactory.h"

namespace
{

class NoProcessor final : public Vistel::Framework::ProcessorBase
{
};

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    std::vector<std::wstring> names;
    for (int index = 0; index < 1025; ++index)
    {
        names.push_back(L"P" + std::to_wstring(index));
    }
    return VistelTest::CreateTestFactory<NoProcessor>(factory, std::move(names));
}
