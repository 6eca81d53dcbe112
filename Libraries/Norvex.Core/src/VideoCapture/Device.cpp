#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VideoCapture/Device.h>
#include <Norvex/Core/VideoCapture/JpegPlaneLayout.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include "VideoCapture/FrameConverter.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace Norvex::Core::VideoCapture
{
namespace
{

constexpr std::uint32_t mjpg = MakeFourcc('M', 'J', 'P', 'G');
constexpr std::uint32_t h264 = MakeFourcc('H', '2', '6', '4');
// Units kept while no frame goes out (a decoder that gives no picture): about ten seconds; beyond
// that the oldest are dropped rather than memory run out.
constexpr std::size_t maximumPendingPackets = 300;

} // namespace

void Device::Prepare()
{
    CriticalSection::AutoLock lock(frameSection);
    if (frameFormatIndex < 0 || static_cast<std::size_t>(frameFormatIndex) >= frameFormats.size())
    {
        ThrowUnexpected("Prepare", NORVEX_SOURCE_FILE, __LINE__);
    }
    const auto& format = *frameFormats[static_cast<std::size_t>(frameFormatIndex)];
    encodedFourcc = KeepableFourcc(format);
    preparedWidth = std::max(format.width, 0);
    preparedHeight = std::max(format.height, 0);
    // The same size keeps the last picture, so a format switch does not flash black; another size
    // gives the old pixels back now, and SizeFrame makes the new ones when they are needed.
    if (format.width != frame.width || format.height != frame.height)
    {
        // A source of the old size is never converted into the new picture.
        pendingSource = nullptr;
        frame = {};
    }
}

void Device::SizeFrame() const
{
    if (frame.width != preparedWidth || frame.height != preparedHeight)
    {
        frame.Resize(preparedWidth, preparedHeight);
    }
}

void Device::Unprepare() {}

std::uint64_t Device::GetDroppedFrameCount() const
{
    return 0;
}

double Device::GetMeasuredFrameRate() const
{
    return 0.0;
}

std::int32_t Device::GetSignalFormatIndex() const
{
    return -1;
}

bool Device::IsNamedBy(const std::wstring& path) const
{
    if (path.empty() || devicePath.empty())
    {
        return false;
    }
    if (path == devicePath)
    {
        return true;
    }
    std::error_code error;
    const auto named = std::filesystem::canonical(ToUtf8(path), error);
    if (error)
    {
        return false;
    }
    const auto own = std::filesystem::canonical(ToUtf8(devicePath), error);
    return !error && named == own;
}

std::uint32_t Device::KeepableFourcc(const FrameFormat& format) noexcept
{
    const GUID& subtype = format.subtype;
    return subtype == MakeVideoSubtype(mjpg) || subtype == MakeVideoSubtype(h264) ? subtype.Data1 : 0;
}

void Device::SetEncodedPayloadWanted(bool wanted)
{
    CriticalSection::AutoLock lock(pendingSection);
    encodedWanted = wanted;
    pending.packets.clear();
}

void Device::KeepEncodedPacket(const unsigned char* data, std::size_t size, std::int64_t time) noexcept
{
    CriticalSection::AutoLock lock(pendingSection);
    if (!encodedWanted.load(std::memory_order_relaxed))
    {
        return;
    }
    if (pending.packets.size() >= maximumPendingPackets)
    {
        pending.packets.erase(pending.packets.begin());
    }
    try
    {
        pending.packets.push_back({std::vector<unsigned char>(data, data + size), time});
    }
    catch (...)
    {
        // Out of memory: the recording misses this unit, the preview goes on.
    }
}

void Device::TakeEncodedPayload()
{
    if (encoded.packets.empty() && !encodedWanted.load(std::memory_order_relaxed))
    {
        return;
    }
    CriticalSection::AutoLock lock(pendingSection);
    encoded.packets.clear();
    std::swap(encoded.packets, pending.packets);
    encoded.fourcc = encodedWanted.load(std::memory_order_relaxed) ? encodedFourcc : 0;
}

void Device::SetFrameCallback(FrameCallback callback)
{
    {
        CriticalSection::AutoLock lock(callbackSection);
        std::swap(frameCallback, callback);
    }
    // `callback` now holds the previous function and dies here, outside the lock.
}

void Device::SetExceptionCallback(ExceptionCallback callback)
{
    {
        CriticalSection::AutoLock lock(callbackSection);
        std::swap(exceptionCallback, callback);
    }
}

void Device::NotifyException(const Exception& exception)
{
    CriticalSection::AutoLock lock(callbackSection);
    if (exceptionCallback)
    {
        exceptionCallback(this, exception);
    }
}

void Device::InvokeFrameCallback()
{
    CriticalSection::AutoLock lock(callbackSection);
    if (frameCallback)
    {
        frameCallback(this, frame);
    }
}

bool Device::DeliverFrame(Image<Pixel<unsigned char>>& picture, const wchar_t* sourceFile, int line,
                          FrameInfo info, const FrameSource* frameSource, bool jpegPlanesWritten) noexcept
{
    return Deliver(&picture, nullptr, sourceFile, line, info, frameSource, jpegPlanesWritten);
}

bool Device::DeliverFrameOnDemand(const FrameSource& frameSource, const wchar_t* sourceFile, int line,
                                  FrameInfo info) noexcept
{
    return Deliver(nullptr, &frameSource, sourceFile, line, info, &frameSource, false);
}

bool Device::Deliver(Image<Pixel<unsigned char>>* picture, const FrameSource* pending,
                     const wchar_t* sourceFile, int line, FrameInfo info, const FrameSource* frameSource,
                     bool jpegPlanesWritten) noexcept
{
    const auto arrival = std::chrono::steady_clock::now();
    const auto wallArrival = std::chrono::system_clock::now();
    if (info.captureTime == std::chrono::steady_clock::time_point{})
    {
        info.captureTime = arrival;
        info.fromDriver = false;
    }
    // A stamp from the future (a driver's clock of its own) says nothing of the wall clock.
    const auto sinceCapture =
        std::max(arrival - info.captureTime, std::chrono::steady_clock::duration::zero());
    info.wallClock =
        wallArrival - std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceCapture);
    info.droppedFrames = GetDroppedFrameCount();

    CriticalSection::AutoLock lock(frameSection);
    try
    {
        if (picture)
        {
            PublishFrame(*picture);
        }
        else if (pending->converter == nullptr)
        {
            ThrowUnexpected("OnFrame", NORVEX_SOURCE_FILE, __LINE__);
        }
        // The frame's picture is the one published, or the pending source's: an older pending
        // source is no longer read.
        pendingSource = pending;
        frameInfo = info;
        TakeEncodedPayload();
    }
    catch (...)
    {
        NotifyCurrentException(sourceFile, line);
        return false;
    }
    source = frameSource;
    jpegPlanesReady = jpegPlanesWritten;
    struct ForgetSource
    {
        Device& device;
        ~ForgetSource()
        {
            device.source = nullptr;
            device.jpegPlanesReady = false;
        }
    } forget{*this};
    try
    {
        InvokeFrameCallback();
    }
    catch (...)
    {
        NotifyCurrentException(sourceFile, line);
    }
    return true;
}

void Device::SetPictureOnDemand(bool onDemand)
{
    pictureOnDemand = onDemand;
}

void Device::MakePendingPicture() const noexcept
{
    if (!pendingSource)
    {
        return;
    }
    const FrameSource& pending = *std::exchange(pendingSource, nullptr);
    try
    {
        SizeFrame();
        if (frame.data && frame.data == frame.buffer.data())
        {
            pending.converter->Convert(pending.planes, reinterpret_cast<std::uint8_t*>(frame.data),
                                       frame.stride);
        }
    }
    catch (...)
    {
        // The frame keeps its older picture; the failure is reported as a conversion's on the
        // capture thread would be.
        const_cast<Device*>(this)->NotifyCurrentException(NORVEX_SOURCE_FILE, __LINE__);
    }
}

void Device::LetGoOfSource(const FrameSource& gone) noexcept
{
    CriticalSection::AutoLock lock(frameSection);
    if (pendingSource == &gone)
    {
        MakePendingPicture();
    }
}

void Device::SetJpegPlanesWanted(bool wanted)
{
    jpegWanted = wanted;
}

std::vector<unsigned char>& Device::NextJpegPlanes(const Image<Pixel<unsigned char>>& picture)
{
    jpegPlanes.resize(JpegPlaneLayout(picture.width, picture.height).Size());
    return jpegPlanes;
}

bool Device::TakeJpegPlanes(std::vector<unsigned char>& planes)
{
    CriticalSection::AutoLock lock(frameSection);
    if (jpegPlanesReady)
    {
        // The frame's planes go out whole; the caller's buffer, as large, takes the next frame's.
        std::swap(planes, jpegPlanes);
        jpegPlanesReady = false;
        return true;
    }
    if (!source || !source->converter || !source->converter->HasJpegPath())
    {
        return false;
    }
    const JpegPlaneLayout layout(frame.width, frame.height);
    planes.resize(layout.Size());
    source->converter->ConvertToJpegPlanes(source->planes, planes.data());
    return true;
}

void Device::PublishFrame(Image<Pixel<unsigned char>>& picture)
{
    SizeFrame();
    if (picture.width != frame.width || picture.height != frame.height || picture.buffer.empty() ||
        picture.data != picture.buffer.data() || frame.buffer.empty() || frame.data != frame.buffer.data())
    {
        ThrowUnexpected("OnFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    std::swap(frame.buffer, picture.buffer);
    frame.data = frame.buffer.data();
    picture.data = picture.buffer.data();
}

void Device::SizeLikeFrame(Image<Pixel<unsigned char>>& picture)
{
    CriticalSection::AutoLock lock(frameSection);
    if (picture.width != preparedWidth || picture.height != preparedHeight)
    {
        picture.Resize(preparedWidth, preparedHeight);
    }
}

void Device::NotifyCurrentException(const wchar_t* sourceFile, int line) noexcept
{
    try
    {
        try
        {
            throw;
        }
        catch (const Exception& exception)
        {
            NotifyException(exception);
        }
        catch (...)
        {
            NotifyException(Exception(E_UNEXPECTED, "OnFrame", sourceFile, line));
        }
    }
    catch (...)
    {
        // The exception callback itself failed; the capture thread must go on regardless.
    }
}

} // namespace Norvex::Core::VideoCapture
