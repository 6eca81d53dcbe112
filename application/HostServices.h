#pragma once

#include <Norvex/Core/ComObject.h>
#include <Vistel/Framework/IHostDeviceControls.h>
#include <Vistel/Framework/IHostServices.h>

#include <string>

namespace VistelCapture
{

class MainModel;
class VistelCaptureApp;

// What the application offers to processors: its folder, its INI file, the current device's
// frame and formats, and requests to redraw. Indexes out of range give a null pointer or -1.
// QueryInterface also answers IHostDeviceControls, on the same object and reference count.
class HostServices final : public Norvex::Core::ComObject<Vistel::Framework::IHostServices>,
                           public Vistel::Framework::IHostDeviceControls
{
public:
    HostServices(std::wstring applicationFolder, MainModel& model, VistelCaptureApp& application);

    Norvex::Core::HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override;
    Norvex::Core::ULONG AddRef() override;
    Norvex::Core::ULONG Release() override;

    const std::wstring& GetApplicationFolder() override;
    std::int32_t GetProfileInt(const std::wstring& section, const std::wstring& key,
                               std::int32_t defaultValue) override;
    std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                                  const std::wstring& defaultValue) override;
    Norvex::Core::HRESULT WriteProfileInt(const std::wstring& section, const std::wstring& key,
                                          std::int32_t value) override;
    Norvex::Core::HRESULT WriteProfileString(const std::wstring& section, const std::wstring& key,
                                             const std::wstring& value) override;
    const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetSourceImage() override;
    Norvex::Core::HRESULT NotifyFrameChanged() override;
    Norvex::Core::HRESULT InvalidatePreview() override;
    std::int32_t GetDeviceCount() override;
    const std::wstring* GetDeviceFriendlyName(std::int32_t deviceIndex) override;
    const std::wstring* GetDevicePath(std::int32_t deviceIndex) override;
    std::int32_t GetDeviceIndex() override;
    std::int32_t GetFrameFormatCount() override;
    const std::shared_ptr<Norvex::Core::VideoCapture::FrameFormat>*
    GetFrameFormat(std::int32_t frameFormatIndex) override;
    std::int32_t GetFrameFormatIndex() override;
    bool IsDeviceRunning() override;
    bool IsRecordingActive() override;

    Norvex::Core::HRESULT GetCameraControl(Norvex::Core::VideoCapture::CameraControl** control) override;
    Norvex::Core::HRESULT GetVideoProcAmp(Norvex::Core::VideoCapture::VideoProcAmp** procAmp) override;

private:
    const std::wstring applicationFolder;
    MainModel& model;
    VistelCaptureApp& application;
};

} // namespace VistelCapture
