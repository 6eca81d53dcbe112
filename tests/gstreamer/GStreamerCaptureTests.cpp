#include <Norvex/Core/CaptureBackends/CaptureBackends.h>
#include <Norvex/Core/GStreamerInitializer.h>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace Norvex::Core;
using namespace Norvex::Core::VideoCapture;
using namespace std::chrono_literals;

namespace
{

using Devices = std::vector<std::shared_ptr<Device>>;

std::shared_ptr<Device> Find(const Devices& devices, const std::wstring& name)
{
    for (const auto& device : devices)
    {
        if (device->friendlyName == name)
        {
            return device;
        }
    }
    return nullptr;
}

std::vector<std::wstring> FormatNames(const Device& device)
{
    std::vector<std::wstring> names;
    for (const auto& format : device.frameFormats)
    {
        names.push_back(format->GetName());
    }
    return names;
}

int IndexOf(const Device& device, const std::wstring& name)
{
    const auto names = FormatNames(device);
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        if (names[i] == name)
        {
            return static_cast<int>(i);
        }
    }
    ADD_FAILURE() << "no format " << testing::PrintToString(name);
    return 0;
}

// The faulty test cameras are listed only while this is set.
class FaultyCameras
{
public:
    FaultyCameras() { setenv("NORVEX_TEST_CAMERA_FAULTS", "1", 1); }
    ~FaultyCameras() { unsetenv("NORVEX_TEST_CAMERA_FAULTS"); }
};

// The test cameras draw their moving square and frame counter only while this is set.
class MovingCameras
{
public:
    MovingCameras() { setenv("NORVEX_TEST_CAMERA_MOTION", "1", 1); }
    ~MovingCameras() { unsetenv("NORVEX_TEST_CAMERA_MOTION"); }
};

// Records what a device delivers, from whichever thread delivers it.
class Recorder
{
public:
    void Attach(Device& device)
    {
        device.SetFrameCallback([this](Device*, const Image<Pixel<unsigned char>>& frame)
                                { OnFrame(frame); });
        device.SetExceptionCallback(
            [this](Device*, const Exception& exception)
            {
                std::lock_guard lock(mutex);
                exceptions.push_back(exception);
                changed.notify_all();
            });
    }

    // Waits until `count` more frames have arrived; false on timeout.
    bool WaitForFrames(int count, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(mutex);
        const int target = frames + count;
        return changed.wait_for(lock, timeout, [&] { return frames >= target; });
    }

    int Frames()
    {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::vector<Exception> Exceptions()
    {
        std::lock_guard lock(mutex);
        return exceptions;
    }
    Image<Pixel<unsigned char>> LastFrame()
    {
        std::lock_guard lock(mutex);
        return last;
    }
    bool AllOnOtherThreads()
    {
        std::lock_guard lock(mutex);
        return !onCallerThread;
    }
    void ThrowOnNextFrame()
    {
        std::lock_guard lock(mutex);
        throwNext = true;
    }
    bool Running()
    {
        std::lock_guard lock(mutex);
        return inside;
    }

private:
    void OnFrame(const Image<Pixel<unsigned char>>& frame)
    {
        std::unique_lock lock(mutex);
        inside = true;
        onCallerThread = onCallerThread || std::this_thread::get_id() == caller;
        ++frames;
        last = frame;
        changed.notify_all();
        if (std::exchange(throwNext, false))
        {
            inside = false;
            throw Exception(E_FAIL, "FrameCallback", L"GStreamerCaptureTests.cpp", __LINE__);
        }
        lock.unlock();
        std::this_thread::sleep_for(2ms); // widen the window in which Stop can meet a running callback
        lock.lock();
        inside = false;
    }

    std::mutex mutex;
    std::condition_variable changed;
    const std::thread::id caller = std::this_thread::get_id();
    int frames = 0;
    bool onCallerThread = false;
    bool throwNext = false;
    bool inside = false;
    Image<Pixel<unsigned char>> last;
    std::vector<Exception> exceptions;
};

void ExpectColour(const Image<Pixel<unsigned char>>& frame, int x, int y, int red, int green, int blue,
                  int tolerance)
{
    ASSERT_TRUE(frame.Contains(x, y));
    const auto& pixel = frame.At(x, y);
    EXPECT_NEAR(pixel.red, red, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(pixel.green, green, tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(pixel.blue, blue, tolerance) << "at " << x << "," << y;
}

// Camera 1 shows seven full-height bars; camera 2 a grey ramp from black (top) to white.
void ExpectBars(const Image<Pixel<unsigned char>>& frame, int tolerance)
{
    static constexpr int colours[7][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255}};
    for (int bar = 0; bar < 7; ++bar)
    {
        const int x = frame.width * (2 * bar + 1) / 14;
        for (const int y : {0, frame.height / 2, frame.height - 1})
        {
            ExpectColour(frame, x, y, colours[bar][0], colours[bar][1], colours[bar][2], tolerance);
        }
    }
}

void ExpectRamp(const Image<Pixel<unsigned char>>& frame, int tolerance)
{
    const int x = frame.width / 2;
    for (const int eighth : {1, 4, 7})
    {
        const int y = frame.height * eighth / 8;
        const int grey = 255 * y / frame.height;
        ExpectColour(frame, x, y, grey, grey, grey, tolerance);
    }
}

bool SamePixels(const Image<Pixel<unsigned char>>& a, const Image<Pixel<unsigned char>>& b)
{
    if (a.width != b.width || a.height != b.height)
    {
        return false;
    }
    for (int y = 0; y < a.height; ++y)
    {
        if (std::memcmp(a.Row(y), b.Row(y),
                        static_cast<std::size_t>(a.width) * sizeof(Pixel<unsigned char>)) != 0)
        {
            return false;
        }
    }
    return true;
}

// The moving picture's frame counter: 16 cells of height / 40 along the top left, lowest bit first.
int FrameCounter(const Image<Pixel<unsigned char>>& frame)
{
    const int cell = std::max(2, frame.height / 40) & ~1;
    int counter = 0;
    for (int bit = 0; bit < 16; ++bit)
    {
        const auto& pixel = frame.At(bit * cell + cell / 2, cell / 2);
        counter |= (pixel.green > 128 ? 1 : 0) << bit;
    }
    return counter;
}

class GStreamerCaptureTest : public testing::Test
{
protected:
    static Devices Enumerate(bool skipErrorDevice = true, bool skipDuplicatedFrameFormat = true)
    {
        return EnumerateDevices(CaptureApiFamily::GStreamer, skipErrorDevice, skipDuplicatedFrameFormat);
    }

    static void SelectFormat(Device& device, int index)
    {
        device.Stop();
        device.Unprepare();
        device.frameFormatIndex = index;
        device.Prepare();
    }
};

TEST_F(GStreamerCaptureTest, ListsTheTestCamerasInOrderWithTheirFormats)
{
    const auto devices = Enumerate();
    const auto first = Find(devices, L"Norvex Test Camera 1");
    const auto second = Find(devices, L"Norvex Test Camera 2");
    ASSERT_TRUE(first && second);
    EXPECT_LT(std::find(devices.begin(), devices.end(), first),
              std::find(devices.begin(), devices.end(), second));
    EXPECT_FALSE(Find(devices, L"Norvex Test Camera 3 (faulty)"));
    EXPECT_EQ(first->devicePath, L"norvextestcamera:1");
    EXPECT_EQ(second->devicePath, L"norvextestcamera:2");
    // Not V4L2 nodes: no controls to offer.
    EXPECT_FALSE(first->GetCameraControl());
    EXPECT_FALSE(first->GetVideoProcAmp());

    EXPECT_EQ(
        FormatNames(*first),
        (std::vector<std::wstring>{L"YUY2 640x480 (30fps)", L"YUY2 320x240 (15fps)", L"MJPG 1280x720 (30fps)",
                                   L"I420 640x480 (30fps)", L"YUY2 1920x1080 (30fps)"}));
    // Lists expanded, ranges to their end points, the entry of size 0 dropped.
    EXPECT_EQ(FormatNames(*second),
              (std::vector<std::wstring>{
                  L"YUY2 320x240 (30fps)", L"YUY2 320x240 (15fps)", L"UYVY 320x240 (30fps)",
                  L"UYVY 320x240 (15fps)", L"YUY2 160x120 (10fps)", L"YUY2 160x480 (10fps)",
                  L"YUY2 640x120 (10fps)", L"YUY2 640x480 (10fps)", L"MJPG 640x480 (30fps)"}));
    // Construction leaves format 0 prepared.
    EXPECT_EQ(first->frameFormatIndex, 0);
    EXPECT_EQ(first->LockFrame()->width, 640);
    EXPECT_EQ(first->LockFrame()->height, 480);
    EXPECT_FALSE(first->IsStarted());
}

TEST_F(GStreamerCaptureTest, SkipSwitches)
{
    FaultyCameras faulty;
    // Duplicates under the rule (the pixel aspect ratio is not compared) stay when asked to.
    const auto all = Find(Enumerate(true, false), L"Norvex Test Camera 1");
    ASSERT_TRUE(all);
    const auto names = FormatNames(*all);
    ASSERT_EQ(names.size(), 6u);
    EXPECT_EQ(names[0], L"YUY2 640x480 (30fps)");
    EXPECT_EQ(names[4], L"YUY2 640x480 (30fps)");

    // A camera without a path cannot be found again: it is left out, or fails the enumeration.
    const auto devices = Enumerate(true, true);
    EXPECT_TRUE(Find(devices, L"Norvex Test Camera 3 (faulty)"));
    EXPECT_FALSE(Find(devices, L"Norvex Test Camera 4 (no path)"));
    EXPECT_THROW(Enumerate(false, true), Exception);
}

TEST_F(GStreamerCaptureTest, OtherFamiliesAreRefused)
{
    try
    {
        EnumerateDevices(static_cast<CaptureApiFamily>(2), true, true);
        FAIL() << "family 2 was accepted";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), E_UNEXPECTED);
        EXPECT_EQ(exception.GetFunctionName(), L"VideoCapture");
    }
}

TEST_F(GStreamerCaptureTest, TheTestCameraHidesNoRealProvider)
{
    auto gstreamer = std::make_shared<GStreamerInitializer>();
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    gchar** providers = gst_device_monitor_get_providers(monitor);
    std::vector<std::string> names;
    for (gchar** name = providers; name && *name; ++name)
    {
        names.emplace_back(*name);
    }
    g_strfreev(providers);
    gst_object_unref(monitor);
    EXPECT_NE(std::find(names.begin(), names.end(), "norvextestcameraprovider"), names.end());
    // The machine's own cameras stay reachable beside the test ones.
    EXPECT_NE(std::find(names.begin(), names.end(), "v4l2deviceprovider"), names.end());
}

// Run by its own CTest entry with GST_PLUGIN_PATH unset: the program then sees the system's
// providers only, and they are all still asked.
TEST_F(GStreamerCaptureTest, WithoutThePluginPathOnlyTheSystemsCamerasAreListed)
{
    if (std::getenv("GST_PLUGIN_PATH"))
    {
        GTEST_SKIP() << "runs without GST_PLUGIN_PATH";
    }
    for (const auto& device : Enumerate())
    {
        EXPECT_EQ(device->friendlyName.find(L"Norvex Test Camera"), std::wstring::npos);
    }
    auto gstreamer = std::make_shared<GStreamerInitializer>();
    GstDeviceProviderFactory* v4l2 = gst_device_provider_factory_find("v4l2deviceprovider");
    EXPECT_TRUE(v4l2);
    if (v4l2)
    {
        gst_object_unref(v4l2);
    }
}

struct PictureCase
{
    const char* name;
    const wchar_t* camera;
    const wchar_t* format;
    bool bars; // else the ramp
    int tolerance;
};

void PrintTo(const PictureCase& param, std::ostream* out)
{
    *out << param.name;
}

class GStreamerPictureTest : public GStreamerCaptureTest, public testing::WithParamInterface<PictureCase>
{
};

// Frames arrive on a thread of GStreamer's, top row first, in blue-green-red-alpha, from raw and
// JPEG formats alike (JPEG and limited range need a tolerance).
TEST_P(GStreamerPictureTest, FramesCarryTheCamerasPicture)
{
    const auto& param = GetParam();
    const auto devices = Enumerate();
    const auto device = Find(devices, param.camera);
    ASSERT_TRUE(device);
    SelectFormat(*device, IndexOf(*device, param.format));
    Recorder recorder;
    recorder.Attach(*device);
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(3));
    device->Stop();
    EXPECT_TRUE(recorder.AllOnOtherThreads());
    EXPECT_TRUE(recorder.Exceptions().empty());

    const auto delivered = recorder.LastFrame();
    const auto& format = *device->frameFormats[static_cast<std::size_t>(device->frameFormatIndex)];
    ASSERT_EQ(delivered.width, format.width);
    ASSERT_EQ(delivered.height, format.height);
    const auto kept = device->LockFrame();
    for (const Image<Pixel<unsigned char>>* frame : {&delivered, &*kept})
    {
        if (param.bars)
        {
            ExpectBars(*frame, param.tolerance);
        }
        else
        {
            ExpectRamp(*frame, param.tolerance);
        }
        EXPECT_EQ(frame->At(1, 1).alpha, 255);
    }
    // The camera's frame count reaches the time-stamp file, through the JPEG decoder too.
    EXPECT_TRUE(kept.Info().sequence.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, GStreamerPictureTest,
    testing::Values(PictureCase{"BarsYuy2", L"Norvex Test Camera 1", L"YUY2 640x480 (30fps)", true, 8},
                    // High definition is coded with BT.709's matrix.
                    PictureCase{"BarsYuy2Hd", L"Norvex Test Camera 1", L"YUY2 1920x1080 (30fps)", true, 8},
                    PictureCase{"BarsI420", L"Norvex Test Camera 1", L"I420 640x480 (30fps)", true, 8},
                    PictureCase{"BarsJpeg", L"Norvex Test Camera 1", L"MJPG 1280x720 (30fps)", true, 40},
                    PictureCase{"RampUyvy", L"Norvex Test Camera 2", L"UYVY 320x240 (15fps)", false, 8},
                    PictureCase{"RampJpeg", L"Norvex Test Camera 2", L"MJPG 640x480 (30fps)", false, 16}),
    [](const testing::TestParamInfo<PictureCase>& info) { return std::string(info.param.name); });

// Camera 5 offers the bars in every other raw layout: the layouts the back-end converts itself
// and the one videoconvert converts first (16-bit grey) alike arrive in their colours.
TEST_F(GStreamerCaptureTest, EveryRawLayoutArrivesInItsColours)
{
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 5 (layouts)");
    ASSERT_TRUE(device);
    ASSERT_EQ(device->frameFormats.size(), 15u); // the last, YUY2 in BT.601 at 1920x1080, too
    Recorder recorder;
    recorder.Attach(*device);
    for (std::size_t index = 0; index < device->frameFormats.size(); ++index)
    {
        const auto& format = *device->frameFormats[index];
        SCOPED_TRACE(testing::PrintToString(format.GetName()) + " (format " + std::to_string(index) + ")");
        SelectFormat(*device, static_cast<int>(index));
        device->Start();
        ASSERT_TRUE(recorder.WaitForFrames(3));
        device->Stop();
        const auto frame = recorder.LastFrame();
        ASSERT_EQ(frame.width, format.width);
        ASSERT_EQ(frame.height, format.height);
        // GRAY8 and GRAY16_LE: grey layouts are full range, and videotestsrc writes each bar's
        // limited-range luma into them; the levels come through as sent.
        const bool grey = index == 12 || index == 13;
        for (int bar = 0; bar < 7 && grey; ++bar)
        {
            static constexpr int levels[7] = {235, 210, 170, 145, 106, 81, 41};
            const int x = frame.width * (2 * bar + 1) / 14;
            ExpectColour(frame, x, frame.height / 2, levels[bar], levels[bar], levels[bar], 8);
        }
        if (!grey)
        {
            ExpectBars(frame, 8);
        }
        EXPECT_EQ(frame.At(1, 1).alpha, 255);
    }
    EXPECT_TRUE(recorder.Exceptions().empty());
}

TEST_F(GStreamerCaptureTest, FormatSwitchGivesFramesOfTheNewSize)
{
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 1");
    ASSERT_TRUE(device);
    Recorder recorder;
    recorder.Attach(*device);
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(2));

    SelectFormat(*device, IndexOf(*device, L"YUY2 320x240 (15fps)"));
    // Another size: opaque black of the new size until the first frame.
    EXPECT_EQ(device->LockFrame()->width, 320);
    EXPECT_EQ(device->LockFrame()->At(0, 0).red, 0);
    EXPECT_EQ(device->LockFrame()->At(0, 0).alpha, 255);
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(2));
    device->Stop();
    EXPECT_EQ(recorder.LastFrame().width, 320);
    EXPECT_EQ(recorder.LastFrame().height, 240);
    ExpectBars(*device->LockFrame(), 8);

    // The same size keeps the last picture, so a switch does not flash black.
    SelectFormat(*device, IndexOf(*device, L"YUY2 640x480 (30fps)"));
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(2));
    device->Stop();
    SelectFormat(*device, IndexOf(*device, L"I420 640x480 (30fps)"));
    ExpectBars(*device->LockFrame(), 8);
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(2));
    device->Stop();
    EXPECT_TRUE(recorder.Exceptions().empty());
}

// Pixel tests rely on a still picture; encoder benchmarks need one that moves. The counter is read
// back from raw and JPEG frames to show the drawing lands in every layout the camera sends.
TEST_F(GStreamerCaptureTest, TheTestCameraMovesOnlyWhenAsked)
{
    const auto twoFrames = [](const wchar_t* format)
    {
        const auto devices = EnumerateDevices(CaptureApiFamily::GStreamer, true, true);
        const auto device = Find(devices, L"Norvex Test Camera 1");
        EXPECT_TRUE(device);
        if (!device)
        {
            return std::pair<Image<Pixel<unsigned char>>, Image<Pixel<unsigned char>>>();
        }
        SelectFormat(*device, IndexOf(*device, format));
        Recorder recorder;
        recorder.Attach(*device);
        device->Start();
        EXPECT_TRUE(recorder.WaitForFrames(2));
        auto first = recorder.LastFrame();
        EXPECT_TRUE(recorder.WaitForFrames(2));
        auto second = recorder.LastFrame();
        device->Stop();
        EXPECT_TRUE(recorder.Exceptions().empty());
        return std::pair(std::move(first), std::move(second));
    };

    const auto [stillFirst, stillSecond] = twoFrames(L"YUY2 640x480 (30fps)");
    EXPECT_TRUE(SamePixels(stillFirst, stillSecond));
    ExpectBars(stillSecond, 8);

    MovingCameras moving;
    for (const wchar_t* format : {L"YUY2 640x480 (30fps)", L"MJPG 1280x720 (30fps)"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(format)));
        const auto [first, second] = twoFrames(format);
        ASSERT_EQ(first.width, second.width);
        EXPECT_FALSE(SamePixels(first, second));
        EXPECT_GT(FrameCounter(second), FrameCounter(first));
        if (second.width == stillSecond.width && second.height == stillSecond.height)
        {
            // Only the square (a quarter of the height on a side) and the counter differ from the
            // still bars; the rest of the picture stays as the pixel tests expect it.
            long changed = 0;
            for (int y = 0; y < second.height; ++y)
            {
                for (int x = 0; x < second.width; ++x)
                {
                    changed +=
                        std::memcmp(&second.At(x, y), &stillSecond.At(x, y), sizeof(second.At(x, y))) != 0;
                }
            }
            const long side = second.height / 4;
            const long cell = second.height / 40;
            EXPECT_GT(changed, 0);
            EXPECT_LE(changed, side * side + 16 * cell * cell + 4 * side);
        }
    }
}

// A frame callback slower than the camera (a loaded machine) must not make the picture age: the
// device skips to recent frames, dropping the oldest of its few queued ones, and counts every
// frame it never delivered.
TEST_F(GStreamerCaptureTest, ASlowConsumerSeesRecentFramesAndEverySkippedOneIsCounted)
{
    MovingCameras moving;
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 1");
    ASSERT_TRUE(device);
    SelectFormat(*device, IndexOf(*device, L"YUY2 640x480 (30fps)"));
    struct Seen
    {
        int counter;
        std::uint64_t dropped; // the device's count when the frame reached the callback
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> seen;
    device->SetFrameCallback(
        [&](Device* self, const Image<Pixel<unsigned char>>& frame)
        {
            const Seen entry{FrameCounter(frame), self->GetDroppedFrameCount()};
            {
                std::lock_guard lock(mutex);
                seen.push_back(entry);
            }
            changed.notify_all();
            // Work that takes several frame intervals.
            std::this_thread::sleep_for(150ms);
        });
    device->Start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return seen.size() >= 8; }));
    }
    device->Stop();
    ASSERT_GE(seen.size(), 8u);
    for (std::size_t delivered = 0; delivered < seen.size(); ++delivered)
    {
        SCOPED_TRACE("frame " + std::to_string(seen[delivered].counter));
        // The camera numbers its frames from 0: those before this one that were not delivered
        // are all counted as dropped; the count may run ahead only by what the queue dropped
        // while this frame was being converted.
        const auto skipped = static_cast<std::uint64_t>(seen[delivered].counter) - delivered;
        EXPECT_GE(seen[delivered].dropped, skipped);
        EXPECT_LE(seen[delivered].dropped, skipped + 2);
    }
    // The picture kept up with the camera instead of showing each frame in turn.
    EXPECT_GT(seen.back().counter - seen.front().counter, static_cast<int>(seen.size()) * 2);
    EXPECT_GT(device->GetDroppedFrameCount(), 0u);
}

// A picture left to be made on demand must be its own frame's whoever reads it and whenever: in
// the frame callback, from another thread while frames go on, and after the stop. A reader given
// the picture of an earlier frame, or of a sample already released, sees another frame counter.
TEST_F(GStreamerCaptureTest, APictureMadeOnDemandIsItsOwnFramesWheneverItIsRead)
{
    MovingCameras moving;
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 1");
    ASSERT_TRUE(device);
    SelectFormat(*device, IndexOf(*device, L"YUY2 640x480 (30fps)"));
    device->SetPictureOnDemand(true);
    std::mutex mutex;
    std::condition_variable changed;
    int delivered = 0;
    int readInCallback = 0;
    std::vector<std::string> wrong;
    device->SetFrameCallback(
        [&](Device* self, const Image<Pixel<unsigned char>>&)
        {
            // Every other frame is read here; the others only by the reads below, or by nobody.
            const auto sequence = self->GetFrameInfo().sequence.value_or(0);
            std::lock_guard lock(mutex);
            if (sequence % 2 == 1)
            {
                const auto frame = self->LockFrame();
                if (FrameCounter(*frame) != static_cast<int>(sequence))
                {
                    wrong.push_back("callback: frame " + std::to_string(sequence) + " shows " +
                                    std::to_string(FrameCounter(*frame)));
                }
                ++readInCallback;
            }
            ++delivered;
            changed.notify_all();
        });
    device->Start();
    int readOutside = 0;
    for (int seen = 0; readOutside < 12;)
    {
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return delivered > seen; }));
            seen = delivered;
        }
        const auto frame = device->LockFrame();
        ASSERT_TRUE(frame.Info().sequence);
        EXPECT_EQ(FrameCounter(*frame), static_cast<int>(*frame.Info().sequence));
        ++readOutside;
    }
    // The last frames before the stop are read by nobody until after it.
    {
        std::unique_lock lock(mutex);
        const int target = delivered + 3;
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return delivered >= target; }));
    }
    device->Stop();
    const auto last = device->LockFrame();
    ASSERT_TRUE(last.Info().sequence);
    EXPECT_EQ(FrameCounter(*last), static_cast<int>(*last.Info().sequence));
    EXPECT_GT(readInCallback, 0);
    EXPECT_TRUE(wrong.empty()) << testing::PrintToString(wrong);
}

TEST_F(GStreamerCaptureTest, StartAndStopAreIdempotentAndStopEndsTheCallbacks)
{
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 1");
    ASSERT_TRUE(device);
    device->Stop(); // not started: nothing
    Recorder recorder;
    recorder.Attach(*device);
    device->Start();
    device->Start();
    EXPECT_TRUE(device->IsStarted());
    ASSERT_TRUE(recorder.WaitForFrames(3));
    for (int round = 0; round < 3; ++round)
    {
        device->Stop();
        EXPECT_FALSE(recorder.Running());
        const int frames = recorder.Frames();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(recorder.Frames(), frames);
        device->Stop();
        EXPECT_FALSE(device->IsStarted());
        device->Start();
        ASSERT_TRUE(recorder.WaitForFrames(1));
    }
    EXPECT_TRUE(recorder.Exceptions().empty());
}

TEST_F(GStreamerCaptureTest, AFrameWithoutCallbackStillReachesTheFrameImage)
{
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 2");
    ASSERT_TRUE(device);
    device->Start();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool painted = false;
    while (!painted && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(20ms);
        const auto frame = device->LockFrame();
        painted = frame->At(0, frame->height - 1).red > 200;
    }
    device->Stop();
    EXPECT_TRUE(painted);
}

TEST_F(GStreamerCaptureTest, AThrowingFrameCallbackIsReportedOnceAndStreamingGoesOn)
{
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 2");
    ASSERT_TRUE(device);
    Recorder recorder;
    recorder.Attach(*device);
    recorder.ThrowOnNextFrame();
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(4));
    device->Stop();
    const auto exceptions = recorder.Exceptions();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(exceptions[0].GetFunctionName(), L"FrameCallback");
    EXPECT_EQ(exceptions[0].GetErrorCode(), E_FAIL);
}

// Camera 3 sends every other buffer one row short and posts one error on the bus: the short
// buffers are skipped and reported one by one, the error once, and whole frames keep coming.
TEST_F(GStreamerCaptureTest, ShortBuffersAndBusErrorsAreReportedWhileStreamingGoesOn)
{
    FaultyCameras faulty;
    const auto devices = Enumerate();
    const auto device = Find(devices, L"Norvex Test Camera 3 (faulty)");
    ASSERT_TRUE(device);
    EXPECT_EQ(FormatNames(*device), std::vector<std::wstring>{L"ARGB32 320x240 (30fps)"});
    Recorder recorder;
    recorder.Attach(*device);
    device->Start();
    ASSERT_TRUE(recorder.WaitForFrames(6));
    device->Stop();

    int shortFrames = 0;
    int busErrors = 0;
    for (const auto& exception : recorder.Exceptions())
    {
        shortFrames += exception.GetFunctionName() == L"OnFrame";
        busErrors += exception.GetFunctionName() == L"OnBusMessage";
    }
    EXPECT_EQ(busErrors, 1);
    // Buffers alternate, give or take the one in flight when Stop came, and those a slow machine
    // dropped from the device's queue before they were looked at.
    const auto dropped = static_cast<int>(device->GetDroppedFrameCount());
    EXPECT_LE(std::abs(shortFrames - recorder.Frames()), dropped + 1)
        << shortFrames << " short, " << recorder.Frames() << " whole, " << dropped << " dropped";
    ExpectBars(recorder.LastFrame(), 8);
}

TEST_F(GStreamerCaptureTest, DestroyingAStartedDeviceStopsItFirst)
{
    Recorder recorder;
    {
        auto devices = Enumerate();
        auto device = Find(devices, L"Norvex Test Camera 1");
        ASSERT_TRUE(device);
        recorder.Attach(*device);
        device->Start();
        ASSERT_TRUE(recorder.WaitForFrames(2));
        devices.clear();
        device.reset();
    }
    const int frames = recorder.Frames();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.Frames(), frames);
}

} // namespace
