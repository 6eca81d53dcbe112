#include "HostServices.h"

#include "MainModel.h"
#include "VistelCaptureApp.h"

namespace VistelCapture
{
namespace
{

// Hands out the device's control with a reference for the caller; S_FALSE and null without one.
template <class T> Norvex::Core::HRESULT HandOut(const Norvex::Core::ComPointer<T>& source, T** target)
{
    if (!target)
    {
        return Norvex::Core::E_POINTER;
    }
    *target = source.Get();
    if (!*target)
    {
        return Norvex::Core::S_FALSE;
    }
    (*target)->AddRef();
    return Norvex::Core::S_OK;
}

template <class T> bool InRange(std::int32_t index, const std::vector<T>& items)
{
    return index >= 0 && static_cast<std::size_t>(index) < items.size();
}

} // namespace

HostServices::HostServices(std::wstring applicationFolder, MainModel& model, VistelCaptureApp& application)
    : applicationFolder(std::move(applicationFolder)), model(model), application(application)
{
}

Norvex::Core::HRESULT HostServices::QueryInterface(const Norvex::Core::IID& iid, void** object)
{
    if (object && iid == Vistel::Framework::IHostDeviceControls::Iid)
    {
        *object = static_cast<Vistel::Framework::IHostDeviceControls*>(this);
        AddRef();
        return Norvex::Core::S_OK;
    }
    return ComObject::QueryInterface(iid, object);
}

Norvex::Core::ULONG HostServices::AddRef()
{
    return ComObject::AddRef();
}

Norvex::Core::ULONG HostServices::Release()
{
    return ComObject::Release();
}

const std::wstring& HostServices::GetApplicationFolder()
{
    return applicationFolder;
}

std::int32_t HostServices::GetProfileInt(const std::wstring& section, const std::wstring& key,
                                         std::int32_t defaultValue)
{
    return application.GetProfile().GetProfileInt(section, key, defaultValue);
}

std::wstring HostServices::GetProfileString(const std::wstring& section, const std::wstring& key,
                                            const std::wstring& defaultValue)
{
    return application.GetProfile().GetProfileString(section, key, defaultValue);
}

Norvex::Core::HRESULT HostServices::WriteProfileInt(const std::wstring& section, const std::wstring& key,
                                                    std::int32_t value)
{
    return application.GetProfile().WriteProfileInt(section, key, value) ? Norvex::Core::S_OK
                                                                         : Norvex::Core::E_FAIL;
}

Norvex::Core::HRESULT HostServices::WriteProfileString(const std::wstring& section, const std::wstring& key,
                                                       const std::wstring& value)
{
    return application.GetProfile().WriteProfileString(section, key, value) ? Norvex::Core::S_OK
                                                                            : Norvex::Core::E_FAIL;
}

const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* HostServices::GetSourceImage()
{
    // The address stays; its pixels are read under the frame lock (Process runs under it).
    return &*model.GetCurrentDevice().LockFrame();
}

Norvex::Core::HRESULT HostServices::NotifyFrameChanged()
{
    model.NotifyFrameChanged();
    return Norvex::Core::S_OK;
}

Norvex::Core::HRESULT HostServices::InvalidatePreview()
{
    model.InvalidatePreview();
    return Norvex::Core::S_OK;
}

std::int32_t HostServices::GetDeviceCount()
{
    return static_cast<std::int32_t>(model.GetDevices().size());
}

const std::wstring* HostServices::GetDeviceFriendlyName(std::int32_t deviceIndex)
{
    const auto& devices = model.GetDevices();
    return InRange(deviceIndex, devices) ? &devices[static_cast<std::size_t>(deviceIndex)]->friendlyName
                                         : nullptr;
}

const std::wstring* HostServices::GetDevicePath(std::int32_t deviceIndex)
{
    const auto& devices = model.GetDevices();
    return InRange(deviceIndex, devices) ? &devices[static_cast<std::size_t>(deviceIndex)]->devicePath
                                         : nullptr;
}

std::int32_t HostServices::GetDeviceIndex()
{
    return model.GetDeviceIndex();
}

std::int32_t HostServices::GetFrameFormatCount()
{
    return static_cast<std::int32_t>(model.GetCurrentDevice().frameFormats.size());
}

const std::shared_ptr<Norvex::Core::VideoCapture::FrameFormat>*
HostServices::GetFrameFormat(std::int32_t frameFormatIndex)
{
    const auto& formats = model.GetCurrentDevice().frameFormats;
    return InRange(frameFormatIndex, formats) ? &formats[static_cast<std::size_t>(frameFormatIndex)]
                                              : nullptr;
}

std::int32_t HostServices::GetFrameFormatIndex()
{
    return model.GetCurrentDevice().frameFormatIndex;
}

bool HostServices::IsDeviceRunning()
{
    return model.IsCapturing();
}

bool HostServices::IsRecordingActive()
{
    return model.IsRecording();
}

Norvex::Core::HRESULT HostServices::GetCameraControl(Norvex::Core::VideoCapture::CameraControl** control)
{
    return HandOut(model.GetCurrentDevice().GetCameraControl(), control);
}

Norvex::Core::HRESULT HostServices::GetVideoProcAmp(Norvex::Core::VideoCapture::VideoProcAmp** procAmp)
{
    return HandOut(model.GetCurrentDevice().GetVideoProcAmp(), procAmp);
}

} // namespace VistelCapture
