#pragma once

#include <Norvex/Core/ComPointer.h>
#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>
#include <Norvex/Core/VideoCapture/CameraControl.h>
#include <Norvex/Core/VideoCapture/FrameFormat.h>
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Norvex::Core::VideoCapture
{

// A capture device of either back-end. Field order and slot order are seen by plug-ins.
//
// Threads: the user-interface thread constructs, prepares, starts, stops and destroys; the
// back-end's capture thread writes `frame` and calls the callbacks. Lock order, never reversed:
// a back-end's own streaming lock, then frameSection, then callbackSection.
//
// frameSection is held by the capture thread only to publish a picture (a swap of buffers) and
// while the frame callback runs: decoding and conversion happen before it, into a picture of the
// back-end's own, so a reader of `frame` on another thread waits for no conversion.
class Device
{
public:
    using FrameCallback = std::function<void(Device*, const Image<Pixel<unsigned char>>&)>;
    using ExceptionCallback = std::function<void(Device*, const Exception&)>;

    std::wstring friendlyName;
    std::wstring devicePath;                                // identifies the physical device across runs
    std::vector<std::shared_ptr<FrameFormat>> frameFormats; // fixed after construction
    std::int32_t frameFormatIndex = 0;
    CriticalSection frameSection;
    // Guarded by frameSection; its pixels are swapped with the back-end's next picture under it,
    // so `frame.data` is valid only while the lock is held.
    Image<Pixel<unsigned char>> frame;
    CriticalSection callbackSection;
    FrameCallback frameCallback;         // guarded by callbackSection
    ExceptionCallback exceptionCallback; // guarded by callbackSection

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Back-ends stop and unprepare first.
    virtual ~Device() = default;
    virtual bool IsStarted() const = 0;
    // Streams the selected, prepared format; nothing when started already.
    virtual void Start() = 0;
    // Back to prepared; nothing when not started. No frame callback runs after it returns.
    virtual void Stop() = 0;
    virtual ComPointer<CameraControl>& GetCameraControl() = 0;
    virtual ComPointer<VideoProcAmp>& GetVideoProcAmp() = 0;
    // Sizes `frame` for the selected format; overrides do their own work first, then call this.
    virtual void Prepare();
    virtual void Unprepare();
    // Frames the driver dropped since the last Start; 0 from a back-end that cannot tell.
    virtual std::uint64_t GetDroppedFrameCount() const;

    // The previous function is destroyed after the lock is released.
    void SetFrameCallback(FrameCallback callback);
    void SetExceptionCallback(ExceptionCallback callback);
    void NotifyException(const Exception& exception);

protected:
    Device() = default;

    // For back-ends: call with frameSection held, after `frame` has been written.
    void InvokeFrameCallback();
    // For back-ends: call with frameSection held. `picture` (the size of `frame`, converted on
    // the capture thread without the lock) becomes `frame`, and `picture` gets the old pixels to
    // be written next time: a swap of buffers, no copy.
    void PublishFrame(Image<Pixel<unsigned char>>& picture);
    // For back-ends, in Start before the capture thread runs: gives `picture`, the capture
    // thread's own, the size of `frame` (which Prepare set). Takes frameSection.
    void SizeLikeFrame(Image<Pixel<unsigned char>>& picture);
    // For back-ends, inside a catch block on the capture thread: reports the exception in flight,
    // turning anything but an Exception into E_UNEXPECTED raised by "OnFrame" in sourceFile.
    void NotifyCurrentException(const wchar_t* sourceFile, int line) noexcept;
};

} // namespace Norvex::Core::VideoCapture
