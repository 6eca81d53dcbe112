#pragma once

#include "LatestImageMailbox.h"
#include "MainModelProperty.h"
#include "Plugin.h"
#include "ProcessorEntry.h"
#include "Recorder.h"

#include <Norvex/Core/ComPointer.h>
#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>
#include <Norvex/Core/VideoCapture/Device.h>
#include <Norvex/Core/VideoCapture/DeviceWatcher.h>
#include <Norvex/Mfc/BindableBase.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace VistelCapture
{

class HostServices;
class VistelCaptureApp;

// The application's state and operations: devices, formats, processors, view settings, marker,
// profiles, cursor, focus and saving. Every change is announced through BindableBase.
//
// Threads: everything runs on the user-interface thread except OnDeviceFrame and
// OnDeviceException, which run on the capture thread with the device's frameSection and
// callbackSection held. Lock order, never reversed: the device's locks, then frameLock; the
// leaf locks (profileSection, debugMessageSection, invalidatorSection, failureSection, the listener lock) are
// taken alone, never around another. The recorder's locks (Recorder.h) are taken on the capture
// thread after frameLock is released.
class MainModel final : public Norvex::Mfc::BindableBase
{
public:
    using Plugin = VistelCapture::Plugin;
    using ProcessorEntry = VistelCapture::ProcessorEntry;
    using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;
    using Device = Norvex::Core::VideoCapture::Device;
    using FrameFormat = Norvex::Core::VideoCapture::FrameFormat;

    struct Point
    {
        std::int32_t x = 0;
        std::int32_t y = 0;
        bool operator==(const Point&) const = default;
    };

    // Marker colour as 0x00BBGGRR.
    static constexpr std::uint32_t DefaultMarkerColor = 0x0000FF00;

    enum class ProcessorLoading
    {
        Always,
        // Only when the INI file names another processor than the built-in one: loading the
        // plug-ins, and all they link, is a good part of a short command's start-up.
        WhenStored,
    };

    // Lists the devices, loads the processors from applicationFolder and the settings from the
    // application's INI file. Without a camera the lists stay empty and GetAbsenceText says why.
    MainModel(std::int32_t captureApiFamily, bool skipErrorDevice, bool skipDuplicatedFrameFormat,
              const std::wstring& applicationFolder, VistelCaptureApp& application,
              ProcessorLoading processorLoading = ProcessorLoading::Always);
    // Saves the settings, finalises the processor, releases everything.
    ~MainModel() override;

    void OnListenerAdded(QObject* listener) override;
    // Frame, DebugMessage and CursorPixel, which the capture thread announces for every frame,
    // are merged: a listener has at most one of each on its way (BindableBase).
    void NotifyPropertyChanged(MainModelProperty property)
    {
        if (property == MainModelProperty::Frame || property == MainModelProperty::DebugMessage ||
            property == MainModelProperty::CursorPixel)
        {
            BindableBase::NotifyPropertyChangedOnce(static_cast<int>(property));
        }
        else
        {
            if (property == MainModelProperty::IsMarkerVisible ||
                property == MainModelProperty::IsProfileVisible)
            {
                profilesShown = IsMarkerVisible && IsProfileVisible;
            }
            BindableBase::NotifyPropertyChanged(static_cast<int>(property));
        }
    }
    using BindableBase::NotifyPropertyChanged;

    // Operations of the user-interface thread.
    // Choosing a camera ends the wait for one that went away (see UpdateDevices).
    void SelectDevice(std::int32_t index);
    // From now on follows cameras coming and going, through the back-end's watcher: each change
    // runs UpdateDevices on this thread.
    void WatchDevices();
    // Lists the devices again. Known cameras stay the same objects (by their persistent path),
    // the list is announced as DeviceList. The current camera that left ends its stream and its
    // recording (the file finished, a RecordingWarning given) and another one, or none, becomes current; when
    // it comes back, under whatever node, it is selected again with its format and, if it was
    // capturing when it left, capture starts again. Recording does not resume.
    void UpdateDevices();
    void SelectFrameFormat(std::int32_t index);
    void StartCapture();
    void StopCapture();
    void SelectProcessor(std::int32_t index);
    void SetMarkerPosition(Point position);
    void SetCursorPosition(Point position);
    void SetFocusAuto(bool value);
    void SetFocusPosition(std::int32_t value);
    void UpdateFocusInformation();
    // Returns the copied frame's information (time stamps, sequence number), for SaveFrame.
    Recorder::FrameInfo CopyFrame(Image& image);
    void StartRecording(const std::wstring& path);
    void StopRecording() { recorder.Stop(); }
    // Caps how many frames a recording of every frame saves (0: no cap); for scripted recordings.
    void SetRecordingFrameLimit(std::int64_t limit) noexcept { recorder.SetFrameLimit(limit); }
    // When set, the first frame that fails to save ends the saving of that recording (the file
    // keeps what was written; StopRecording finishes it); for scripted recordings, which cannot
    // do anything useful with a stream of identical errors.
    void SetRecordingEndsOnSaveError(bool value) noexcept { recorder.SetEndsOnSaveError(value); }
    // Frames of the running (or last) recording handed to the movie, or saved as still files.
    std::int64_t GetRecordedFrameCount() const noexcept { return recorder.GetRecordedFrameCount(); }
    // Elapsed time, frames written and frames dropped of the running (or last) recording.
    RecordingHealth::Status GetRecordingStatus() const noexcept { return recorder.GetStatus(); }
    // What the recorder has to tell the user (an empty recording, drops), announced as
    // RecordingWarning; oldest first, each given once.
    std::vector<std::wstring> TakeRecordingWarnings() { return recorder.TakeWarnings(); }
    // Frames the device delivered since the model was built, counted on the capture thread; the
    // frame rate is its change over time, whether or not a window painted each frame.
    std::int64_t GetCapturedFrameCount() const noexcept { return capturedFrames.load(); }

    // Movie formats append to the open movie; still formats write a file (a time-stamped one in
    // the save folder when path is empty). Returns the file written, empty for movies. `info` is
    // the frame's, from CopyFrame, for a snap into a recording.
    std::wstring SaveFrame(const Image& image, const std::wstring& path, const Recorder::FrameInfo& info = {})
    {
        return recorder.SaveFrame(image, path, FileFormat.load(), info);
    }

    // The plain settings: change them with SetSetting so the change is announced once.
    std::int32_t ViewRatio = 100;
    bool IsMarkerVisible = false;
    std::uint32_t MarkerColor = DefaultMarkerColor;
    bool IsProfileVisible = false;
    bool IsSidePaneVisible = false;
    std::int32_t ControlPanelPage = 0;
    bool IsStatusBarVisible = true;
    bool IsCursorInImage = false;
    // Read on the capture thread while a recording runs, hence atomic. FileFormat is an index of
    // FileFormatTable.
    std::atomic<std::int32_t> SaveTarget = 0;
    std::atomic<std::int32_t> FileFormat = 0;
    std::int32_t MovieBitRate = 5000;
    // Milliseconds between the frames a recording of every frame keeps (time-lapse); 0: all.
    std::int32_t RecordingInterval = 0;
    // A time-stamp file (FrameTimestampFile) with every recording; read when a recording starts.
    bool IsTimestampFileEnabled = true;

    // Stores value when it differs and announces property.
    template <class T> void SetSetting(T& member, T value, MainModelProperty property)
    {
        if (member != value)
        {
            member = value;
            NotifyPropertyChanged(property);
        }
    }
    template <class T> void SetSetting(std::atomic<T>& member, T value, MainModelProperty property)
    {
        if (member.exchange(value) != value)
        {
            NotifyPropertyChanged(property);
        }
    }
    // Clamped to 10..1000 first.
    void SetViewRatio(std::int32_t value)
    {
        SetSetting(ViewRatio, ClampViewRatio(value), MainModelProperty::ViewRatio);
    }
    static std::int32_t ClampViewRatio(std::int32_t value) noexcept;

    // Read access for windows and the command line.
    const std::vector<std::shared_ptr<Device>>& GetDevices() const noexcept { return devices; }
    // -1 while no device is listed.
    std::int32_t GetDeviceIndex() const noexcept { return deviceIndex; }
    // While no device is listed: a device without formats, whose Start raises.
    Device& GetCurrentDevice() const
    {
        return deviceIndex < 0 ? *noDevice : *devices.at(static_cast<std::size_t>(deviceIndex));
    }
    // Why no device is listed (no camera connected, or none this user may open), for the preview
    // area and the command line; empty while devices are listed.
    const std::wstring& GetAbsenceText() const noexcept { return absenceText; }
    const FrameFormat& GetCurrentFrameFormat() const;
    bool IsCapturing() const { return GetCurrentDevice().IsStarted(); }
    const std::vector<std::shared_ptr<ProcessorEntry>>& GetProcessorEntries() const noexcept
    {
        return processorEntries;
    }
    std::int32_t GetProcessorIndex() const noexcept { return processorIndex; }
    // The live processor, or null when there is none or it has failed.
    Vistel::Framework::IProcessor* GetCurrentProcessor() const;

    // A call into the current processor (from a window: its page, drawing, mouse): call(processor)
    // returns the processor's status. A failure is the processor's, never the program's: it is
    // reported (ReportProcessorFailure) and false returned. Nothing is called while no processor is
    // live or once the current one has failed.
    template <class Call> bool CallProcessor(const char* function, Call&& call)
    {
        const auto& entry = *processorEntries.at(static_cast<std::size_t>(processorIndex));
        if (!entry.GetProcessor() || currentProcessorFailed.load())
        {
            return false;
        }
        try
        {
            entry.Invoke(function, std::forward<Call>(call));
            return true;
        }
        catch (const ProcessorFailure& failure)
        {
            ReportProcessorFailure(failure);
            return false;
        }
    }
    // An exception that left the code of the current processor's plug-in by another way (an event
    // of its page), reported as a failure of that processor.
    void ReportProcessorException(const char* function, std::exception_ptr exception);
    // Any thread. When the current processor failed, no later call reaches it; the first failure's
    // message is kept and ProcessorFailed announced.
    void ReportProcessorFailure(const ProcessorFailure& failure);
    // User-interface thread, after ProcessorFailed: a current processor that failed is ended and
    // replaced by "なし", which is stored at once so the next start works. Returns the message for
    // the user, naming the processor and its plug-in file, or nothing when no failure is pending.
    std::optional<std::wstring> RecoverFromProcessorFailure();
    // The name the settings keep for the processor: "なし" in place of one that failed.
    const std::wstring& GetProcessorNameToStore() const;
    Point GetMarkerPosition() const noexcept { return markerPosition.load(); }
    Point GetCursorPosition() const noexcept { return cursorPosition.load(); }
    bool IsRecording() const noexcept { return recorder.IsRecording(); }
    std::wstring GetSaveFolder() const { return recorder.GetSaveFolder(); }
    const std::wstring& GetApplicationFolder() const noexcept { return applicationFolder; }
    VistelCaptureApp& GetApplication() const noexcept { return application; }

    struct FocusInformation
    {
        bool available = false;
        std::int32_t minimum = 0;
        std::int32_t maximum = 0;
        std::int32_t step = 0;
        std::int32_t defaultValue = 0;
        std::int32_t capabilityFlags = 0;
        bool isAuto = false;
        std::int32_t position = 0;
    };
    FocusInformation GetFocusInformation() const noexcept { return focus; }

    // Copies taken under their locks, safe against the capture thread.
    std::wstring GetDebugMessage() const;
    // The exception behind the latest DebugMessage, if any.
    std::optional<Norvex::Core::Exception> GetLastException() const;
    // Why the stream ended by itself (the camera failed or went away), from that report until
    // capture starts again. The model then releases what is left of the stream on the
    // user-interface thread, as StopCapture does.
    std::optional<Norvex::Core::Exception> GetCaptureEndReason() const;
    // The profiles through the marker on the latest frame. While the window shows them the capture
    // thread fills them with each frame; otherwise they are worked out here, from the device's frame.
    void GetProfiles(std::vector<std::uint32_t>& horizontal, std::vector<std::uint32_t>& vertical);
    // The pixel of the latest frame under the cursor (opaque black outside the frame), as the
    // capture thread sampled it: reading it never waits for a frame while a preview is attached.
    // (Without one, frames are not sampled and the first read after a frame samples it.)
    Norvex::Core::Pixel<unsigned char> GetCursorPixel();
    // The image the current processor shows, copied while no frame is being delivered.
    void CopyProcessorImage(Image& image);
    // The newest image the processor showed, as the capture thread published it after Process:
    // swapped into buffer when newer than the last one taken (the preview paints from it). One
    // consumer only.
    bool TakeShownImage(LatestImageMailbox::Buffer& buffer) { return shownImage.Take(buffer); }
    // The current device's frame with its frame lock held, for a shown image that is the frame.
    Device::LockedFrame LockCurrentFrame() const { return GetCurrentDevice().LockFrame(); }
    // A processor's request to show its image again: publishes it and announces Frame. From Process
    // on the capture thread only the announcement is needed, the frame's own publication follows.
    void NotifyFrameChanged();

    // How the preview is repainted on a processor's request (any thread); the preview sets it.
    // The invalidator runs under a leaf lock and must only post. Setting one attaches the preview:
    // only then are shown images published for TakeShownImage.
    void SetPreviewInvalidator(std::function<void()> invalidator);
    // While set, every frame's picture is made as it comes, as with a preview attached, though
    // nothing may read it (the command line's `stream`, which measures the frame path).
    void SetEveryPictureMade(bool value)
    {
        everyPictureMade = value;
        UpdatePictureDemand();
    }
    void InvalidatePreview() const;

private:
    // `camera` is the device whose frame callback this is, `frame` its frame.
    void OnDeviceFrame(Device& camera, const Image& frame, const Recorder::FrameInfo& info);
    // Lets the current device leave each frame's picture to be made when something reads it while
    // nothing reads every frame: no preview attached and the processor "なし" (user-interface
    // thread, after either changes and before capture starts).
    void UpdatePictureDemand();
    // The cursor pixel of the latest frame, when frames went by unsampled.
    void SampleStaleCursorPixel();
    void OnDeviceException(const Norvex::Core::Exception& exception);
    void ForgetCaptureEndReason();
    // The exception callback of a started device (capture thread).
    void OnStreamException(Device* source, const Norvex::Core::Exception& exception);
    void ReleaseEndedCapture(const Device* source);
    // The stream that ended as run `run` of StopCapture ends because a capture card's signal
    // changed its size: capture goes on in the format of the new size, unless it was stopped or
    // another camera chosen meanwhile.
    void FollowResizedSignal(const Device* source, std::uint64_t run);
    // After a failure with signalResizedStatus: selects the current device's format of the
    // signal's size (a movie being recorded ends first, since its size cannot change); false
    // when the device names none.
    bool SelectSignalFormat();
    // A stream that ended by itself or could not go on: the windows show capture as stopped, and why.
    void EndCaptureBecause(const Norvex::Core::Exception& reason);
    // The stream ended by itself because its camera is gone.
    bool CameraWentAway() const;
    // Makes `list` the device list and its `index` the current device (-1: none), with what a
    // change of the current device brings; with goOnCapturing capture goes on on the new one if it
    // ran.
    void ReplaceDevices(std::vector<std::shared_ptr<Device>> list, std::int32_t index, bool goOnCapturing);
    void SetAbsenceText();
    // The current camera is gone: its recording is finished and the user told; it is awaited
    // back, to capture again if `capture`.
    void AwaitCurrentCamera(bool capture);
    void ResumeAwaitedCamera();
    void ResizeProfiles(const FrameFormat& format);
    void FillProfiles(const Image& frame);
    void ResetCursorAndScaleMarker(std::int32_t oldWidth, std::int32_t oldHeight);
    void NotifyProcessor(std::int32_t code);
    void ResetProcessor();
    void PublishProcessorImage();
    const Image* GetShownImage();
    void FallBackToBuiltInProcessor();
    void SampleCursorPixel(const Image& frame);

    const std::int32_t captureApiFamily;
    const bool skipErrorDevice;
    const bool skipDuplicatedFrameFormat;
    std::shared_ptr<void> gstreamer; // keeps the GStreamer library up for family 1
    std::vector<std::shared_ptr<Device>> devices;
    std::int32_t deviceIndex = -1;
    std::shared_ptr<Device> noDevice; // current while no device is listed
    // The last current device that left the list, kept alive: a plug-in may still hold its frame.
    std::shared_ptr<Device> departedDevice;
    std::wstring absenceText;
    // A current camera that went away, by its persistent path, with its format's name and whether
    // it was capturing.
    struct AwaitedCamera
    {
        std::wstring path;
        std::wstring formatName;
        bool capture = false;
    };
    std::optional<AwaitedCamera> awaitedCamera;
    // Counts StopCapture calls (user-interface thread), each after its stream has ended; read by
    // the exception callback, which runs before that.
    std::atomic<std::uint64_t> stoppedRuns{0};

    mutable Norvex::Core::CriticalSection debugMessageSection; // leaf lock
    std::wstring debugMessage;                                 // guarded by debugMessageSection
    std::optional<Norvex::Core::Exception> lastException;      // guarded by debugMessageSection
    std::optional<Norvex::Core::Exception> captureEndReason;   // guarded by debugMessageSection

    std::wstring applicationFolder;
    VistelCaptureApp& application;
    Norvex::Core::ComPointer<HostServices> hostServices;

    mutable Norvex::Core::CriticalSection frameLock; // serialises processor calls with processor changes
    std::vector<std::shared_ptr<ProcessorEntry>> processorEntries;
    std::int32_t processorIndex = 0; // written under frameLock
    // The current processor failed: nothing calls it any more. Set by any thread, cleared on the
    // user-interface thread under frameLock when another processor is chosen.
    std::atomic<bool> currentProcessorFailed = false;
    mutable Norvex::Core::CriticalSection failureSection; // leaf lock
    std::optional<std::wstring> pendingFailure;           // guarded by failureSection

    std::atomic<Point> markerPosition{Point{}};           // read by the capture thread
    mutable Norvex::Core::CriticalSection profileSection; // leaf lock
    std::vector<std::uint32_t> horizontalProfile;         // guarded by profileSection
    std::vector<std::uint32_t> verticalProfile;           // guarded by profileSection
    // Frames came since the profiles were last filled (they were not shown): GetProfiles fills them.
    bool profilesStale = false; // guarded by profileSection
    // The marker and the profiles are both on: the capture thread fills the profiles with every
    // frame. Written by the user-interface thread.
    std::atomic<bool> profilesShown = false;

    // The images the processor shows, published under frameLock (one producer at a time) while a
    // preview is attached.
    LatestImageMailbox shownImage;
    std::atomic<bool> previewAttached = false; // written by the window thread

    FocusInformation focus;
    std::atomic<Point> cursorPosition{Point{}};           // read by the capture thread
    std::atomic<std::uint32_t> cursorPixel = 0xFF000000u; // written where the frame is read
    // Set by UpdatePictureDemand: frames' pictures are made on demand, so the capture thread
    // leaves the profiles and the cursor pixel unsampled (profilesStale, cursorStale); their
    // getters sample the latest frame then.
    std::atomic<bool> pictureOnDemand = false;
    bool everyPictureMade = false; // user-interface thread
    std::atomic<bool> cursorStale = false;
    std::atomic<std::int64_t> capturedFrames = 0;

    mutable Norvex::Core::CriticalSection invalidatorSection;
    std::function<void()> previewInvalidator; // guarded by invalidatorSection

    // Destroyed first: its callbacks reach the members above.
    Recorder recorder;
    // Receives work the capture thread hands to the user-interface thread; destroyed before the
    // members above, so nothing queued for it runs on a model being destroyed.
    QObject userInterfaceThread;
    // Set by the watcher's thread until UpdateDevices runs, so a burst of events lists once.
    std::atomic<bool> devicesChanged = false;
    // Destroyed first: its thread posts to userInterfaceThread.
    std::unique_ptr<Norvex::Core::VideoCapture::DeviceWatcher> deviceWatcher;
};

} // namespace VistelCapture
