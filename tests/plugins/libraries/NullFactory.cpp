// The export reports success but hands over no factory.
#include "TestFactory.h"

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** factory)
{
    if (factory)
    {
        *factory = nullptr;
    }
    return Norvex::Core::S_OK;
}
