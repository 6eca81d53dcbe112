// Three processors; naming the second one fails.
#include "TestFactory.h"

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<Vistel::Framework::ProcessorBase>(
        factory, {L"First", L"Second", L"Third"}, 1);
}
