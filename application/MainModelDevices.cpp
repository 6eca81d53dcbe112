// The model's device list: choosing a device, following cameras that come and go, and following a
// capture card's signal to another size.

#include "MainModel.h"

#include <Norvex/Core/CaptureBackends/CaptureBackends.h>

#include <QMetaObject>

#include <algorithm>
#include <cerrno>

using Norvex::Core::CriticalSection;
using Norvex::Core::Exception;

namespace VistelCapture
{

void MainModel::SelectDevice(std::int32_t index)
{
    if (index == deviceIndex)
    {
        return;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= devices.size())
    {
        Norvex::Core::ThrowUnexpected("SelectDevice", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (devices[static_cast<std::size_t>(index)]->frameFormats.empty())
    {
        throw Exception(L"キャプチャーデバイスがありません。", "SelectDevice", NORVEX_SOURCE_FILE, __LINE__);
    }
    awaitedCamera.reset();
    ReplaceDevices(devices, index, true);
}

void MainModel::ReplaceDevices(std::vector<std::shared_ptr<Device>> list, std::int32_t index,
                               bool goOnCapturing)
{
    const bool listChanged = list != devices;
    Device* const next = index < 0 ? noDevice.get() : list.at(static_cast<std::size_t>(index)).get();
    if (next == &GetCurrentDevice())
    {
        devices = std::move(list);
        deviceIndex = index;
        if (listChanged)
        {
            NotifyPropertyChanged(MainModelProperty::DeviceList);
        }
        return;
    }
    const bool wasStreaming = goOnCapturing && IsCapturing();
    try
    {
        StopCapture();
    }
    catch (const Exception&)
    {
        // A camera that is gone cannot be streamed off; its stream is released all the same.
    }
    const std::int32_t oldWidth = GetCurrentFrameFormat().width;
    const std::int32_t oldHeight = GetCurrentFrameFormat().height;
    if (deviceIndex >= 0 &&
        std::find(list.begin(), list.end(), devices[static_cast<std::size_t>(deviceIndex)]) == list.end())
    {
        departedDevice = devices[static_cast<std::size_t>(deviceIndex)];
    }
    devices = std::move(list);
    deviceIndex = index;
    if (listChanged)
    {
        NotifyPropertyChanged(MainModelProperty::DeviceList);
    }

    ResizeProfiles(GetCurrentFrameFormat());
    ResetProcessor();
    NotifyPropertyChanged(MainModelProperty::CaptureDevice);
    NotifyProcessor(Vistel::Framework::HostStateDeviceChanged);
    NotifyPropertyChanged(MainModelProperty::CurrentFrameFormat);
    NotifyProcessor(Vistel::Framework::HostStateFrameFormatChanged);
    if (captureApiFamily == Norvex::Core::VideoCapture::CaptureApiFamily::GStreamer)
    {
        UpdateFocusInformation();
    }
    ResetCursorAndScaleMarker(oldWidth, oldHeight);
    if (wasStreaming && index >= 0)
    {
        StartCapture();
    }
}

void MainModel::WatchDevices()
{
    if (deviceWatcher)
    {
        return;
    }
    deviceWatcher = Norvex::Core::VideoCapture::WatchDevices(
        static_cast<Norvex::Core::VideoCapture::CaptureApiFamily>(captureApiFamily),
        [this]
        {
            // Events come in bursts (a camera has several nodes): one listing for all that
            // arrived before it runs.
            if (!devicesChanged.exchange(true))
            {
                QMetaObject::invokeMethod(
                    &userInterfaceThread, [this] { UpdateDevices(); }, Qt::QueuedConnection);
            }
        });
}

void MainModel::UpdateDevices()
{
    devicesChanged = false;
    auto listed = Norvex::Core::VideoCapture::MergeDevices(
        devices, Norvex::Core::VideoCapture::EnumerateDevices(
                     static_cast<Norvex::Core::VideoCapture::CaptureApiFamily>(captureApiFamily),
                     skipErrorDevice, skipDuplicatedFrameFormat));
    if (listed == devices)
    {
        return;
    }
    std::int32_t index = -1;
    if (deviceIndex >= 0)
    {
        const auto kept =
            std::find(listed.begin(), listed.end(), devices[static_cast<std::size_t>(deviceIndex)]);
        if (kept != listed.end())
        {
            index = static_cast<std::int32_t>(kept - listed.begin());
        }
        else
        {
            const bool capturing = IsCapturing();
            if (capturing)
            {
                // Gone before its stream said so: the same one message as from the stream.
                Norvex::Core::CriticalSection::AutoLock lock(debugMessageSection);
                captureEndReason = Exception(Norvex::Core::HRESULT_FROM_WIN32(ENODEV), "UpdateDevices",
                                             NORVEX_SOURCE_FILE, __LINE__);
            }
            AwaitCurrentCamera(capturing || CameraWentAway());
        }
    }
    if (index < 0 && !listed.empty())
    {
        index = 0;
    }
    // Another camera is not started in place of one that left.
    ReplaceDevices(std::move(listed), index, false);
    SetAbsenceText();
    ResumeAwaitedCamera();
}

void MainModel::SetAbsenceText()
{
    if (!devices.empty())
    {
        absenceText.clear();
    }
    else if (Norvex::Core::VideoCapture::CamerasRefuseAccess())
    {
        absenceText = L"カメラはありますが、開く権限がありません。ユーザーを video グループに加えてから、"
                      L"ログインし直してください。";
    }
    else
    {
        absenceText = L"カメラが接続されていません。カメラをつなぐと、ここに表示されます。";
    }
}

void MainModel::AwaitCurrentCamera(bool capture)
{
    const auto& device = GetCurrentDevice();
    if (awaitedCamera && awaitedCamera->path == device.devicePath)
    {
        awaitedCamera->capture = awaitedCamera->capture || capture;
    }
    else
    {
        awaitedCamera = AwaitedCamera{device.devicePath, GetCurrentFrameFormat().GetName(), capture};
    }
    try
    {
        recorder.StopBecause(
            L"カメラが取り外されたため、録画を終了しました。取り外されるまでの録画はファイルに"
            L"保存されています。");
    }
    catch (const Exception& exception)
    {
        OnDeviceException(exception);
    }
}

void MainModel::ResumeAwaitedCamera()
{
    if (!awaitedCamera || awaitedCamera->path.empty())
    {
        return;
    }
    const auto back =
        std::find_if(devices.begin(), devices.end(),
                     [&](const auto& device) { return device->devicePath == awaitedCamera->path; });
    if (back == devices.end())
    {
        return;
    }
    const AwaitedCamera awaited = *std::exchange(awaitedCamera, std::nullopt);
    try
    {
        ReplaceDevices(devices, static_cast<std::int32_t>(back - devices.begin()), false);
        const auto& formats = GetCurrentDevice().frameFormats;
        const auto format =
            std::find_if(formats.begin(), formats.end(),
                         [&](const auto& candidate) { return candidate->GetName() == awaited.formatName; });
        if (format != formats.end())
        {
            SelectFrameFormat(static_cast<std::int32_t>(format - formats.begin()));
        }
        if (awaited.capture && !IsCapturing())
        {
            StartCapture();
        }
    }
    catch (const Exception& exception)
    {
        // Shown as any failure of a stream; the user starts it again.
        OnDeviceException(exception);
    }
}

void MainModel::OnStreamException(Device* source, const Exception& exception)
{
    if (source && !source->IsStarted() &&
        exception.GetErrorCode() == Norvex::Core::VideoCapture::signalResizedStatus)
    {
        // No failure to show: capture goes on at the new size as soon as the user-interface thread
        // has chosen the format, and the windows keep showing it running.
        const std::uint64_t run = stoppedRuns.load();
        QMetaObject::invokeMethod(
            &userInterfaceThread, [this, source, run] { FollowResizedSignal(source, run); },
            Qt::QueuedConnection);
        return;
    }
    if (!source || source->IsStarted())
    {
        OnDeviceException(exception); // a frame that failed; capture goes on
        return;
    }
    EndCaptureBecause(exception);
    // What is left of the stream is released on the user-interface thread, where the processor
    // hears of it (the camera's controls went with it).
    QMetaObject::invokeMethod(
        &userInterfaceThread, [this, source] { ReleaseEndedCapture(source); }, Qt::QueuedConnection);
}

void MainModel::EndCaptureBecause(const Exception& reason)
{
    OnDeviceException(reason);
    {
        CriticalSection::AutoLock lock(debugMessageSection);
        captureEndReason = reason;
    }
    NotifyPropertyChanged(MainModelProperty::IsCapturing);
}

void MainModel::FollowResizedSignal(const Device* source, std::uint64_t run)
{
    if (source != &GetCurrentDevice() || run != stoppedRuns.load() || IsCapturing())
    {
        return; // stopped, started again or another camera chosen since
    }
    try
    {
        StopCapture();
    }
    catch (const Exception&)
    {
        // What is left of the ended stream is released all the same.
    }
    try
    {
        if (!SelectSignalFormat())
        {
            Norvex::Core::ThrowUnexpected("FollowResizedSignal", NORVEX_SOURCE_FILE, __LINE__);
        }
        StartCapture();
    }
    catch (const Exception& exception)
    {
        EndCaptureBecause(exception);
    }
}

bool MainModel::SelectSignalFormat()
{
    const auto& device = GetCurrentDevice();
    const std::int32_t index = device.GetSignalFormatIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= device.frameFormats.size())
    {
        return false;
    }
    if (recorder.IsRecordingMovie())
    {
        const auto& format = *device.frameFormats[static_cast<std::size_t>(index)];
        try
        {
            recorder.StopBecause(
                L"入力信号の解像度が " + std::to_wstring(format.width) + L"x" +
                std::to_wstring(format.height) +
                L" に変わったため、録画を終了しました。変わるまでの録画はファイルに保存されて"
                L"います。");
        }
        catch (const Exception& exception)
        {
            OnDeviceException(exception);
        }
    }
    SelectFrameFormat(index);
    return true;
}

} // namespace VistelCapture
