#pragma once

// The camera and picture controls kept per camera, as both the host (which applies them whenever
// a camera starts) and the "カメラ設定" page (which changes them) know them: names, INI keys, how
// a value is stored, and how one is read from or written to a device's two control interfaces.

#include <Norvex/Core/Com.h>
#include <Norvex/Core/VideoCapture/CameraControl.h>
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace Vistel::Plugins
{

struct CameraControlDescription
{
    const wchar_t* key; // INI key suffix and the name the command line takes
    const char* label;  // shown on the page
    bool camera;        // CameraControl (true) or VideoProcAmp (false)
    std::int32_t property;
};

struct CameraControlState
{
    const CameraControlDescription* description = nullptr;
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t step = 1;
    std::int32_t defaultValue = 0;
    bool canBeAuto = false;
    std::int32_t value = 0;
    bool isAuto = false;
};

inline constexpr wchar_t cameraSettingsSection[] = L"CameraSettings";

// In the order the page lists them.
inline const std::vector<CameraControlDescription>& CameraControlTable()
{
    using Norvex::Core::VideoCapture::CameraControl;
    using Norvex::Core::VideoCapture::VideoProcAmp;
    static const std::vector<CameraControlDescription> controls = {
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

// The key of a control of the camera at devicePath (empty for a camera without a path). The path
// becomes part of an INI key: characters the file format gives a meaning to, blanks and anything
// outside printable ASCII are written as %XXXX of their character code.
inline std::wstring CameraControlKey(const std::wstring& devicePath, const CameraControlDescription& control)
{
    if (devicePath.empty())
    {
        return {};
    }
    std::wstring escaped;
    for (const wchar_t c : devicePath)
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
    return escaped + L":" + control.key;
}

// A stored choice is "value,flags" (flags Auto or Manual).
inline std::wstring StoredControlValue(std::int32_t value, bool isAuto)
{
    using Norvex::Core::VideoCapture::CameraControl;
    return std::to_wstring(value) + L"," +
           std::to_wstring(isAuto ? CameraControl::Auto : CameraControl::Manual);
}
inline bool ParseStoredControlValue(const std::wstring& stored, std::int32_t& value, bool& isAuto)
{
    std::int32_t flags = 0;
    if (std::swscanf(stored.c_str(), L"%d,%d", &value, &flags) != 2)
    {
        return false;
    }
    isAuto = flags == Norvex::Core::VideoCapture::CameraControl::Auto;
    return true;
}

// One control of a device that has either interface, or both, or neither (E_NOINTERFACE).
class DeviceControlAccess
{
public:
    DeviceControlAccess(Norvex::Core::VideoCapture::CameraControl* camera,
                        Norvex::Core::VideoCapture::VideoProcAmp* procAmp) noexcept
        : camera(camera), procAmp(procAmp)
    {
    }

    bool HasAny() const noexcept { return camera || procAmp; }

    // Range and value; fails when the device lacks the control.
    Norvex::Core::HRESULT Read(const CameraControlDescription& c, CameraControlState& state) const
    {
        std::int32_t flags = 0;
        state.description = &c;
        Norvex::Core::HRESULT status =
            c.camera ? (camera ? camera->GetRange(c.property, &state.minimum, &state.maximum, &state.step,
                                                  &state.defaultValue, &flags)
                               : Norvex::Core::E_NOINTERFACE)
                     : (procAmp ? procAmp->GetRange(c.property, &state.minimum, &state.maximum, &state.step,
                                                    &state.defaultValue, &flags)
                                : Norvex::Core::E_NOINTERFACE);
        state.canBeAuto = (flags & Norvex::Core::VideoCapture::CameraControl::Auto) != 0;
        if (Norvex::Core::FAILED(status))
        {
            return status;
        }
        flags = 0;
        status = c.camera ? camera->Get(c.property, &state.value, &flags)
                          : procAmp->Get(c.property, &state.value, &flags);
        state.isAuto = state.canBeAuto && (flags & Norvex::Core::VideoCapture::CameraControl::Auto) != 0;
        return status;
    }

    // Automatic mode when isAuto (and the control has one), else the value.
    Norvex::Core::HRESULT Write(const CameraControlDescription& c, std::int32_t value, bool isAuto) const
    {
        using Norvex::Core::VideoCapture::CameraControl;
        const std::int32_t flags = isAuto ? CameraControl::Auto : CameraControl::Manual;
        return c.camera ? (camera ? camera->Set(c.property, value, flags) : Norvex::Core::E_NOINTERFACE)
                        : (procAmp ? procAmp->Set(c.property, value, flags) : Norvex::Core::E_NOINTERFACE);
    }

private:
    Norvex::Core::VideoCapture::CameraControl* camera;
    Norvex::Core::VideoCapture::VideoProcAmp* procAmp;
};

} // namespace Vistel::Plugins
