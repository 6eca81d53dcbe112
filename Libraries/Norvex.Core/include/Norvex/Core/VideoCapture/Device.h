#pragma once

#include <Norvex/Core/ComPointer.h>
#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>
#include <Norvex/Core/VideoCapture/CameraControl.h>
#include <Norvex/Core/VideoCapture/EncodedPayload.h>
#include <Norvex/Core/VideoCapture/FrameFormat.h>
#include <Norvex/Core/VideoCapture/FrameInfo.h>
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Norvex::Core::VideoCapture
{

struct FrameSource;

// A capture card's stream ended, or would not start, because the signal at its input has another
// size than the selected format, and the device lists the same layout at the new size
// (Device::GetSignalFormatIndex).
inline constexpr HRESULT signalResizedStatus = MakeStatus(0x80040301u);

// A capture device of either back-end, as the model sees it. Plug-ins never see this class: they
// get the frame's image through IHostServices, and this header is not installed.
//
// Threads: the user-interface thread constructs, prepares, starts, stops and destroys; the
// back-end's capture thread publishes the frame and calls the callbacks (DeliverFrame). Lock
// order, never reversed: a back-end's own streaming lock, then frameSection, then callbackSection.
//
// frameSection is held by the capture thread only to publish a picture (a swap of buffers) and
// while the frame callback runs: decoding and conversion happen before it, into a picture of the
// back-end's own, so a reader of the frame on another thread waits for no conversion. The one
// exception is a picture left to be made on demand (SetPictureOnDemand): its first reader makes it
// under frameSection.
class Device
{
public:
    using FrameCallback = std::function<void(Device*, const Image<Pixel<unsigned char>>&)>;
    using ExceptionCallback = std::function<void(Device*, const Exception&)>;

    std::wstring friendlyName;
    std::wstring devicePath;                                // identifies the physical device across runs
    std::vector<std::shared_ptr<FrameFormat>> frameFormats; // fixed after construction
    std::int32_t frameFormatIndex = 0;

    // The latest frame with the frame lock held for as long as this object lives: the frame's
    // pixels are swapped with the back-end's next picture under that lock, so `data` is valid
    // only meanwhile. The lock is recursive: the frame callback, which runs under it, may take it
    // again. Its address stays the same for the device's life. A picture left to be made on demand
    // is made here, on the reader's thread.
    class LockedFrame
    {
    public:
        explicit LockedFrame(const Device& device)
            : lock(device.frameSection), frame(device.frame), info(device.frameInfo)
        {
            device.SizeFrame();
            device.MakePendingPicture();
        }
        const Image<Pixel<unsigned char>>& operator*() const noexcept { return frame; }
        const Image<Pixel<unsigned char>>* operator->() const noexcept { return &frame; }
        // The frame's time stamps, sequence number and the drops before it.
        const FrameInfo& Info() const noexcept { return info; }

    private:
        CriticalSection::AutoLock lock;
        const Image<Pixel<unsigned char>>& frame;
        const FrameInfo& info;
    };
    LockedFrame LockFrame() const { return LockedFrame(*this); }
    // The latest frame's time stamps, sequence number and drops, without making its picture.
    FrameInfo GetFrameInfo() const
    {
        CriticalSection::AutoLock lock(frameSection);
        return frameInfo;
    }

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
    // The pixels are made only when the frame is first looked at or published: a camera that is
    // only listed holds no frame-sized picture.
    virtual void Prepare();
    virtual void Unprepare();
    // Frames the driver dropped since the last Start; 0 from a back-end that cannot tell.
    virtual std::uint64_t GetDroppedFrameCount() const;
    // The rate the camera really delivers at, measured while streaming (a camera may run slower
    // than its format says, in low light, or name no rate at all); 0 when unknown.
    virtual double GetMeasuredFrameRate() const;
    // After the stream ended or failed to start with signalResizedStatus: the listed format of the
    // same layout at the signal's new size. -1 otherwise, and from a back-end without such inputs.
    virtual std::int32_t GetSignalFormatIndex() const;

    // Whether `path` names this device: its device path, or another path to the same file (a
    // V4L2 node and the udev links to it name one camera).
    bool IsNamedBy(const std::wstring& path) const;

    // While set, a back-end hands the camera's own JPEG pictures or H.264 stream along with each
    // frame of such a format (GetEncodedPayload), for a recording that keeps them as they are;
    // while clear (the default) nothing is copied. Any thread.
    void SetEncodedPayloadWanted(bool wanted);
    // The camera's compressed data that came with the frame being delivered; read it only in the
    // frame callback, which runs under the frame lock. Empty while not wanted, or for a format the
    // camera does not compress.
    const EncodedPayload& GetEncodedPayload() const noexcept { return encoded; }
    // "MJPG" or "H264" (MakeFourcc) for a format whose frames a recording can keep as they are; 0
    // for any other.
    static std::uint32_t KeepableFourcc(const FrameFormat& format) noexcept;

    // While set, a back-end that converts the camera's Y'CbCr writes JPEG's planes of each frame
    // in the same pass over the camera's picture (while it is in the caches), for TakeJpegPlanes.
    // Clear by default. Any thread.
    void SetJpegPlanesWanted(bool wanted);
    // JPEG's planes of the frame being delivered, laid out as JpegPlaneLayout says, made straight
    // from the camera's own Y'CbCr: no round trip through 8-bit RGB, which clips and rounds each
    // pixel twice. Swapped into `planes` when the back-end wrote them with the frame (`planes`'
    // old buffer is written next time), else converted into it. Only in the frame callback; false,
    // `planes` unchanged, when the back-end has no Y'CbCr picture for this frame (an RGB or grey
    // camera, a decoded one).
    bool TakeJpegPlanes(std::vector<unsigned char>& planes);

    // While set, a back-end that can leaves a frame's picture unconverted until something reads it
    // through LockFrame, and keeps the camera's picture until then: a frame nobody reads costs no
    // conversion (the command line saving JPEG stills from the camera's own Y'CbCr, with nothing
    // shown). The frame callback's image is then not made by itself: a callback reads the pixels
    // through LockFrame. Clear by default; the frame callback may see either kind of frame just
    // after a change. Any thread.
    void SetPictureOnDemand(bool onDemand);

    // The previous function is destroyed after the lock is released.
    void SetFrameCallback(FrameCallback callback);
    void SetExceptionCallback(ExceptionCallback callback);
    void NotifyException(const Exception& exception);

protected:
    Device() = default;

    // For back-ends, on the capture thread: under frameSection, `picture` (the size of the frame,
    // converted without the lock) becomes the frame and gets the old pixels to be written next
    // time (a swap of buffers, no copy); then the frame callback runs, still under the lock.
    // A failure of either is reported through the exception callback as NotifyCurrentException
    // does, with sourceFile and line; false when the picture was not published. `info` goes with
    // the picture, completed with the wall-clock time, the drop count and, when the back-end has
    // no time stamp, the arrival time.
    // `source`, when given, is the camera's own picture `picture` was converted from, readable
    // until DeliverFrame returns (TakeJpegPlanes); with `jpegPlanesWritten` the back-end wrote the
    // picture's JPEG planes into NextJpegPlanes too.
    bool DeliverFrame(Image<Pixel<unsigned char>>& picture, const wchar_t* sourceFile, int line,
                      FrameInfo info = {}, const FrameSource* source = nullptr,
                      bool jpegPlanesWritten = false) noexcept;
    // For back-ends, on the capture thread: whether a frame's picture may be left to be made on
    // demand, and delivering such a frame. `source` and what it points to (the camera's picture,
    // the converter) must stay unchanged until the back-end has called LetGoOfSource with it; the
    // picture is then made from it by the frame's first reader, or by LetGoOfSource.
    bool IsPictureOnDemand() const noexcept { return pictureOnDemand.load(std::memory_order_relaxed); }
    bool DeliverFrameOnDemand(const FrameSource& source, const wchar_t* sourceFile, int line,
                              FrameInfo info = {}) noexcept;
    // For back-ends, before `source` of an on-demand frame changes or goes (the next frame's
    // delivery, a stop, a new converter): makes the frame's picture now if it still waits for it,
    // so the frame stays the one delivered. Nothing when the frame no longer refers to `source`.
    void LetGoOfSource(const FrameSource& source) noexcept;
    // For back-ends, on the capture thread: whether JPEG's planes are wanted with the frames, and
    // the capture thread's own buffer for those of the next frame, sized for `picture`.
    bool IsJpegPlanesWanted() const noexcept { return jpegWanted.load(std::memory_order_relaxed); }
    std::vector<unsigned char>& NextJpegPlanes(const Image<Pixel<unsigned char>>& picture);
    // For back-ends, in Start before the capture thread runs: gives `picture`, the capture
    // thread's own, the size of the frame (which Prepare set). Takes frameSection.
    void SizeLikeFrame(Image<Pixel<unsigned char>>& picture);
    // For back-ends, inside a catch block on the capture thread: reports the exception in flight,
    // turning anything but an Exception into E_UNEXPECTED raised by "OnFrame" in sourceFile.
    void NotifyCurrentException(const wchar_t* sourceFile, int line) noexcept;
    // For back-ends, on a streaming thread, before the DeliverFrame of the frame decoded from it:
    // whether the camera's compressed data is wanted now, and keeping one unit of it. Units add up
    // until a frame goes out, so none is lost to a decoder that holds pictures back or a frame the
    // preview had no time for.
    bool IsEncodedPayloadWanted() const noexcept
    {
        return encodedFourcc != 0 && encodedWanted.load(std::memory_order_relaxed);
    }
    void KeepEncodedPacket(const unsigned char* data, std::size_t size, std::int64_t time) noexcept;

private:
    // Called with frameSection held: gives `frame` the prepared size (black) unless it has it.
    void SizeFrame() const;
    // Both deliveries: with `picture`, it becomes the frame; without, `pending` is the frame's
    // source to make the picture of on demand.
    bool Deliver(Image<Pixel<unsigned char>>* picture, const FrameSource* pending, const wchar_t* sourceFile,
                 int line, FrameInfo info, const FrameSource* source, bool jpegPlanesWritten) noexcept;
    // Called with frameSection held: the frame's picture from pendingSource, if it waits for it.
    void MakePendingPicture() const noexcept;
    // Called with frameSection held.
    void PublishFrame(Image<Pixel<unsigned char>>& picture);
    void InvokeFrameCallback();
    // Called with frameSection held: what was kept since the last frame goes with this one.
    void TakeEncodedPayload();

    mutable CriticalSection frameSection;
    mutable Image<Pixel<unsigned char>> frame; // guarded by frameSection; sized by SizeFrame
    std::int32_t preparedWidth = 0;            // guarded by frameSection: the prepared format's size
    std::int32_t preparedHeight = 0;           // guarded by frameSection
    // Guarded by frameSection: the source `frame`'s picture is still to be made of (on demand).
    mutable const FrameSource* pendingSource = nullptr;
    std::atomic<bool> pictureOnDemand = false;
    FrameInfo frameInfo; // guarded by frameSection
    CriticalSection callbackSection;
    FrameCallback frameCallback;         // guarded by callbackSection
    ExceptionCallback exceptionCallback; // guarded by callbackSection
    std::atomic<bool> encodedWanted = false;
    std::uint32_t encodedFourcc = 0;     // KeepableFourcc of the prepared format; set while stopped
    CriticalSection pendingSection;      // taken alone, or inside frameSection
    EncodedPayload pending;              // guarded by pendingSection: kept since the last frame
    EncodedPayload encoded;              // guarded by frameSection: what came with `frame`
    const FrameSource* source = nullptr; // guarded by frameSection: set while `frame` is delivered
    std::atomic<bool> jpegWanted = false;
    std::vector<unsigned char> jpegPlanes; // the capture thread's
    bool jpegPlanesReady = false;          // guarded by frameSection: jpegPlanes hold `frame`'s
};

} // namespace Norvex::Core::VideoCapture
