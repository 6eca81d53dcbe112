#pragma once

// A stand-in for the application's host services: an in-memory INI, a fixed source image and
// counters. It never deletes itself; tests keep their own reference and read the count.

#include <Vistel/Framework/IHostServices.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>

namespace VistelTest
{

class TestHostServices final : public Vistel::Framework::IHostServices
{
public:
    using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

    explicit TestHostServices(std::wstring folder = L"/opt/vistel/") : folder(std::move(folder)) {}
    TestHostServices(const TestHostServices&) = delete;
    TestHostServices& operator=(const TestHostServices&) = delete;
    ~TestHostServices() override = default;

    Norvex::Core::HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        if (!object)
        {
            return Norvex::Core::E_POINTER;
        }
        if (iid == Norvex::Core::IUnknown::Iid || iid == IHostServices::Iid)
        {
            *object = static_cast<IHostServices*>(this);
            AddRef();
            return Norvex::Core::S_OK;
        }
        *object = nullptr;
        return Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return ++referenceCount; }
    Norvex::Core::ULONG Release() override { return --referenceCount; }

    const std::wstring& GetApplicationFolder() override { return folder; }
    std::int32_t GetProfileInt(const std::wstring& section, const std::wstring& key,
                               std::int32_t defaultValue) override
    {
        const auto found = profile.find({section, key});
        return found == profile.end() ? defaultValue : std::stoi(found->second);
    }
    std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                                  const std::wstring& defaultValue) override
    {
        const auto found = profile.find({section, key});
        return found == profile.end() ? defaultValue : found->second;
    }
    Norvex::Core::HRESULT WriteProfileInt(const std::wstring& section, const std::wstring& key,
                                          std::int32_t value) override
    {
        profile[{section, key}] = std::to_wstring(value);
        return Norvex::Core::S_OK;
    }
    Norvex::Core::HRESULT WriteProfileString(const std::wstring& section, const std::wstring& key,
                                             const std::wstring& value) override
    {
        profile[{section, key}] = value;
        return Norvex::Core::S_OK;
    }

    const Image* GetSourceImage() override { return &sourceImage; }
    Norvex::Core::HRESULT NotifyFrameChanged() override
    {
        ++frameChangedCount;
        return Norvex::Core::S_OK;
    }
    Norvex::Core::HRESULT InvalidatePreview() override
    {
        ++invalidateCount;
        return Norvex::Core::S_OK;
    }

    std::int32_t GetDeviceCount() override { return 0; }
    const std::wstring* GetDeviceFriendlyName(std::int32_t) override { return nullptr; }
    const std::wstring* GetDevicePath(std::int32_t) override { return nullptr; }
    std::int32_t GetDeviceIndex() override { return -1; }
    std::int32_t GetFrameFormatCount() override { return 0; }
    const std::shared_ptr<Norvex::Core::VideoCapture::FrameFormat>* GetFrameFormat(std::int32_t) override
    {
        return nullptr;
    }
    std::int32_t GetFrameFormatIndex() override { return -1; }
    bool IsDeviceRunning() override { return false; }
    bool IsRecordingActive() override { return false; }

    Norvex::Core::ULONG GetReferenceCount() const { return referenceCount; }

    Image sourceImage;
    int frameChangedCount = 0;
    int invalidateCount = 0;

private:
    std::atomic<Norvex::Core::ULONG> referenceCount{1};
    std::wstring folder;
    std::map<std::pair<std::wstring, std::wstring>, std::wstring> profile;
};

} // namespace VistelTest
