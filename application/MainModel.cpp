#include "MainModel.h"

#include "CameraControlStore.h"
#include "HostServices.h"
#include "ModelSettings.h"
#include "PluginDiscovery.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/CaptureBackends/CaptureBackends.h>
#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VideoCapture/CameraControl.h>
#include <Norvex/Core/VideoCapture/NoDevice.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

using Norvex::Core::CriticalSection;
using Norvex::Core::Exception;
using Norvex::Core::SUCCEEDED;
using Norvex::Core::VideoCapture::CameraControl;

namespace VistelCapture
{
namespace
{

// Properties a new listener receives, in this order: everything but Frame and DebugMessage.
constexpr MainModelProperty initialState[] = {
    MainModelProperty::CaptureDevice,      MainModelProperty::CurrentFrameFormat,
    MainModelProperty::IsCapturing,        MainModelProperty::Processor,
    MainModelProperty::ViewRatio,          MainModelProperty::IsMarkerVisible,
    MainModelProperty::MarkerPosition,     MainModelProperty::MarkerColor,
    MainModelProperty::IsProfileVisible,   MainModelProperty::Profile,
    MainModelProperty::IsSidePaneVisible,  MainModelProperty::ControlPanelPage,
    MainModelProperty::IsStatusBarVisible, MainModelProperty::FocusRange,
    MainModelProperty::IsFocusAuto,        MainModelProperty::FocusPosition,
    MainModelProperty::IsCursorInImage,    MainModelProperty::CursorPosition,
    MainModelProperty::CursorPixel,        MainModelProperty::SaveTarget,
    MainModelProperty::FileFormat,         MainModelProperty::MovieBitRate,
    MainModelProperty::IsRecording,        MainModelProperty::RecordingInterval,
    MainModelProperty::DeviceList,
};

std::uint32_t PixelValue(const Norvex::Core::Pixel<unsigned char>& pixel)
{
    std::uint32_t value;
    std::memcpy(&value, &pixel, sizeof value);
    return value;
}

std::int32_t Scale(std::int32_t value, std::int32_t newSize, std::int32_t oldSize)
{
    // 64-bit so that large frames cannot overflow; from an empty old format (no device) to the
    // centre.
    return oldSize > 0 ? static_cast<std::int32_t>(std::int64_t(newSize) * value / oldSize) : newSize / 2;
}

// Set on the capture thread while the processor's Process runs.
thread_local bool insideProcess = false;

} // namespace

MainModel::MainModel(std::int32_t captureApiFamily, bool skipErrorDevice, bool skipDuplicatedFrameFormat,
                     const std::wstring& applicationFolder, VistelCaptureApp& application,
                     ProcessorLoading processorLoading)
    : BindableBase(Norvex::Mfc::PropertyChangedEvent::DefaultType()), captureApiFamily(captureApiFamily),
      skipErrorDevice(skipErrorDevice), skipDuplicatedFrameFormat(skipDuplicatedFrameFormat),
      noDevice(std::make_shared<Norvex::Core::VideoCapture::NoDevice>()),
      applicationFolder(applicationFolder), application(application),
      recorder({[this](const Exception& exception) { OnDeviceException(exception); },
                [this]
                {
                    // The camera's packets are copied, and JPEG's planes made with each frame, only
                    // while a recording takes them.
                    if (!devices.empty())
                    {
                        GetCurrentDevice().SetEncodedPayloadWanted(recorder.KeepsCameraData());
                        GetCurrentDevice().SetJpegPlanesWanted(recorder.TakesEveryFrameAsJpeg());
                    }
                    NotifyPropertyChanged(MainModelProperty::IsRecording);
                    NotifyProcessor(Vistel::Framework::HostStateRecordingChanged);
                },
                [this]
                {
                    NotifyPropertyChanged(MainModelProperty::RecordingWarning);
                }})
{
    if (captureApiFamily == Norvex::Core::VideoCapture::CaptureApiFamily::GStreamer)
    {
        gstreamer = std::make_shared<Norvex::Core::GStreamerInitializer>();
    }
    devices = Norvex::Core::VideoCapture::EnumerateDevices(
        static_cast<Norvex::Core::VideoCapture::CaptureApiFamily>(captureApiFamily), skipErrorDevice,
        skipDuplicatedFrameFormat);
    deviceIndex = devices.empty() ? -1 : 0;
    SetAbsenceText();
    hostServices.Attach(new HostServices(applicationFolder, *this, application));

    // Without the plug-ins only "なし" is listed; the settings then keep the stored processor
    // name, which is "なし" already.
    if (processorLoading == ProcessorLoading::Always ||
        ModelSettings::GetProcessorName(application.GetProfile()) != ProcessorEntry::builtInName)
    {
        processorEntries = DiscoverProcessorEntries(applicationFolder);
    }
    else
    {
        processorEntries.push_back(std::make_shared<ProcessorEntry>(nullptr, 0));
    }
    processorEntries.at(0)->Initialize(hostServices.Get());

    const auto& format = GetCurrentFrameFormat();
    markerPosition = Point{format.width / 2, format.height / 2};
    ResizeProfiles(format);

    ModelSettings::Load(*this, application.GetProfile());
    // A stored processor that fails to start: "なし" at once, the message waits for a window.
    if (currentProcessorFailed.load())
    {
        FallBackToBuiltInProcessor();
    }
    if (captureApiFamily == Norvex::Core::VideoCapture::CaptureApiFamily::GStreamer)
    {
        // Otherwise a first device that is also the stored one would show no focus control.
        UpdateFocusInformation();
    }
}

MainModel::~MainModel()
{
    // A model destroyed while streaming must not receive frames while its members go.
    try
    {
        StopRecording();
        if (IsCapturing())
        {
            StopCapture();
        }
    }
    catch (...)
    {
    }
    ModelSettings::Save(*this, application.GetProfile());
    try
    {
        CriticalSection::AutoLock lock(frameLock);
        processorEntries.at(static_cast<std::size_t>(processorIndex))->Finalize();
    }
    catch (...)
    {
        // Nothing can be shown any more; the processor is released with its entry.
    }
}

void MainModel::OnListenerAdded(QObject* listener)
{
    for (const auto property : initialState)
    {
        PostPropertyChanged(listener, static_cast<int>(property));
    }
    // A failure before the window existed (the stored processor's start) is still to be told.
    CriticalSection::AutoLock lock(failureSection);
    if (pendingFailure)
    {
        PostPropertyChanged(listener, static_cast<int>(MainModelProperty::ProcessorFailed));
    }
}

std::int32_t MainModel::ClampViewRatio(std::int32_t value) noexcept
{
    return std::clamp(value, 10, 1000);
}

const MainModel::FrameFormat& MainModel::GetCurrentFrameFormat() const
{
    const auto& device = GetCurrentDevice();
    return device.frameFormats.empty()
               ? Norvex::Core::VideoCapture::NoDevice::EmptyFormat()
               : *device.frameFormats.at(static_cast<std::size_t>(device.frameFormatIndex));
}

void MainModel::ResizeProfiles(const FrameFormat& format)
{
    CriticalSection::AutoLock lock(profileSection);
    horizontalProfile.assign(static_cast<std::size_t>(std::max(format.width, 0)), 0);
    verticalProfile.assign(static_cast<std::size_t>(std::max(format.height, 0)), 0);
    profilesStale = false;
}

void MainModel::FillProfiles(const Image& frame)
{
    const Point marker = markerPosition.load();
    CriticalSection::AutoLock lock(profileSection);
    profilesStale = false;
    horizontalProfile.assign(static_cast<std::size_t>(std::max(frame.width, 0)), 0);
    verticalProfile.assign(static_cast<std::size_t>(std::max(frame.height, 0)), 0);
    if (frame.Contains(0, marker.y))
    {
        const auto* row = frame.Row(marker.y);
        for (std::int32_t x = 0; x < frame.width; ++x)
        {
            horizontalProfile[static_cast<std::size_t>(x)] = PixelValue(row[x]);
        }
    }
    if (frame.Contains(marker.x, 0))
    {
        for (std::int32_t y = 0; y < frame.height; ++y)
        {
            verticalProfile[static_cast<std::size_t>(y)] = PixelValue(frame.At(marker.x, y));
        }
    }
}

void MainModel::GetProfiles(std::vector<std::uint32_t>& horizontal, std::vector<std::uint32_t>& vertical)
{
    {
        CriticalSection::AutoLock lock(profileSection);
        if (!profilesStale)
        {
            horizontal = horizontalProfile;
            vertical = verticalProfile;
            return;
        }
    }
    // The frame lock first, as on the capture thread; the frame it holds is the latest, the one
    // the stale profiles belong to.
    const auto frame = GetCurrentDevice().LockFrame();
    CriticalSection::AutoLock lock(profileSection);
    if (profilesStale)
    {
        FillProfiles(*frame);
    }
    horizontal = horizontalProfile;
    vertical = verticalProfile;
}

std::wstring MainModel::GetDebugMessage() const
{
    CriticalSection::AutoLock lock(debugMessageSection);
    return debugMessage;
}

std::optional<Exception> MainModel::GetLastException() const
{
    CriticalSection::AutoLock lock(debugMessageSection);
    return lastException;
}

std::optional<Exception> MainModel::GetCaptureEndReason() const
{
    CriticalSection::AutoLock lock(debugMessageSection);
    return captureEndReason;
}

bool MainModel::CameraWentAway() const
{
    CriticalSection::AutoLock lock(debugMessageSection);
    return captureEndReason && captureEndReason->GetErrorCode() == Norvex::Core::HRESULT_FROM_WIN32(ENODEV);
}

void MainModel::ResetCursorAndScaleMarker(std::int32_t oldWidth, std::int32_t oldHeight)
{
    const auto& format = GetCurrentFrameFormat();
    if (cursorPosition.load() != Point{} && format.width > 0 && format.height > 0)
    {
        cursorPosition = Point{};
        NotifyPropertyChanged(MainModelProperty::CursorPosition);
        NotifyPropertyChanged(MainModelProperty::CursorPixel);
    }
    const Point marker = markerPosition.load();
    SetMarkerPosition({Scale(marker.x, format.width, oldWidth), Scale(marker.y, format.height, oldHeight)});
}

void MainModel::SelectFrameFormat(std::int32_t index)
{
    auto& device = GetCurrentDevice();
    if (index == device.frameFormatIndex)
    {
        return;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= device.frameFormats.size())
    {
        Norvex::Core::ThrowUnexpected("SelectFrameFormat", NORVEX_SOURCE_FILE, __LINE__);
    }
    const bool wasStreaming = device.IsStarted();
    StopCapture();
    const std::int32_t oldWidth = GetCurrentFrameFormat().width;
    const std::int32_t oldHeight = GetCurrentFrameFormat().height;

    const bool started = device.IsStarted();
    device.Stop();
    device.Unprepare();
    const std::int32_t oldIndex = device.frameFormatIndex;
    device.frameFormatIndex = index;
    try
    {
        device.Prepare();
    }
    catch (...)
    {
        // A format that cannot be prepared must not leave the device without a usable one.
        device.Unprepare();
        device.frameFormatIndex = oldIndex;
        device.Prepare();
        throw;
    }
    if (started)
    {
        device.Start();
    }

    ResizeProfiles(GetCurrentFrameFormat());
    ResetProcessor();
    NotifyPropertyChanged(MainModelProperty::CurrentFrameFormat);
    NotifyProcessor(Vistel::Framework::HostStateFrameFormatChanged);
    ResetCursorAndScaleMarker(oldWidth, oldHeight);
    if (wasStreaming)
    {
        StartCapture();
    }
}

void MainModel::StartCapture()
{
    auto& device = GetCurrentDevice();
    ForgetCaptureEndReason();
    UpdatePictureDemand();
    device.SetFrameCallback([this](Device* source, const Image& frame)
                            { OnDeviceFrame(*source, frame, source->GetFrameInfo()); });
    device.SetExceptionCallback([this](Device* source, const Exception& exception)
                                { OnStreamException(source, exception); });
    try
    {
        device.Start();
    }
    catch (const Exception& exception)
    {
        device.SetFrameCallback({});
        device.SetExceptionCallback({});
        // A capture card whose signal now has another size: the format of that size, if listed.
        if (exception.GetErrorCode() != Norvex::Core::VideoCapture::signalResizedStatus ||
            !SelectSignalFormat())
        {
            throw;
        }
        StartCapture();
        return;
    }
    catch (...)
    {
        device.SetFrameCallback({});
        device.SetExceptionCallback({});
        throw;
    }
    // Every start (the first, after a replug, after a format change) brings the camera back to
    // the values kept for it, whichever processor is chosen.
    CameraControlStore(application.GetProfile()).Apply(device);
    NotifyPropertyChanged(MainModelProperty::IsCapturing);
    NotifyProcessor(Vistel::Framework::HostStateCaptureChanged);
    if (captureApiFamily == Norvex::Core::VideoCapture::CaptureApiFamily::V4l2)
    {
        UpdateFocusInformation();
    }
}

void MainModel::StopCapture()
{
    auto& device = GetCurrentDevice();
    device.Stop();
    ++stoppedRuns;
    device.SetFrameCallback({});
    device.SetExceptionCallback({});
    // A cursor move while the last frame was on its way may not have been sampled yet.
    SampleCursorPixel(*device.LockFrame());
    NotifyPropertyChanged(MainModelProperty::IsCapturing);
    NotifyProcessor(Vistel::Framework::HostStateCaptureChanged);
    if (captureApiFamily == Norvex::Core::VideoCapture::CaptureApiFamily::V4l2)
    {
        UpdateFocusInformation();
    }
}

void MainModel::NotifyFrameChanged()
{
    if (!insideProcess)
    {
        const auto frame = GetCurrentDevice().LockFrame();
        CriticalSection::AutoLock lock(frameLock);
        PublishProcessorImage();
    }
    NotifyPropertyChanged(MainModelProperty::Frame);
}

void MainModel::SampleCursorPixel(const Image& frame)
{
    const Point cursor = cursorPosition.load();
    cursorPixel = frame.Contains(cursor.x, cursor.y) ? PixelValue(frame.At(cursor.x, cursor.y)) : 0xFF000000u;
}

void MainModel::UpdatePictureDemand()
{
    // Every other reader (a snap, a processor's request, the recorder's movie and BMP, PNG and TIFF
    // stills) takes the frame through the device's frame lock, which makes the picture first.
    const bool onDemand = !previewAttached.load() && processorIndex == 0 && !everyPictureMade;
    pictureOnDemand = onDemand;
    GetCurrentDevice().SetPictureOnDemand(onDemand);
}

void MainModel::SampleStaleCursorPixel()
{
    if (cursorStale.exchange(false))
    {
        SampleCursorPixel(*GetCurrentDevice().LockFrame());
    }
}

void MainModel::OnDeviceFrame(Device& camera, const Image& frame, const Recorder::FrameInfo& info)
{
    ++capturedFrames;
    // Sampled when asked for while pictures are made on demand (sampling here would make every
    // frame's picture), and the profiles also while nobody draws them: only who asks for them pays
    // for the column through the frame.
    const bool onDemand = pictureOnDemand.load();
    const bool fillProfiles = !onDemand && profilesShown.load();
    if (!fillProfiles)
    {
        CriticalSection::AutoLock lock(profileSection);
        profilesStale = true;
    }
    if (onDemand)
    {
        cursorStale = true;
    }
    else
    {
        // Through the lock: a frame delivered just before the change may still wait for its picture.
        const auto picture = camera.LockFrame();
        if (fillProfiles)
        {
            FillProfiles(*picture);
        }
        SampleCursorPixel(*picture);
        cursorStale = false;
    }
    {
        CriticalSection::AutoLock lock(frameLock);
        {
            struct InsideProcess
            {
                InsideProcess() { insideProcess = true; }
                ~InsideProcess() { insideProcess = false; }
            } inside;
            CallProcessor("Process",
                          [](Vistel::Framework::IProcessor& processor) { return processor.Process(); });
        }
        // One copy of what the processor shows; the preview takes it when it paints.
        PublishProcessorImage();
    }
    NotifyPropertyChanged(MainModelProperty::Frame);
    NotifyPropertyChanged(MainModelProperty::CursorPixel);
    if (SaveTarget.load() != 0)
    {
        // The recorder makes the picture through the camera where it reads it.
        recorder.OnFrame(frame, info, camera.GetEncodedPayload(), FileFormat.load(), &camera);
    }
}

void MainModel::ForgetCaptureEndReason()
{
    CriticalSection::AutoLock lock(debugMessageSection);
    captureEndReason.reset();
}

void MainModel::ReleaseEndedCapture(const Device* source)
{
    if (IsCapturing())
    {
        return; // started again meanwhile
    }
    if (source != &GetCurrentDevice())
    {
        // The camera left the list between its stream's end and this report: the listing could
        // not tell that it was capturing, the report can.
        if (awaitedCamera && CameraWentAway())
        {
            awaitedCamera->capture = true;
        }
        return;
    }
    try
    {
        StopCapture();
    }
    catch (const Exception&)
    {
        // Stop releases everything even when the camera cannot be streamed off; that it could
        // not is no news after the report that ended the stream.
    }
    if (CameraWentAway())
    {
        AwaitCurrentCamera(true);
    }
}

void MainModel::OnDeviceException(const Exception& exception)
{
    {
        CriticalSection::AutoLock lock(debugMessageSection);
        debugMessage = exception.GetMessage() + Norvex::Core::GetFileName(exception.GetSourceFileName()) +
                       L"(" + std::to_wstring(exception.GetLineNumber()) + L")";
        lastException = exception;
    }
    NotifyPropertyChanged(MainModelProperty::DebugMessage);
}

void MainModel::SetMarkerPosition(Point position)
{
    auto& device = GetCurrentDevice();
    if (IsCapturing())
    {
        // The capture thread refills the profiles at the new marker with the next frame; waiting
        // for the frame lock here would stall the window for a whole frame's work.
        const auto& format = GetCurrentFrameFormat();
        if (position == markerPosition.load() || position.x < 0 || position.x >= format.width ||
            position.y < 0 || position.y >= format.height)
        {
            return;
        }
        markerPosition = position;
    }
    else
    {
        const auto frame = device.LockFrame();
        if (position == markerPosition.load() || !frame->Contains(position.x, position.y))
        {
            return;
        }
        markerPosition = position;
        FillProfiles(*frame);
    }
    NotifyPropertyChanged(MainModelProperty::MarkerPosition);
    NotifyPropertyChanged(MainModelProperty::Profile);
}

void MainModel::SetCursorPosition(Point position)
{
    const auto& format = GetCurrentFrameFormat();
    if (position == cursorPosition.load() || position.x < 0 || position.x >= format.width || position.y < 0 ||
        position.y >= format.height)
    {
        return;
    }
    cursorPosition = position;
    if (!IsCapturing())
    {
        // While streaming, the next frame samples the pixel at the new position.
        SampleCursorPixel(*GetCurrentDevice().LockFrame());
    }
    NotifyPropertyChanged(MainModelProperty::CursorPosition);
    NotifyPropertyChanged(MainModelProperty::CursorPixel);
}

Norvex::Core::Pixel<unsigned char> MainModel::GetCursorPixel()
{
    SampleStaleCursorPixel();
    const std::uint32_t value = cursorPixel.load(); // blue in the low byte, alpha in the high one
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

void MainModel::UpdateFocusInformation()
{
    focus = FocusInformation{};
    auto& cameraControl = GetCurrentDevice().GetCameraControl();
    if (cameraControl &&
        SUCCEEDED(cameraControl->GetRange(CameraControl::Focus, &focus.minimum, &focus.maximum, &focus.step,
                                          &focus.defaultValue, &focus.capabilityFlags)))
    {
        focus.available = true;
        std::int32_t value = 0;
        std::int32_t flags = 0;
        if (SUCCEEDED(cameraControl->Get(CameraControl::Focus, &value, &flags)))
        {
            focus.position = value;
            focus.isAuto = flags == CameraControl::Auto;
        }
    }
    else
    {
        focus = FocusInformation{};
    }
    NotifyPropertyChanged(MainModelProperty::FocusRange);
    NotifyPropertyChanged(MainModelProperty::IsFocusAuto);
    NotifyPropertyChanged(MainModelProperty::FocusPosition);
}

void MainModel::SetFocusAuto(bool value)
{
    auto& cameraControl = GetCurrentDevice().GetCameraControl();
    if (value == focus.isAuto || !focus.available || !cameraControl)
    {
        return;
    }
    if (SUCCEEDED(cameraControl->Set(CameraControl::Focus, focus.position,
                                     value ? CameraControl::Auto : CameraControl::Manual)))
    {
        focus.isAuto = value;
        NotifyPropertyChanged(MainModelProperty::IsFocusAuto);
    }
}

void MainModel::SetFocusPosition(std::int32_t value)
{
    value = std::min(std::max(value, focus.minimum), focus.maximum);
    auto& cameraControl = GetCurrentDevice().GetCameraControl();
    if (value == focus.position || !focus.available || !cameraControl)
    {
        return;
    }
    if (SUCCEEDED(cameraControl->Set(CameraControl::Focus, value,
                                     focus.isAuto ? CameraControl::Auto : CameraControl::Manual)))
    {
        focus.position = value;
        NotifyPropertyChanged(MainModelProperty::FocusPosition);
    }
}

Recorder::FrameInfo MainModel::CopyFrame(Image& image)
{
    const auto frame = GetCurrentDevice().LockFrame();
    if (!image.data || !frame->data)
    {
        return frame.Info();
    }
    const std::int32_t rows = std::min(frame->height, image.height);
    const std::size_t rowBytes = static_cast<std::size_t>(std::min(frame->width, image.width)) * 4;
    for (std::int32_t y = 0; y < rows; ++y)
    {
        std::memcpy(image.Row(y), frame->Row(y), rowBytes);
    }
    return frame.Info();
}

void MainModel::CopyProcessorImage(Image& image)
{
    // The device's frame lock keeps the capture thread out of OnDeviceFrame meanwhile.
    const auto frame = GetCurrentDevice().LockFrame();
    CriticalSection::AutoLock lock(frameLock);
    const Image* shown = GetShownImage();
    image = shown ? *shown : *frame;
}

void MainModel::SetPreviewInvalidator(std::function<void()> invalidator)
{
    // The next frame, processor change or processor request publishes for the new preview; until
    // then it paints its own empty picture.
    previewAttached = static_cast<bool>(invalidator);
    UpdatePictureDemand();
    CriticalSection::AutoLock lock(invalidatorSection);
    std::swap(previewInvalidator, invalidator);
}

void MainModel::InvalidatePreview() const
{
    // Called under the lock, so a window that clears its invalidator is never called afterwards;
    // an invalidator only posts, it never waits.
    CriticalSection::AutoLock lock(invalidatorSection);
    if (previewInvalidator)
    {
        previewInvalidator();
    }
}

void MainModel::StartRecording(const std::wstring& path)
{
    const auto& format = GetCurrentFrameFormat();
    recorder.Start(FileFormat.load(), path,
                   {format.width, format.height,
                    Recorder::RateToRecord(format.frameRate, GetCurrentDevice().GetMeasuredFrameRate()),
                    MovieBitRate, std::chrono::milliseconds(std::max(RecordingInterval, 0)),
                    IsTimestampFileEnabled, Device::KeepableFourcc(format)});
}

} // namespace VistelCapture
