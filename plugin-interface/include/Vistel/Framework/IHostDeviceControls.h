#pragma once

// A second interface of the host, reached through IHostServices::QueryInterface with its own
// identifier: the current device's camera and picture controls. The host services' own slot table
// stays as it is; a host without this interface answers E_NOINTERFACE.

#include <Norvex/Core/Com.h>
#include <Norvex/Core/VideoCapture/CameraControl.h>
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

namespace Vistel::Framework
{

class IHostDeviceControls : public Norvex::Core::IUnknown
{
public:
    static constexpr Norvex::Core::IID Iid = {
        0xA4A67C35, 0x4FD0, 0x4896, {0xB1, 0xEA, 0xE2, 0x03, 0xDF, 0x37, 0xF7, 0x8C}};

    // The current device's pan, tilt, zoom, exposure, iris and focus. Stores the control with one
    // reference for the caller and returns S_OK, or stores null and returns S_FALSE when the
    // device offers none right now (a V4L2 camera offers its controls only while it streams).
    // User-interface thread only: the controls change when the device starts, stops or changes.
    virtual Norvex::Core::HRESULT GetCameraControl(Norvex::Core::VideoCapture::CameraControl** control) = 0;
    // Brightness, contrast, hue, saturation, sharpness, gamma, white balance, backlight
    // compensation and gain; the same rules.
    virtual Norvex::Core::HRESULT GetVideoProcAmp(Norvex::Core::VideoCapture::VideoProcAmp** procAmp) = 0;

protected:
    ~IHostDeviceControls() = default;
};

} // namespace Vistel::Framework
