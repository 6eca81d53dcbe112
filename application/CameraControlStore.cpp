#include "CameraControlStore.h"

#include <Norvex/Core/StringHelpers.h>

#include <algorithm>
#include <cwctype>

namespace VistelCapture
{
namespace
{

Vistel::Plugins::DeviceControlAccess Access(Norvex::Core::VideoCapture::Device& device)
{
    return {device.GetCameraControl().Get(), device.GetVideoProcAmp().Get()};
}

} // namespace

void CameraControlStore::Apply(Norvex::Core::VideoCapture::Device& device)
{
    const auto access = Access(device);
    if (!access.HasAny())
    {
        return;
    }
    for (const auto& control : Vistel::Plugins::CameraControlTable())
    {
        const std::wstring key = Vistel::Plugins::CameraControlKey(device.devicePath, control);
        if (key.empty())
        {
            return;
        }
        std::int32_t value = 0;
        bool isAuto = false;
        if (Vistel::Plugins::ParseStoredControlValue(
                profile.GetProfileString(Vistel::Plugins::cameraSettingsSection, key, L""), value, isAuto))
        {
            access.Write(control, value, isAuto);
        }
    }
}

std::vector<CameraControlStore::State> CameraControlStore::Read(Norvex::Core::VideoCapture::Device& device)
{
    std::vector<State> states;
    const auto access = Access(device);
    for (const auto& control : Vistel::Plugins::CameraControlTable())
    {
        State state;
        if (Norvex::Core::SUCCEEDED(access.Read(control, state)))
        {
            states.push_back(state);
        }
    }
    return states;
}

void CameraControlStore::Store(const Norvex::Core::VideoCapture::Device& device, const Description& control,
                               std::int32_t value, bool isAuto)
{
    const std::wstring key = Vistel::Plugins::CameraControlKey(device.devicePath, control);
    if (!key.empty())
    {
        profile.WriteProfileString(Vistel::Plugins::cameraSettingsSection, key,
                                   Vistel::Plugins::StoredControlValue(value, isAuto));
    }
}

const CameraControlStore::Description* CameraControlStore::Find(const std::string& name)
{
    const auto wanted = Norvex::Core::ToWideString(name);
    const auto lower = [](std::wstring text)
    {
        std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
        return text;
    };
    for (const auto& control : Vistel::Plugins::CameraControlTable())
    {
        if (lower(control.key) == lower(wanted))
        {
            return &control;
        }
    }
    return nullptr;
}

} // namespace VistelCapture
