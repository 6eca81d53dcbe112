// The VM stage's probe of the V4L2 back-end on vivid's real nodes (tests/vm/cases.sh runs it in the
// guest). Commands:
//   bars NODE FOURCC...        streams each V4L2 pixel format (as v4l2-ctl names it: YUYV, NM12)
//                              at its smallest size and checks every pixel of
//                              the middle half of each bar of vivid's 100% colour bars exactly
//   raw FILE WIDTH HEIGHT FOURCC
//                              checks each picture of a file decoded by ffmpeg to raw BGRA the
//                              same way, taken from that pixel format
//   count NODE FRAMES [PRESS]  streams FRAMES pictures, pressing vivid's button control PRESS (a
//                              v4l2-ctl control name) after the first few; prints the pictures,
//                              the dropped-frame count and the error that ended the stream, if any
//   controls NODE              sets picture controls through the back-end and reads them with
//                              v4l2-ctl, and the other way round
// Exit status 0 when every check held, 1 otherwise.
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>
#include <Norvex/Core/V4l2VideoCapture/V4l2VideoCapture.h>
#include <Norvex/Core/VideoCapture/VideoProcAmp.h>

#include "V4l2VideoCapture/V4l2FrameFormat.h"

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using Norvex::Core::Image;
using Norvex::Core::Pixel;
using Norvex::Core::ToUtf8;
using Norvex::Core::V4l2VideoCapture::KernelInterface;
using Norvex::Core::V4l2VideoCapture::V4l2FrameFormat;
using Norvex::Core::VideoCapture::Device;
using Norvex::Core::VideoCapture::VideoProcAmp;

namespace
{

using Picture = Image<Pixel<unsigned char>>;

struct Rgb
{
    int red, green, blue;
};

// vivid's "100% Colorbar" pattern, left to right, as RGB formats carry it.
constexpr std::array<Rgb, 8> rgbBars = {{{255, 255, 255},
                                         {255, 255, 0},
                                         {0, 255, 255},
                                         {0, 255, 0},
                                         {255, 0, 255},
                                         {255, 0, 0},
                                         {0, 0, 255},
                                         {0, 0, 0}}};

// The same bars from vivid's Y'CbCr formats (BT.601, limited range) through our exact conversion
// (within one level of the formula). vivid's fixed-point maths truncates: its white is Y'=234, not
// 235, so these are not all 0 and 255. Any other matrix, range, chroma order or plane offset is off
// by far more than these few levels.
constexpr std::array<Rgb, 8> yuvBars = {{{254, 254, 254},
                                         {253, 254, 0},
                                         {0, 254, 252},
                                         {0, 254, 0},
                                         {253, 1, 252},
                                         {253, 0, 0},
                                         {0, 0, 252},
                                         {0, 0, 0}}};

// vivid's greyscale bars: BT.709 luma, full range, truncated.
constexpr std::array<int, 8> greyBars = {254, 235, 200, 181, 72, 54, 18, 0};

enum class BarKind
{
    Rgb,
    Yuv,
    Grey,
};

BarKind KindOf(const std::string& fourcc)
{
    static const std::set<std::string> grey = {"GREY", "Y16"};
    static const std::set<std::string> rgb = {"RGB3", "BGR3", "BGR4", "XR24", "AR24", "RGBP",
                                              "RGBO", "BA81", "GBRG", "GRBG", "RGGB"};
    return grey.contains(fourcc) ? BarKind::Grey : rgb.contains(fourcc) ? BarKind::Rgb : BarKind::Yuv;
}

Rgb ExpectedBar(BarKind kind, int bar)
{
    switch (kind)
    {
    case BarKind::Grey:
        return {greyBars[bar], greyBars[bar], greyBars[bar]};
    case BarKind::Yuv:
        return yuvBars[bar];
    case BarKind::Rgb:
        break;
    }
    return rgbBars[bar];
}

// Every pixel of the middle half of each bar, on every row, must be the bar's colour exactly:
// a wrong matrix, range, byte order or plane offset shows as a wrong colour, a wrong line length
// as bars sliding sideways down the picture.
bool CheckBars(const Picture& picture, BarKind kind, const std::string& label)
{
    const int bars = static_cast<int>(rgbBars.size());
    for (int bar = 0; bar < bars; ++bar)
    {
        const Rgb expected = ExpectedBar(kind, bar);
        const int left = picture.width * bar / bars;
        const int barWidth = picture.width / bars;
        for (int y = 0; y < picture.height; ++y)
        {
            for (int x = left + barWidth / 4; x < left + barWidth * 3 / 4; ++x)
            {
                const auto& pixel = picture.At(x, y);
                if (pixel.red != expected.red || pixel.green != expected.green ||
                    pixel.blue != expected.blue || pixel.alpha != 255)
                {
                    std::printf("%s: bar %d at (%d, %d) is R%d G%d B%d A%d, expected R%d G%d B%d A255\n",
                                label.c_str(), bar, x, y, pixel.red, pixel.green, pixel.blue, pixel.alpha,
                                expected.red, expected.green, expected.blue);
                    return false;
                }
            }
        }
    }
    std::printf("%s: bars exact\n", label.c_str());
    return true;
}

// Streams a device and keeps what its callbacks said, for the main thread to wait on.
class Stream
{
public:
    explicit Stream(Device& device) : device(device)
    {
        device.SetFrameCallback(
            [this](Device*, const Picture& frame)
            {
                std::lock_guard lock(mutex);
                ++frames;
                last = frame;
                changed.notify_all();
            });
        device.SetExceptionCallback(
            [this](Device*, const Norvex::Core::Exception& exception)
            {
                std::lock_guard lock(mutex);
                errors.push_back(ToUtf8(exception.GetMessage()) + " (" + ToUtf8(exception.GetFunctionName()) +
                                 ")");
                changed.notify_all();
            });
    }
    ~Stream()
    {
        device.Stop();
        device.SetFrameCallback(nullptr);
        device.SetExceptionCallback(nullptr);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // True when `count` pictures came before the deadline; an error ends the wait early when
    // the device stopped with it.
    bool WaitForFrames(long long count, std::chrono::seconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout,
                                [&]
                                { return frames >= count || (!errors.empty() && !device.IsStarted()); }) &&
               frames >= count;
    }
    bool WaitForError(std::chrono::seconds timeout)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return !errors.empty(); });
    }
    long long Frames()
    {
        std::lock_guard lock(mutex);
        return frames;
    }
    Picture Last()
    {
        std::lock_guard lock(mutex);
        return last;
    }
    std::vector<std::string> Errors()
    {
        std::lock_guard lock(mutex);
        return errors;
    }

private:
    Device& device;
    std::mutex mutex;
    std::condition_variable changed;
    long long frames = 0;            // guarded by mutex
    Picture last;                    // guarded by mutex
    std::vector<std::string> errors; // guarded by mutex
};

// Generous: a software-emulated guest on a loaded machine.
constexpr std::chrono::seconds frameTimeout{60};

// The V4L2 code as text, its trailing spaces dropped ("Y16 " is "Y16").
std::string FourccText(std::uint32_t code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8)
    {
        text += static_cast<char>((code >> shift) & 0xff);
    }
    while (!text.empty() && text.back() == ' ')
    {
        text.pop_back();
    }
    return text;
}

// The device the back-end lists for a node, found as the program finds it: by enumeration.
std::shared_ptr<Device> OpenDevice(const std::string& node)
{
    std::vector<std::shared_ptr<Device>> devices;
    Norvex::Core::V4l2VideoCapture::EnumerateDevices(false, false, devices);
    const auto wanted = std::filesystem::canonical(node);
    for (const auto& device : devices)
    {
        if (std::filesystem::canonical(ToUtf8(device->devicePath)) == wanted)
        {
            return device;
        }
    }
    throw std::runtime_error("the back-end lists no device for " + node);
}

// The format of a V4L2 pixel format at its smallest size with the rate nearest 10 per second (a
// few seconds of pictures, light on the emulated guest), or none. By the driver's code, as the
// subtype names the picture's layout only: NV12 and NV12M are both "NV12".
std::optional<int> FindFormat(const Device& device, const std::string& fourcc)
{
    std::optional<int> best;
    const auto key = [&](int index)
    {
        const auto& format = *device.frameFormats[index];
        return std::pair(format.width * format.height, std::abs(format.frameRate - 10.0));
    };
    for (std::size_t i = 0; i < device.frameFormats.size(); ++i)
    {
        const int index = static_cast<int>(i);
        const auto* format = dynamic_cast<const V4l2FrameFormat*>(device.frameFormats[i].get());
        if (format && FourccText(format->GetPixelFormat().pixelformat) == fourcc &&
            (!best || key(index) < key(*best)))
        {
            best = index;
        }
    }
    return best;
}

void SelectFormat(Device& device, int index)
{
    device.Unprepare();
    device.frameFormatIndex = index;
    device.Prepare();
}

int Bars(const std::string& node, const std::vector<std::string>& fourccs)
{
    auto device = OpenDevice(node);
    bool allExact = true;
    for (const auto& fourcc : fourccs)
    {
        const auto index = FindFormat(*device, fourcc);
        if (!index)
        {
            std::printf("%s: not listed\n", fourcc.c_str());
            allExact = false;
            continue;
        }
        SelectFormat(*device, *index);
        Stream stream(*device);
        try
        {
            device->Start();
        }
        catch (const Norvex::Core::Exception& exception)
        {
            // A capture card streams the signal's size: that format, as the program takes it.
            if (exception.GetErrorCode() != Norvex::Core::VideoCapture::signalResizedStatus)
            {
                throw;
            }
            SelectFormat(*device, device->GetSignalFormatIndex());
            device->Start();
        }
        const std::string label =
            fourcc + ", " + ToUtf8(device->frameFormats[device->frameFormatIndex]->GetName());
        // The second picture: the first is the one a driver is likeliest to fill while settling.
        if (!stream.WaitForFrames(2, frameTimeout))
        {
            const auto errors = stream.Errors();
            std::printf("%s: no picture (%s)\n", label.c_str(),
                        errors.empty() ? "no error" : errors[0].c_str());
            allExact = false;
            continue;
        }
        allExact = CheckBars(stream.Last(), KindOf(fourcc), label) && allExact;
    }
    return allExact ? 0 : 1;
}

int Raw(const std::string& file, int width, int height, const std::string& fourcc)
{
    std::ifstream input(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    const std::size_t pictureBytes = 4 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (bytes.empty() || bytes.size() % pictureBytes != 0)
    {
        std::printf("%s: %zu bytes, not whole %dx%d BGRA pictures\n", file.c_str(), bytes.size(), width,
                    height);
        return 1;
    }
    bool allExact = true;
    Picture picture(width, height);
    for (std::size_t offset = 0; offset < bytes.size(); offset += pictureBytes)
    {
        std::memcpy(picture.data, bytes.data() + offset, pictureBytes);
        allExact =
            CheckBars(picture, KindOf(fourcc), file + " picture " + std::to_string(offset / pictureBytes)) &&
            allExact;
    }
    return allExact ? 0 : 1;
}

std::string Run(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r"))
    {
        std::array<char, 256> chunk;
        while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe))
        {
            output += chunk.data();
        }
        pclose(pipe);
    }
    return output;
}

void PressButton(const std::string& node, const std::string& control)
{
    std::system(("v4l2-ctl -d " + node + " -c " + control + "=1").c_str());
}

int Count(const std::string& node, long long frames, const std::optional<std::string>& press)
{
    auto device = OpenDevice(node);
    // vivid's first format, one picture a second (the device starts with the driver's current one).
    SelectFormat(*device, 0);
    Stream stream(*device);
    device->Start();
    bool pressed = false;
    if (press)
    {
        // Pressed while pictures flow: vivid applies its stream injections only then.
        constexpr long long beforePress = 3;
        pressed = stream.WaitForFrames(beforePress, frameTimeout);
        if (pressed)
        {
            PressButton(node, *press);
        }
    }
    const bool allCame = stream.WaitForFrames(frames, frameTimeout);
    if (!allCame && press)
    {
        stream.WaitForError(frameTimeout); // a stream that ended may report after its last picture
    }
    std::printf("pictures %lld\ndropped %llu\nstarted %d\n", stream.Frames(),
                static_cast<unsigned long long>(device->GetDroppedFrameCount()), device->IsStarted() ? 1 : 0);
    for (const auto& error : stream.Errors())
    {
        std::printf("error %s\n", error.c_str());
    }
    return (!press || pressed) && (allCame || !stream.Errors().empty()) ? 0 : 1;
}

// The value v4l2-ctl reads for a control, or -1.
int ReadControl(const std::string& node, const std::string& control)
{
    const auto output = Run("v4l2-ctl -d " + node + " --get-ctrl " + control);
    const auto colon = output.find(':');
    return colon == std::string::npos ? -1 : std::atoi(output.c_str() + colon + 1);
}

int Controls(const std::string& node)
{
    auto device = OpenDevice(node);
    Stream stream(*device);
    device->Start();
    if (!stream.WaitForFrames(1, frameTimeout))
    {
        std::printf("no picture\n");
        return 1;
    }
    auto& amp = device->GetVideoProcAmp();
    if (!amp)
    {
        std::printf("no picture controls while streaming\n");
        return 1;
    }
    bool held = true;
    const auto expect = [&](const char* what, int actual, int expected)
    {
        std::printf("%s: %d (expected %d)\n", what, actual, expected);
        held = held && actual == expected;
    };
    // Ours to the driver.
    amp->Set(VideoProcAmp::Brightness, 201, VideoProcAmp::Manual);
    expect("brightness set here, read by v4l2-ctl", ReadControl(node, "brightness"), 201);
    amp->Set(VideoProcAmp::Hue, -37, VideoProcAmp::Manual);
    expect("hue set here, read by v4l2-ctl", ReadControl(node, "hue"), -37);
    amp->Set(VideoProcAmp::Gain, 42, VideoProcAmp::Manual);
    expect("gain set here, read by v4l2-ctl", ReadControl(node, "gain"), 42);
    expect("automatic gain off after a manual gain", ReadControl(node, "gain_automatic"), 0);
    amp->Set(VideoProcAmp::Gain, 42, VideoProcAmp::Auto);
    expect("automatic gain on again", ReadControl(node, "gain_automatic"), 1);
    // The driver's to ours.
    std::system(("v4l2-ctl -d " + node + " -c contrast=77,saturation=3").c_str());
    std::int32_t value = -1;
    std::int32_t flags = 0;
    amp->Get(VideoProcAmp::Contrast, &value, &flags);
    expect("contrast set by v4l2-ctl, read here", value, 77);
    amp->Get(VideoProcAmp::Saturation, &value, &flags);
    expect("saturation set by v4l2-ctl, read here", value, 3);
    return held ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: vivid-check bars NODE FOURCC... | raw FILE WIDTH HEIGHT FOURCC | "
                         "count NODE FRAMES [BUTTON] | controls NODE\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try
    {
        if (arguments.size() >= 3 && arguments[0] == "bars")
        {
            return Bars(arguments[1], {arguments.begin() + 2, arguments.end()});
        }
        if (arguments.size() == 5 && arguments[0] == "raw")
        {
            return Raw(arguments[1], std::stoi(arguments[2]), std::stoi(arguments[3]), arguments[4]);
        }
        if ((arguments.size() == 3 || arguments.size() == 4) && arguments[0] == "count")
        {
            return Count(arguments[1], std::stoll(arguments[2]),
                         arguments.size() == 4 ? std::optional(arguments[3]) : std::nullopt);
        }
        if (arguments.size() == 2 && arguments[0] == "controls")
        {
            return Controls(arguments[1]);
        }
    }
    catch (const Norvex::Core::Exception& exception)
    {
        std::printf("error %s (%s)\n", ToUtf8(exception.GetMessage()).c_str(),
                    ToUtf8(exception.GetFunctionName()).c_str());
        return 1;
    }
    catch (const std::exception& exception)
    {
        std::printf("error %s\n", exception.what());
        return 1;
    }
    return Usage();
}
