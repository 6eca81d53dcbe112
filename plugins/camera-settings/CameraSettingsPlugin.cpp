// VistelCameraSettings.so: the current camera's controls on a page of their own.
#include "../common/ProcessorFactory.h"
#include "CameraSettingsProcessor.h"

namespace
{

constexpr Vistel::Plugins::ProcessorDescription processors[] = {
    {L"カメラ設定", &Vistel::Plugins::CreateProcessor<Vistel::CameraSettings::CameraSettingsProcessor>},
};

Vistel::Plugins::ProcessorFactory factory(processors);

} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory** result)
{
    if (!result)
    {
        return Norvex::Core::E_POINTER;
    }
    *result = &factory;
    return Norvex::Core::S_OK;
}
