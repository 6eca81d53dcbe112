#include "ModelSettings.h"

#include "MainModel.h"

#include <algorithm>

namespace VistelCapture
{
namespace
{

constexpr const wchar_t* section = L"Settings";

// The index of the first item that matches, `otherwise` when none does: stored choices that are
// gone fall back to the first device and processor, and to the format the device is set to.
template <class Items, class Predicate>
std::int32_t IndexOfFirst(const Items& items, Predicate matches, std::int32_t otherwise = 0)
{
    const auto found = std::find_if(items.begin(), items.end(), matches);
    return found == items.end() ? otherwise : static_cast<std::int32_t>(found - items.begin());
}

} // namespace

std::wstring ModelSettings::GetProcessorName(const Norvex::Core::ProfileFile& profile)
{
    return profile.GetProfileString(section, L"ProcessorName", L"");
}

bool ModelSettings::StoreProcessorName(Norvex::Core::ProfileFile& profile, const std::wstring& name)
{
    return profile.WriteProfileString(section, L"ProcessorName", name);
}

void ModelSettings::Load(MainModel& model, const Norvex::Core::ProfileFile& profile)
{
    const auto readInt = [&](const wchar_t* key, std::int32_t defaultValue)
    {
        return profile.GetProfileInt(section, key, defaultValue);
    };

    if (!model.GetDevices().empty())
    {
        const auto deviceName = profile.GetProfileString(section, L"CaptureDeviceName", L"");
        model.SelectDevice(
            IndexOfFirst(model.GetDevices(), [&](const auto& device)
                         { return device->devicePath == deviceName && !device->frameFormats.empty(); }));

        const auto formatName = profile.GetProfileString(section, L"FrameFormatName", L"");
        model.SelectFrameFormat(IndexOfFirst(
            model.GetCurrentDevice().frameFormats,
            [&](const auto& format) { return format->GetName() == formatName; },
            model.GetCurrentDevice().frameFormatIndex));
    }

    // A stored processor that no longer starts is reported by the model and never keeps the
    // program from starting.
    const auto processorName = GetProcessorName(profile);
    model.SelectProcessor(IndexOfFirst(model.GetProcessorEntries(),
                                       [&](const auto& entry) { return entry->GetName() == processorName; }));

    model.SetViewRatio(readInt(L"ViewRatio", model.ViewRatio));
    model.SetSetting(model.IsMarkerVisible, readInt(L"IsMarkerVisible", model.IsMarkerVisible) != 0,
                     MainModelProperty::IsMarkerVisible);
    const auto marker = model.GetMarkerPosition();
    const std::int32_t y = readInt(L"MarkerPositionY", marker.y);
    const std::int32_t x = readInt(L"MarkerPositionX", marker.x);
    model.SetMarkerPosition({x, y});
    model.SetSetting(
        model.MarkerColor,
        static_cast<std::uint32_t>(readInt(L"MarkerColor", static_cast<std::int32_t>(model.MarkerColor))),
        MainModelProperty::MarkerColor);
    model.SetSetting(model.IsProfileVisible, readInt(L"IsProfileVisible", model.IsProfileVisible) != 0,
                     MainModelProperty::IsProfileVisible);
    model.SetSetting(model.IsSidePaneVisible, readInt(L"IsSidePaneVisible", model.IsSidePaneVisible) != 0,
                     MainModelProperty::IsSidePaneVisible);
    model.SetSetting(model.ControlPanelPage, readInt(L"ControlPanelPage", model.ControlPanelPage),
                     MainModelProperty::ControlPanelPage);
    model.SetSetting(model.IsStatusBarVisible, readInt(L"IsStatusBarVisible", model.IsStatusBarVisible) != 0,
                     MainModelProperty::IsStatusBarVisible);
    model.SetSetting(model.SaveTarget, readInt(L"SaveTarget", model.SaveTarget.load()),
                     MainModelProperty::SaveTarget);
    model.SetSetting(model.FileFormat, readInt(L"FileFormat", model.FileFormat.load()),
                     MainModelProperty::FileFormat);
    model.SetSetting(model.MovieBitRate, readInt(L"MovieBitRate", model.MovieBitRate),
                     MainModelProperty::MovieBitRate);
    // A negative interval edited into the file means every frame, as 0 does.
    model.SetSetting(model.RecordingInterval,
                     std::max(readInt(L"RecordingInterval", model.RecordingInterval), 0),
                     MainModelProperty::RecordingInterval);
    model.SetSetting(model.IsTimestampFileEnabled,
                     readInt(L"IsTimestampFileEnabled", model.IsTimestampFileEnabled) != 0,
                     MainModelProperty::IsTimestampFileEnabled);
}

void ModelSettings::Save(const MainModel& model, Norvex::Core::ProfileFile& profile) noexcept
{
    const auto& processors = model.GetProcessorEntries();
    const bool hasPlugins = processors.size() > 1;
    const auto marker = model.GetMarkerPosition();
    const auto writeString = [&](const wchar_t* key, const std::wstring& value)
    {
        return profile.WriteProfileString(section, key, value);
    };
    const auto writeInt = [&](const wchar_t* key, std::int32_t value)
    {
        return profile.WriteProfileInt(section, key, value);
    };
    try
    {
        // A run without a camera keeps the camera chosen before.
        const bool hasDevice = model.GetDeviceIndex() >= 0;
        (void)((!hasDevice || (writeString(L"CaptureDeviceName", model.GetCurrentDevice().devicePath) &&
                               writeString(L"FrameFormatName", model.GetCurrentFrameFormat().GetName()))) &&
               (!hasPlugins || writeString(L"ProcessorName", model.GetProcessorNameToStore())) &&
               writeInt(L"ViewRatio", model.ViewRatio) &&
               writeInt(L"IsMarkerVisible", model.IsMarkerVisible) &&
               writeInt(L"MarkerPositionX", marker.x) && writeInt(L"MarkerPositionY", marker.y) &&
               writeInt(L"MarkerColor", static_cast<std::int32_t>(model.MarkerColor)) &&
               writeInt(L"IsProfileVisible", model.IsProfileVisible) &&
               writeInt(L"IsSidePaneVisible", model.IsSidePaneVisible) &&
               (!hasPlugins || writeInt(L"ControlPanelPage", model.ControlPanelPage)) &&
               writeInt(L"IsStatusBarVisible", model.IsStatusBarVisible) &&
               writeInt(L"SaveTarget", model.SaveTarget.load()) &&
               writeInt(L"FileFormat", model.FileFormat.load()) &&
               writeInt(L"MovieBitRate", model.MovieBitRate) &&
               writeInt(L"RecordingInterval", model.RecordingInterval) &&
               writeInt(L"IsTimestampFileEnabled", model.IsTimestampFileEnabled));
    }
    catch (...)
    {
        // The window is gone: nothing to show the failure in.
    }
}

} // namespace VistelCapture
