// The export reports a failure.
#include "TestFactory.h"

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    if (factory)
    {
        *factory = nullptr;
    }
    return Norvex::Core::E_NOTIMPL;
}
