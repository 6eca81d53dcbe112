// Built twice (VistelTwinA, VistelTwinB): two libraries offering a processor of the same name.
#include "TestFactory.h"

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<Vistel::Framework::ProcessorBase>(factory, {L"同じ名前"});
}
