#include <Norvex/Core/CaptureBackends/CaptureBackends.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <stdexcept>
#include <thread>

using namespace Norvex::Core;
using namespace Norvex::Core::VideoCapture;

namespace
{

constexpr GUID yuy2 = MakeVideoSubtype(MakeFourcc('Y', 'U', 'Y', '2'));

class TestFormat final : public FrameFormat
{
public:
    TestFormat(GUID subtype, int width, int height, double rate)
    {
        this->subtype = subtype;
        this->width = width;
        this->height = height;
        this->stride = width * 2;
        this->frameRate = rate;
    }
    std::shared_ptr<FrameFormat> Clone() const override
    {
        return std::make_shared<TestFormat>(subtype, width, height, frameRate);
    }
    const wchar_t* GetSubtypeName() const override { return subtype == yuy2 ? L"YUY2" : L"Unknown"; }
    void OnSizeChanged() override {}
    void OnFrameRateChanged() override {}
};

// A device whose "capture thread" is the test calling Deliver.
class TestDevice final : public Device
{
public:
    TestDevice()
    {
        frameFormats.push_back(std::make_shared<TestFormat>(yuy2, 4, 2, 30));
        frameFormats.push_back(std::make_shared<TestFormat>(yuy2, 4, 2, 15));
        frameFormats.push_back(std::make_shared<TestFormat>(yuy2, 2, 3, 30));
        Prepare();
    }
    bool IsStarted() const override { return false; }
    void Start() override {}
    void Stop() override {}
    ComPointer<CameraControl>& GetCameraControl() override { return cameraControl; }
    ComPointer<VideoProcAmp>& GetVideoProcAmp() override { return videoProcAmp; }

    template <class Failure> void DeliverFailing(Failure failure)
    {
        try
        {
            throw failure;
        }
        catch (...)
        {
            NotifyCurrentException(L"tests/capture/TestDevice.cpp", 77);
        }
    }

    // The picture of a capture thread: the frame's size, `red` in its first pixel.
    void Deliver(unsigned char red)
    {
        Image<Pixel<unsigned char>> picture;
        SizeLikeFrame(picture);
        picture.At(0, 0).red = red;
        DeliverFrame(picture, L"tests/capture/TestDevice.cpp", 88);
    }

private:
    ComPointer<CameraControl> cameraControl;
    ComPointer<VideoProcAmp> videoProcAmp;
};

} // namespace

TEST(FrameFormatName, RateInTheStreamsDefaultForm)
{
    EXPECT_EQ(TestFormat(yuy2, 640, 480, 30.0).GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_EQ(TestFormat(yuy2, 640, 480, 7.5).GetName(), L"YUY2 640x480 (7.5fps)");
    EXPECT_EQ(TestFormat(yuy2, 1920, 1080, 29.97).GetName(), L"YUY2 1920x1080 (29.97fps)");
    EXPECT_EQ(TestFormat(yuy2, 640, 480, 59.94006).GetName(), L"YUY2 640x480 (59.9401fps)");
    EXPECT_EQ(TestFormat(yuy2, 640, 480, 30.00003).GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_EQ(TestFormat(yuy2, 640, 480, 10000000.0 / 333333).GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_EQ(TestFormat(GUID{}, 640, 480, 30).GetName(), L"Unknown 640x480 (30fps)");
    EXPECT_EQ(TestFormat(yuy2, 12000, 480, 1234567.0).GetName(), L"YUY2 12000x480 (1.23457e+06fps)");
}

TEST(FrameFormatName, DuplicatesCompareExactly)
{
    const TestFormat a(yuy2, 640, 480, 30.0), b(yuy2, 640, 480, 30.0), c(yuy2, 640, 480, 30.000001);
    EXPECT_TRUE(a.IsDuplicateOf(b));
    EXPECT_FALSE(a.IsDuplicateOf(c));
    EXPECT_EQ(a.GetName(), c.GetName()) << "names may coincide where formats differ";
    const TestFormat nan1(yuy2, 640, 480, std::nan("")), nan2(yuy2, 640, 480, std::nan(""));
    EXPECT_FALSE(nan1.IsDuplicateOf(nan2));
}

TEST(DeviceBase, PrepareKeepsThePictureForTheSameSizeOnly)
{
    TestDevice device;
    EXPECT_EQ(device.LockFrame()->width, 4);
    EXPECT_EQ(device.LockFrame()->stride, 16);
    device.Deliver(200);

    device.frameFormatIndex = 1; // same size, other rate
    device.Prepare();
    EXPECT_EQ(device.LockFrame()->At(0, 0).red, 200);

    device.frameFormatIndex = 2; // other size: opaque black
    device.Prepare();
    const auto frame = device.LockFrame();
    EXPECT_EQ(frame->width, 2);
    EXPECT_EQ(frame->height, 3);
    EXPECT_EQ(frame->stride, 8);
    EXPECT_EQ(frame->At(0, 0).red, 0);
    EXPECT_EQ(frame->At(1, 2).alpha, 255);

    device.frameFormatIndex = 3;
    EXPECT_THROW(device.Prepare(), Exception);
}

TEST(DeviceBase, FramesReachTheCallbackAndAreKeptWithoutOne)
{
    TestDevice device;
    int calls = 0;
    device.SetFrameCallback(
        [&](Device* from, const Image<Pixel<unsigned char>>& image)
        {
            EXPECT_EQ(from, &device);
            EXPECT_EQ(&image, &*device.LockFrame());
            ++calls;
        });
    device.Deliver(1);
    EXPECT_EQ(calls, 1);
    device.SetFrameCallback({});
    device.Deliver(9);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(device.LockFrame()->At(0, 0).red, 9);
}

TEST(DeviceBase, FailuresOfTheCallbackReachTheExceptionCallback)
{
    TestDevice device;
    std::vector<Exception> reported;
    device.SetExceptionCallback([&](Device*, const Exception& exception) { reported.push_back(exception); });
    device.SetFrameCallback([](Device*, const Image<Pixel<unsigned char>>&)
                            { throw Exception(L"processor failed", "Process", L"p.cpp", 5); });
    device.Deliver(1);
    device.SetFrameCallback([](Device*, const Image<Pixel<unsigned char>>&)
                            { throw std::runtime_error("x"); });
    device.Deliver(2);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].GetMessage(), L"processor failed");
    EXPECT_EQ(reported[1].GetErrorCode(), E_UNEXPECTED);
    EXPECT_EQ(reported[1].GetFunctionName(), L"OnFrame");
    EXPECT_EQ(reported[1].GetSourceFileName(), L"tests/capture/TestDevice.cpp");

    // An exception callback that throws itself must not take the capture thread down.
    device.SetExceptionCallback([](Device*, const Exception&) { throw 42; });
    EXPECT_NO_THROW(device.DeliverFailing(std::runtime_error("y")));
    device.SetExceptionCallback({});
    EXPECT_NO_THROW(device.DeliverFailing(Exception(E_FAIL, "F", L"f", 1)));
}

TEST(DeviceBase, ReplacedCallbackDiesOutsideTheLock)
{
    TestDevice device;
    // When the old function dies, another thread must be able to take the callback lock.
    struct Probe
    {
        TestDevice* device = nullptr;
        std::shared_ptr<std::promise<void>> entered = std::make_shared<std::promise<void>>();
        ~Probe()
        {
            // NotifyException takes the callback lock (no exception callback is set).
            std::thread taker(
                [device = device, entered = entered]
                {
                    device->NotifyException(Exception(E_FAIL, "Probe", L"probe.cpp", 1));
                    entered->set_value();
                });
            if (entered->get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            {
                taker.join();
            }
            else
            {
                ADD_FAILURE() << "the previous callback was destroyed under the lock";
                taker.detach();
            }
        }
    };
    auto probe = std::make_shared<Probe>();
    probe->device = &device;
    device.SetFrameCallback([probe](Device*, const Image<Pixel<unsigned char>>&) {});
    probe.reset();
    device.SetFrameCallback({});
}

TEST(EnumerateDevices, UnknownFamilyIsUnexpected)
{
    try
    {
        EnumerateDevices(static_cast<CaptureApiFamily>(2), true, true);
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), E_UNEXPECTED);
        EXPECT_EQ(exception.GetFunctionName(), L"VideoCapture");
    }
    EXPECT_THROW(EnumerateDevices(static_cast<CaptureApiFamily>(-1), false, false), Exception);
}
