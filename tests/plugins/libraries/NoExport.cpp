// The usual mistake: the factory function without C linkage, so its exported name is mangled.
#include "TestFactory.h"

__attribute__((visibility("default"))) Norvex::Core::HRESULT
GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<Vistel::Framework::ProcessorBase>(factory, {L"Unreachable"});
}
