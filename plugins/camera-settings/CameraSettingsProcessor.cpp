#include "CameraSettingsProcessor.h"

#include "../common/Reference.h"
#include "CameraSettingsPage.h"

#include <Vistel/Framework/IHostDeviceControls.h>

#include <new>

namespace Vistel::CameraSettings
{
namespace
{

using Norvex::Core::HRESULT;
using Norvex::Core::VideoCapture::CameraControl;
using Norvex::Core::VideoCapture::VideoProcAmp;

// The device's two control interfaces, either of them possibly missing.
struct DeviceControls
{
    Vistel::Plugins::Reference<CameraControl> camera;
    Vistel::Plugins::Reference<VideoProcAmp> procAmp;

    explicit DeviceControls(Vistel::Framework::IHostServices* host)
    {
        if (!host)
        {
            return;
        }
        Vistel::Framework::IHostDeviceControls* controls = nullptr;
        if (Norvex::Core::FAILED(host->QueryInterface(Vistel::Framework::IHostDeviceControls::Iid,
                                                      reinterpret_cast<void**>(&controls))) ||
            !controls)
        {
            return;
        }
        const auto holder =
            Vistel::Plugins::Reference<Vistel::Framework::IHostDeviceControls>::Adopt(controls);
        CameraControl* cameraControl = nullptr;
        if (holder->GetCameraControl(&cameraControl) == Norvex::Core::S_OK)
        {
            camera = Vistel::Plugins::Reference<CameraControl>::Adopt(cameraControl);
        }
        VideoProcAmp* videoProcAmp = nullptr;
        if (holder->GetVideoProcAmp(&videoProcAmp) == Norvex::Core::S_OK)
        {
            procAmp = Vistel::Plugins::Reference<VideoProcAmp>::Adopt(videoProcAmp);
        }
    }

    Vistel::Plugins::DeviceControlAccess Access() const { return {camera.Get(), procAmp.Get()}; }
};

} // namespace

const std::vector<ControlDescription>& CameraSettingsProcessor::Controls()
{
    return Vistel::Plugins::CameraControlTable();
}

HRESULT CameraSettingsProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    return ProcessorBase::Initialize(hostServices);
}

HRESULT CameraSettingsProcessor::Finalize()
{
    // A page that outlives the selection shows nothing more of the device.
    if (page)
    {
        page->Detach();
    }
    return ProcessorBase::Finalize();
}

HRESULT CameraSettingsProcessor::CreateControlPanel(QWidget* parent, QWidget** window)
{
    if (!window)
    {
        return Norvex::Core::E_POINTER;
    }
    auto* created = new (std::nothrow) CameraSettingsPage(*this, parent);
    page = created;
    *window = created;
    return created ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
}

HRESULT CameraSettingsProcessor::OnHostStateChanged(std::int32_t code)
{
    if (code == Vistel::Framework::HostStateDeviceChanged ||
        code == Vistel::Framework::HostStateCaptureChanged)
    {
        // Another camera, or controls that appeared or went with the stream (the host applied the
        // stored values at the start). Later, on the same thread: the host calls this under its frame lock,
        // which the capture thread should not wait on while a page builds its widgets.
        if (page)
        {
            QMetaObject::invokeMethod(page.data(), &CameraSettingsPage::Rebuild, Qt::QueuedConnection);
        }
    }
    return Norvex::Core::S_OK;
}

std::wstring CameraSettingsProcessor::StoreKey(const ControlDescription& control)
{
    auto* host = GetHostServices();
    if (!host)
    {
        return {};
    }
    const std::int32_t device = host->GetDeviceIndex();
    const std::wstring* path =
        device >= 0 && device < host->GetDeviceCount() ? host->GetDevicePath(device) : nullptr;
    return path ? Vistel::Plugins::CameraControlKey(*path, control) : std::wstring();
}

std::vector<ControlState> CameraSettingsProcessor::ReadControls()
{
    std::vector<ControlState> states;
    const DeviceControls device(GetHostServices());
    for (const auto& control : Controls())
    {
        ControlState state;
        if (Norvex::Core::SUCCEEDED(device.Access().Read(control, state)))
        {
            states.push_back(state);
        }
    }
    return states;
}

HRESULT CameraSettingsProcessor::SetControl(const ControlDescription& control, std::int32_t value,
                                            bool isAuto)
{
    const DeviceControls device(GetHostServices());
    const HRESULT status = device.Access().Write(control, value, isAuto);
    if (Norvex::Core::SUCCEEDED(status))
    {
        if (const std::wstring key = StoreKey(control); !key.empty())
        {
            GetHostServices()->WriteProfileString(Vistel::Plugins::cameraSettingsSection, key,
                                                  Vistel::Plugins::StoredControlValue(value, isAuto));
        }
    }
    return status;
}

void CameraSettingsProcessor::RestoreDefaults()
{
    const DeviceControls device(GetHostServices());
    for (const auto& state : ReadControls())
    {
        const auto& control = *state.description;
        device.Access().Write(control, state.defaultValue, false);
        if (state.canBeAuto)
        {
            device.Access().Write(control, state.defaultValue, true);
        }
        if (const std::wstring key = StoreKey(control); !key.empty())
        {
            GetHostServices()->WriteProfileString(Vistel::Plugins::cameraSettingsSection, key, L"");
        }
    }
}

bool CameraSettingsProcessor::IsDeviceRunning()
{
    auto* host = GetHostServices();
    return host && host->IsDeviceRunning();
}

} // namespace Vistel::CameraSettings
