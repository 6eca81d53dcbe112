#pragma once

// What the application offers to processors. The slot order, argument lists and identifier are a
// binary contract with plug-ins built separately: append nothing, reorder nothing.

#include <Norvex/Core/Com.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Norvex::Core::VideoCapture
{
class FrameFormat;
} // namespace Norvex::Core::VideoCapture

namespace Vistel::Framework
{

class IHostServices : public Norvex::Core::IUnknown
{
public:
    static constexpr Norvex::Core::IID Iid = {
        0xDBEB7E8C, 0xE43A, 0x4412, {0x8E, 0x3D, 0x90, 0xE8, 0x2A, 0x1D, 0x5A, 0xAD}};

    // The executable's folder, ending in "/".
    virtual const std::wstring& GetApplicationFolder() = 0;

    // The application's INI file; a processor keeps to sections of its own.
    virtual std::int32_t GetProfileInt(const std::wstring& section, const std::wstring& key,
                                       std::int32_t defaultValue) = 0;
    virtual std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                                          const std::wstring& defaultValue) = 0;
    // S_OK, or E_FAIL when the file cannot be written.
    virtual Norvex::Core::HRESULT WriteProfileInt(const std::wstring& section, const std::wstring& key,
                                                  std::int32_t value) = 0;
    virtual Norvex::Core::HRESULT WriteProfileString(const std::wstring& section, const std::wstring& key,
                                                     const std::wstring& value) = 0;

    // The current device's latest frame: top-down, 32-bit blue-green-red-alpha.
    virtual const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetSourceImage() = 0;
    // Makes the preview fetch GetImage again and redraw.
    virtual Norvex::Core::HRESULT NotifyFrameChanged() = 0;
    // Makes the preview repaint with the image it already has (for a changed overlay).
    virtual Norvex::Core::HRESULT InvalidatePreview() = 0;

    // Indexes are not range-checked: pass values below the counts.
    virtual std::int32_t GetDeviceCount() = 0;
    virtual const std::wstring* GetDeviceFriendlyName(std::int32_t deviceIndex) = 0;
    virtual const std::wstring* GetDevicePath(std::int32_t deviceIndex) = 0;
    virtual std::int32_t GetDeviceIndex() = 0;
    virtual std::int32_t GetFrameFormatCount() = 0;
    virtual const std::shared_ptr<Norvex::Core::VideoCapture::FrameFormat>*
    GetFrameFormat(std::int32_t frameFormatIndex) = 0;
    virtual std::int32_t GetFrameFormatIndex() = 0;
    virtual bool IsDeviceRunning() = 0;
    virtual bool IsRecordingActive() = 0;

protected:
    // Last slot; the object goes through Release only.
    virtual ~IHostServices() = default;
};

} // namespace Vistel::Framework
