// A valid library that offers no processor.
#include "TestFactory.h"

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    return VistelTest::CreateTestFactory<Vistel::Framework::ProcessorBase>(factory, {});
}
