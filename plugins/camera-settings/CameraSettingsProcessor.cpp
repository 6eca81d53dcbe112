#include "CameraSettingsProcessor.h"

#include "../common/Reference.h"
#include "CameraSettingsPage.h"

#include <Vistel/Framework/IHostDeviceControls.h>

#include <cstdio>
#include <new>

namespace Vistel::CameraSettings
{
namespace
{

using Norvex::Core::HRESULT;
using Norvex::Core::VideoCapture::CameraControl;
using Norvex::Core::VideoCapture::VideoProcAmp;

constexpr wchar_t section[] = L"CameraSettings";

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

    HRESULT GetRange(const ControlDescription& c, ControlState& state) const
    {
        std::int32_t flags = 0;
        const HRESULT status = c.camera
                                   ? (camera ? camera->GetRange(c.property, &state.minimum, &state.maximum,
                                                                &state.step, &state.defaultValue, &flags)
                                             : Norvex::Core::E_NOINTERFACE)
                                   : (procAmp ? procAmp->GetRange(c.property, &state.minimum, &state.maximum,
                                                                  &state.step, &state.defaultValue, &flags)
                                              : Norvex::Core::E_NOINTERFACE);
        state.canBeAuto = (flags & CameraControl::Auto) != 0;
        return status;
    }
    HRESULT Get(const ControlDescription& c, std::int32_t* value, std::int32_t* flags) const
    {
        return c.camera ? (camera ? camera->Get(c.property, value, flags) : Norvex::Core::E_NOINTERFACE)
                        : (procAmp ? procAmp->Get(c.property, value, flags) : Norvex::Core::E_NOINTERFACE);
    }
    HRESULT Set(const ControlDescription& c, std::int32_t value, std::int32_t flags) const
    {
        return c.camera ? (camera ? camera->Set(c.property, value, flags) : Norvex::Core::E_NOINTERFACE)
                        : (procAmp ? procAmp->Set(c.property, value, flags) : Norvex::Core::E_NOINTERFACE);
    }
};

// Device paths become part of an INI key: characters the file format gives a meaning to, blanks and
// anything outside printable ASCII are written as %XXXX of their character code.
std::wstring Escape(const std::wstring& text)
{
    std::wstring escaped;
    for (const wchar_t c : text)
    {
        if (c > 0x20 && c < 0x7F && c != L'=' && c != L'%' && c != L';' && c != L'[' && c != L']' &&
            c != L'#')
        {
            escaped += c;
        }
        else
        {
            wchar_t code[16];
            std::swprintf(code, 16, L"%%%04X", static_cast<unsigned>(c));
            escaped += code;
        }
    }
    return escaped;
}

} // namespace

const std::vector<ControlDescription>& CameraSettingsProcessor::Controls()
{
    static const std::vector<ControlDescription> controls = {
        {L"Brightness", "明るさ", false, VideoProcAmp::Brightness},
        {L"Contrast", "コントラスト", false, VideoProcAmp::Contrast},
        {L"Saturation", "彩度", false, VideoProcAmp::Saturation},
        {L"Hue", "色相", false, VideoProcAmp::Hue},
        {L"Gamma", "ガンマ", false, VideoProcAmp::Gamma},
        {L"Sharpness", "シャープネス", false, VideoProcAmp::Sharpness},
        {L"Gain", "ゲイン", false, VideoProcAmp::Gain},
        {L"WhiteBalance", "ホワイトバランス", false, VideoProcAmp::WhiteBalance},
        {L"BacklightCompensation", "逆光補正", false, VideoProcAmp::BacklightCompensation},
        {L"Exposure", "露出", true, CameraControl::Exposure},
        {L"Focus", "フォーカス", true, CameraControl::Focus},
        {L"Zoom", "ズーム", true, CameraControl::Zoom},
        {L"Pan", "パン", true, CameraControl::Pan},
        {L"Tilt", "チルト", true, CameraControl::Tilt},
        {L"Iris", "アイリス", true, CameraControl::Iris},
    };
    return controls;
}

HRESULT CameraSettingsProcessor::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (const HRESULT status = ProcessorBase::Initialize(hostServices); Norvex::Core::FAILED(status))
    {
        return status;
    }
    ApplyStored();
    return Norvex::Core::S_OK;
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
        // Another camera, or controls that appeared or went with the stream.
        ApplyStored();
        // Later, on the same thread: the host calls this under its frame lock, which the capture
        // thread should not wait on while a page builds its widgets.
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
    if (!path || path->empty())
    {
        return {};
    }
    return Escape(*path) + L":" + control.key;
}

std::vector<ControlState> CameraSettingsProcessor::ReadControls()
{
    std::vector<ControlState> states;
    const DeviceControls device(GetHostServices());
    for (const auto& control : Controls())
    {
        ControlState state;
        state.description = &control;
        std::int32_t flags = 0;
        if (Norvex::Core::FAILED(device.GetRange(control, state)) ||
            Norvex::Core::FAILED(device.Get(control, &state.value, &flags)))
        {
            continue;
        }
        state.isAuto = state.canBeAuto && (flags & CameraControl::Auto) != 0;
        states.push_back(state);
    }
    return states;
}

HRESULT CameraSettingsProcessor::SetControl(const ControlDescription& control, std::int32_t value,
                                            bool isAuto)
{
    const DeviceControls device(GetHostServices());
    const std::int32_t flags = isAuto ? CameraControl::Auto : CameraControl::Manual;
    const HRESULT status = device.Set(control, value, flags);
    if (Norvex::Core::SUCCEEDED(status))
    {
        if (const std::wstring key = StoreKey(control); !key.empty())
        {
            GetHostServices()->WriteProfileString(section, key,
                                                  std::to_wstring(value) + L"," + std::to_wstring(flags));
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
        device.Set(control, state.defaultValue, CameraControl::Manual);
        if (state.canBeAuto)
        {
            device.Set(control, state.defaultValue, CameraControl::Auto);
        }
        if (const std::wstring key = StoreKey(control); !key.empty())
        {
            GetHostServices()->WriteProfileString(section, key, L"");
        }
    }
}

bool CameraSettingsProcessor::IsDeviceRunning()
{
    auto* host = GetHostServices();
    return host && host->IsDeviceRunning();
}

void CameraSettingsProcessor::ApplyStored()
{
    auto* host = GetHostServices();
    const DeviceControls device(host);
    if (!host || (!device.camera && !device.procAmp))
    {
        return;
    }
    for (const auto& control : Controls())
    {
        const std::wstring key = StoreKey(control);
        if (key.empty())
        {
            return;
        }
        const std::wstring stored = host->GetProfileString(section, key, L"");
        std::int32_t value = 0;
        std::int32_t flags = 0;
        if (std::swscanf(stored.c_str(), L"%d,%d", &value, &flags) != 2)
        {
            continue;
        }
        // A control this camera lacks, or a value it refuses, is skipped; the rest still apply.
        device.Set(control, value,
                   flags == CameraControl::Auto ? CameraControl::Auto : CameraControl::Manual);
    }
}

} // namespace Vistel::CameraSettings
