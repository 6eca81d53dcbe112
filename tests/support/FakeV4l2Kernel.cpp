#include "FakeV4l2Kernel.h"

#include <turbojpeg.h>

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <tuple>

namespace Norvex::Testing
{
namespace
{

std::uint32_t LineLength(std::uint32_t pixelFormat, std::uint32_t width)
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_RGB565:
    case V4L2_PIX_FMT_RGB555:
    case V4L2_PIX_FMT_Y16:
        return width * 2;
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_ABGR32:
        return width * 4;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
        return width * 3;
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_NV16:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_YUV422P:
    case V4L2_PIX_FMT_NV12M:
    case V4L2_PIX_FMT_NV21M:
    case V4L2_PIX_FMT_NV16M:
    case V4L2_PIX_FMT_YUV420M:
    case V4L2_PIX_FMT_YVU420M:
    case V4L2_PIX_FMT_YUV422M:
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SRGGB8:
        return width;
    default:
        return 0; // compressed
    }
}

// The bytes a frame takes: the first plane, then the chroma planes, whose lines are as long as
// the first plane's (NV12, NV21, NV16) or half as long (three planes), as V4L2 lays them out.
// The single-plane layout whose memory is the planes of a multi-planar one, one after another.
std::uint32_t ContiguousEquivalent(std::uint32_t pixelFormat)
{
    switch (pixelFormat)
    {
    case V4L2_PIX_FMT_NV12M:
        return V4L2_PIX_FMT_NV12;
    case V4L2_PIX_FMT_NV21M:
        return V4L2_PIX_FMT_NV21;
    case V4L2_PIX_FMT_NV16M:
        return V4L2_PIX_FMT_NV16;
    case V4L2_PIX_FMT_YUV420M:
        return V4L2_PIX_FMT_YUV420;
    case V4L2_PIX_FMT_YVU420M:
        return V4L2_PIX_FMT_YVU420;
    case V4L2_PIX_FMT_YUV422M:
        return V4L2_PIX_FMT_YUV422P;
    default:
        return pixelFormat;
    }
}

std::uint32_t ImageSize(std::uint32_t pixelFormat, std::uint32_t bytesPerLine, std::uint32_t height)
{
    switch (ContiguousEquivalent(pixelFormat))
    {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
        return bytesPerLine * height + bytesPerLine * ((height + 1) / 2);
    case V4L2_PIX_FMT_NV16:
        return bytesPerLine * height * 2;
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
        return bytesPerLine * height + 2 * (bytesPerLine / 2) * ((height + 1) / 2);
    case V4L2_PIX_FMT_YUV422P:
        return bytesPerLine * height * 2;
    default:
        return bytesPerLine * height;
    }
}

unsigned char Clamp(double value)
{
    return static_cast<unsigned char>(std::clamp(std::lround(value), 0L, 255L));
}

// BT.601, limited range, as cameras send Y'CbCr.
unsigned char Luma(double r, double g, double b)
{
    return Clamp(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255);
}

// Y'CbCr layouts: luma per pixel, chroma averaged over the pixels it stands for.
std::vector<unsigned char> EncodeYuv(const std::vector<unsigned char>& bgra, const v4l2_pix_format& format)
{
    const std::uint32_t width = format.width, height = format.height, line = format.bytesperline;
    const std::uint32_t pixelFormat = format.pixelformat;
    const bool packed = pixelFormat == V4L2_PIX_FMT_YUYV || pixelFormat == V4L2_PIX_FMT_YVYU ||
                        pixelFormat == V4L2_PIX_FMT_UYVY;
    const bool halfHeight = pixelFormat == V4L2_PIX_FMT_NV12 || pixelFormat == V4L2_PIX_FMT_NV21 ||
                            pixelFormat == V4L2_PIX_FMT_YUV420 || pixelFormat == V4L2_PIX_FMT_YVU420;
    const auto at = [&](std::uint32_t x, std::uint32_t y)
    {
        const unsigned char* pixel =
            &bgra[(static_cast<std::size_t>(std::min(y, height - 1)) * width + std::min(x, width - 1)) * 4];
        return std::array<double, 3>{double(pixel[2]), double(pixel[1]), double(pixel[0])};
    };
    // The chroma of the block whose top-left pixel is (x, y).
    const auto chroma = [&](std::uint32_t x, std::uint32_t y)
    {
        double u = 0, v = 0;
        const std::uint32_t rows = halfHeight ? 2 : 1;
        for (std::uint32_t dy = 0; dy < rows; ++dy)
        {
            for (std::uint32_t dx = 0; dx < 2; ++dx)
            {
                const auto [r, g, b] = at(x + dx, y + dy);
                u += (-37.797 * r - 74.203 * g + 112 * b) / 255;
                v += (112 * r - 93.786 * g - 18.214 * b) / 255;
            }
        }
        return std::pair{Clamp(128 + u / (2 * rows)), Clamp(128 + v / (2 * rows))};
    };
    std::vector<unsigned char> bytes(format.sizeimage, 0xEE); // padding shows up as a colour if misread
    for (std::uint32_t y = 0; y < height; ++y)
    {
        for (std::uint32_t x = 0; x < width; ++x)
        {
            const auto [r, g, b] = at(x, y);
            const unsigned char luma = Luma(r, g, b);
            if (packed)
            {
                unsigned char* pair = &bytes[static_cast<std::size_t>(y) * line + x / 2 * 4];
                const auto [u, v] = chroma(x / 2 * 2, y);
                const bool yFirst = pixelFormat != V4L2_PIX_FMT_UYVY;
                pair[yFirst ? 2 * (x % 2) : 2 * (x % 2) + 1] = luma;
                pair[yFirst ? 1 : 0] = pixelFormat == V4L2_PIX_FMT_YVYU ? v : u;
                pair[yFirst ? 3 : 2] = pixelFormat == V4L2_PIX_FMT_YVYU ? u : v;
                continue;
            }
            bytes[static_cast<std::size_t>(y) * line + x] = luma;
        }
    }
    if (packed)
    {
        return bytes;
    }
    const std::size_t chromaStart = static_cast<std::size_t>(line) * height;
    const std::uint32_t chromaRows = halfHeight ? (height + 1) / 2 : height;
    const bool semiPlanar = pixelFormat == V4L2_PIX_FMT_NV12 || pixelFormat == V4L2_PIX_FMT_NV21 ||
                            pixelFormat == V4L2_PIX_FMT_NV16;
    const std::uint32_t chromaLine = semiPlanar ? line : line / 2;
    for (std::uint32_t row = 0; row < chromaRows; ++row)
    {
        for (std::uint32_t column = 0; column < (width + 1) / 2; ++column)
        {
            const auto [u, v] = chroma(column * 2, halfHeight ? row * 2 : row);
            if (semiPlanar)
            {
                unsigned char* pair =
                    &bytes[chromaStart + static_cast<std::size_t>(row) * chromaLine + 2 * column];
                pair[0] = pixelFormat == V4L2_PIX_FMT_NV21 ? v : u;
                pair[1] = pixelFormat == V4L2_PIX_FMT_NV21 ? u : v;
                continue;
            }
            const std::size_t planeSize = static_cast<std::size_t>(chromaLine) * chromaRows;
            const std::size_t position = chromaStart + static_cast<std::size_t>(row) * chromaLine + column;
            const bool vFirst = pixelFormat == V4L2_PIX_FMT_YVU420;
            bytes[position + (vFirst ? planeSize : 0)] = u;
            bytes[position + (vFirst ? 0 : planeSize)] = v;
        }
    }
    return bytes;
}

bool InRange(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step)
{
    return value >= minimum && value <= maximum && (value - minimum) % std::max<std::uint32_t>(step, 1) == 0;
}

} // namespace

const unsigned char FakeV4l2Kernel::bandColors[4][3] = {
    {40, 40, 200},   // red
    {40, 200, 40},   // green
    {200, 40, 40},   // blue
    {128, 128, 128}, // grey
};

FakeV4l2Kernel::FakeV4l2Kernel() = default;

FakeV4l2Kernel::~FakeV4l2Kernel()
{
    for (auto& [fd, file] : files)
    {
        ::close(file.wakeEvent);
    }
}

FakeV4l2Camera FakeV4l2Kernel::UvcCamera(const std::string& node, const std::string& card)
{
    FakeV4l2Camera camera;
    camera.node = node;
    camera.card = card;
    camera.persistentPath = "/dev/v4l/by-id/usb-" + card + "-video-index0";

    FakeV4l2Format yuyv;
    yuyv.pixelFormat = V4L2_PIX_FMT_YUYV;
    yuyv.sizes = {{64, 48}, {32, 24}};
    yuyv.intervals = {{1, 30}, {1, 15}};
    camera.formats.push_back(yuyv);

    FakeV4l2Format mjpg;
    mjpg.pixelFormat = V4L2_PIX_FMT_MJPEG;
    mjpg.sizes = {{64, 48}, {160, 120}};
    mjpg.intervals = {{1, 30}};
    camera.formats.push_back(mjpg);

    FakeV4l2Format bgrx;
    bgrx.pixelFormat = V4L2_PIX_FMT_XBGR32;
    bgrx.sizeRange = v4l2_frmsize_stepwise{32, 320, 16, 24, 240, 8};
    bgrx.intervals = {{1, 30}};
    camera.formats.push_back(bgrx);

    FakeV4l2Control focus{V4L2_CID_FOCUS_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, 0, 250, 5, 0, 0};
    focus.automatic = V4L2_CID_FOCUS_AUTO;
    focus.manualValue = 0;
    // Exposure as most webcams offer it: manual or aperture priority, in 100 us units.
    FakeV4l2Control exposure{V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1, 250, 250};
    exposure.automatic = V4L2_CID_EXPOSURE_AUTO;
    exposure.manualValue = V4L2_EXPOSURE_MANUAL;
    FakeV4l2Control exposureAuto{V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3, 3};
    exposureAuto.menu = {V4L2_EXPOSURE_MANUAL, V4L2_EXPOSURE_APERTURE_PRIORITY};
    camera.controls = {
        focus,
        {V4L2_CID_FOCUS_AUTO, V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, 1},
        exposure,
        exposureAuto,
        {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, -64, 64, 1, 0, 0},
        {V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, 0, 95, 1, 32, 32},
    };
    return camera;
}

FakeV4l2Camera FakeV4l2Kernel::OneFormatCamera(const std::string& node, std::uint32_t pixelFormat,
                                               std::uint32_t width, std::uint32_t height,
                                               std::chrono::microseconds framePeriod)
{
    FakeV4l2Camera camera;
    camera.node = node;
    camera.framePeriod = framePeriod;
    FakeV4l2Format format;
    format.pixelFormat = pixelFormat;
    format.sizes = {{width, height}};
    format.intervals = {{1, 30}};
    camera.formats.push_back(format);
    return camera;
}

FakeV4l2Camera FakeV4l2Kernel::MultiplanarCamera(const std::string& node, const std::string& card)
{
    FakeV4l2Camera camera;
    camera.node = node;
    camera.card = card;
    camera.deviceCaps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    camera.multiplanar = true;
    camera.dataOffset = 128;
    for (const std::uint32_t pixelFormat : {V4L2_PIX_FMT_NV12M, V4L2_PIX_FMT_YUV420M, V4L2_PIX_FMT_YUYV})
    {
        FakeV4l2Format format;
        format.pixelFormat = pixelFormat;
        format.sizes = {{64, 48}};
        format.intervals = {{1, 30}};
        camera.formats.push_back(format);
    }
    return camera;
}

FakeV4l2Camera FakeV4l2Kernel::MetadataNode(const std::string& node, const std::string& card)
{
    FakeV4l2Camera camera;
    camera.node = node;
    camera.card = card;
    camera.persistentPath = "/dev/v4l/by-id/usb-" + card + "-video-index1";
    camera.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    return camera;
}

void FakeV4l2Kernel::AddCamera(FakeV4l2Camera camera)
{
    std::lock_guard lock(mutex);
    auto state = std::make_unique<State>();
    state->camera = std::move(camera);
    if (!state->camera.formats.empty())
    {
        v4l2_pix_format wanted{};
        wanted.pixelformat = state->camera.formats.front().pixelFormat;
        state->current = Negotiate(*state, state->camera.current.value_or(wanted));
    }
    state->interval = state->camera.currentInterval;
    states.push_back(std::move(state));
    AnnounceNodes();
}

FakeV4l2Kernel::State& FakeV4l2Kernel::Find(const std::string& node) const
{
    for (const auto& state : states)
    {
        if (state->camera.node == node)
        {
            return *state;
        }
    }
    throw std::invalid_argument("no fake node " + node);
}

void FakeV4l2Kernel::Notify(State& state)
{
    for (auto& [fd, file] : files)
    {
        if (file.state == &state)
        {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(file.wakeEvent, &one, sizeof one);
        }
    }
}

int FakeV4l2Kernel::Fail(int error) const
{
    errno = error;
    return -1;
}

void FakeV4l2Kernel::InjectFault(const std::string& node, FakeV4l2Fault fault, std::uint32_t amount)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.faults.emplace_back(fault, amount);
    Notify(state);
}

void FakeV4l2Kernel::Unplug(const std::string& node)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.present = false;
    Notify(state);
    AnnounceNodes();
}

std::string FakeV4l2Kernel::Replug(const std::string& node)
{
    std::lock_guard lock(mutex);
    auto& old = Find(node);
    for (auto& control : old.camera.controls)
    {
        control.value = control.defaultValue;
    }
    AnnounceNodes();
    if (old.openCount == 0)
    {
        old.present = true;
        return node;
    }
    // The old node lives on, unplugged, until its last descriptor closes; the device that comes
    // back is registered anew and takes the lowest minor number no node holds.
    std::string fresh;
    for (int number = 0; fresh.empty(); ++number)
    {
        const std::string candidate = "/dev/video" + std::to_string(number);
        if (std::none_of(states.begin(), states.end(),
                         [&](const auto& state) {
                             return state->camera.node == candidate &&
                                    (state->present || state->openCount > 0);
                         }))
        {
            fresh = candidate;
        }
    }
    auto state = std::make_unique<State>();
    state->camera = old.camera;
    state->camera.node = fresh;
    state->current = old.current;
    state->content = old.content;
    // Names no longer in use belong to the new device only.
    states.erase(std::remove_if(states.begin(), states.end(),
                                [&](const auto& existing)
                                { return existing->camera.node == fresh && existing.get() != &old; }),
                 states.end());
    states.push_back(std::move(state));
    return fresh;
}

void FakeV4l2Kernel::SetFrameBudget(const std::string& node, std::int64_t frames)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.budget = frames;
    Notify(state);
}

void FakeV4l2Kernel::SetEveryBufferDamaged(const std::string& node, bool damaged)
{
    std::lock_guard lock(mutex);
    Find(node).everyBufferDamaged = damaged;
}

void FakeV4l2Kernel::SetFrameSequence(const std::string& node, std::vector<std::vector<unsigned char>> frames)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.frameSequence = std::move(frames);
    state.sequenceNext = 0;
}

void FakeV4l2Kernel::SetContent(const std::string& node, Content content)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.content = std::move(content);
    state.encoded.clear();
    for (auto& buffer : state.buffers)
    {
        buffer.contentKey.clear();
    }
}

int FakeV4l2Kernel::OpenCount(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).openCount;
}

std::size_t FakeV4l2Kernel::MappedCount() const
{
    std::lock_guard lock(mutex);
    return mappings.size();
}

bool FakeV4l2Kernel::IsStreaming(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).streaming;
}

std::int32_t FakeV4l2Kernel::ControlValue(const std::string& node, std::uint32_t id) const
{
    std::lock_guard lock(mutex);
    for (const auto& control : Find(node).camera.controls)
    {
        if (control.id == id)
        {
            return control.value;
        }
    }
    throw std::invalid_argument("no such control");
}

void FakeV4l2Kernel::DriveControl(const std::string& node, std::uint32_t id, std::int32_t value)
{
    std::lock_guard lock(mutex);
    for (auto& control : Find(node).camera.controls)
    {
        if (control.id == id)
        {
            control.value = value;
            return;
        }
    }
    throw std::invalid_argument("no such control");
}

void FakeV4l2Kernel::ChangeSource(const std::string& node,
                                  std::optional<std::pair<std::uint32_t, std::uint32_t>> size)
{
    std::lock_guard lock(mutex);
    auto& state = Find(node);
    state.camera.signalSize = size;
    state.sourceChanged = state.sourceEvents;
    Notify(state);
}

std::uint32_t FakeV4l2Kernel::TimingsSetCount(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).timingsSet;
}

std::uint32_t FakeV4l2Kernel::StreamOnCount(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).streamOns;
}

v4l2_fract FakeV4l2Kernel::StreamInterval(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).interval;
}

std::uint32_t FakeV4l2Kernel::FramesHandedOut(const std::string& node) const
{
    std::lock_guard lock(mutex);
    return Find(node).handedOut;
}

std::vector<unsigned char> FakeV4l2Kernel::ReferencePicture(std::uint32_t width, std::uint32_t height)
{
    std::vector<unsigned char> bgra(static_cast<std::size_t>(width) * height * 4);
    for (std::uint32_t y = 0; y < height; ++y)
    {
        const auto& color = bandColors[std::min<std::uint32_t>(y * 4 / height, 3)];
        for (std::uint32_t x = 0; x < width; ++x)
        {
            unsigned char* pixel = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
            pixel[0] = color[0];
            pixel[1] = color[1];
            pixel[2] = color[2];
            pixel[3] = 255;
        }
    }
    return bgra;
}

std::vector<unsigned char> FakeV4l2Kernel::StripHuffmanTables(const std::vector<unsigned char>& jpeg)
{
    std::vector<unsigned char> stripped(jpeg.begin(), jpeg.begin() + 2); // SOI
    std::size_t position = 2;
    while (position + 4 <= jpeg.size() && jpeg[position] == 0xFF)
    {
        const unsigned char marker = jpeg[position + 1];
        if (marker == 0xDA) // start of scan: the rest is entropy data
        {
            stripped.insert(stripped.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(position), jpeg.end());
            return stripped;
        }
        const std::size_t length = (jpeg[position + 2] << 8 | jpeg[position + 3]) + 2u;
        if (marker != 0xC4)
        {
            stripped.insert(stripped.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(position),
                            jpeg.begin() + static_cast<std::ptrdiff_t>(position + length));
        }
        position += length;
    }
    throw std::runtime_error("no scan in JPEG");
}

std::vector<unsigned char> FakeV4l2Kernel::Encode(const std::vector<unsigned char>& bgra,
                                                  const v4l2_pix_format& format, bool stripHuffmanTables)
{
    const std::uint32_t width = format.width, height = format.height;
    if (ContiguousEquivalent(format.pixelformat) != format.pixelformat)
    {
        // The planes one after another; the node hands them out in memory planes of their own.
        auto contiguous = format;
        contiguous.pixelformat = ContiguousEquivalent(format.pixelformat);
        return Encode(bgra, contiguous, stripHuffmanTables);
    }
    std::vector<unsigned char> bytes;
    switch (format.pixelformat)
    {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_NV16:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_YUV422P:
        return EncodeYuv(bgra, format);
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_ABGR32:
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB565:
    case V4L2_PIX_FMT_RGB555:
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_Y16:
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SRGGB8:
    {
        std::vector<unsigned char> limited;
        if (format.quantization == V4L2_QUANTIZATION_LIM_RANGE && format.pixelformat != V4L2_PIX_FMT_GREY &&
            format.pixelformat != V4L2_PIX_FMT_Y16)
        {
            limited = bgra;
            for (auto& level : limited)
            {
                level = static_cast<unsigned char>(16 + (level * 219 + 127) / 255);
            }
        }
        const auto& picture = limited.empty() ? bgra : limited;
        bytes.assign(format.sizeimage, 0xEE); // line padding shows up as a colour if misread
        for (std::uint32_t y = 0; y < height; ++y)
        {
            unsigned char* line = &bytes[static_cast<std::size_t>(y) * format.bytesperline];
            for (std::uint32_t x = 0; x < width; ++x)
            {
                const unsigned char* pixel = &picture[(static_cast<std::size_t>(y) * width + x) * 4];
                const unsigned b = pixel[0], g = pixel[1], r = pixel[2];
                // Bayer: the colour this photosite sees, from the pattern's two rows of two.
                const char* const pattern = format.pixelformat == V4L2_PIX_FMT_SBGGR8   ? "BGGR"
                                            : format.pixelformat == V4L2_PIX_FMT_SGBRG8 ? "GBRG"
                                            : format.pixelformat == V4L2_PIX_FMT_SGRBG8 ? "GRBG"
                                                                                        : "RGGB";
                const char site = pattern[(y % 2) * 2 + x % 2];
                const auto seen = static_cast<unsigned char>(site == 'R' ? r : site == 'G' ? g : b);
                switch (format.pixelformat)
                {
                case V4L2_PIX_FMT_RGB24:
                    line[3 * x] = pixel[2];
                    line[3 * x + 1] = pixel[1];
                    line[3 * x + 2] = pixel[0];
                    break;
                case V4L2_PIX_FMT_BGR24:
                    line[3 * x] = pixel[0];
                    line[3 * x + 1] = pixel[1];
                    line[3 * x + 2] = pixel[2];
                    break;
                case V4L2_PIX_FMT_RGB565:
                {
                    const unsigned word = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
                    line[2 * x] = static_cast<unsigned char>(word);
                    line[2 * x + 1] = static_cast<unsigned char>(word >> 8);
                    break;
                }
                case V4L2_PIX_FMT_RGB555:
                {
                    // The top bit clear: a reader taking it for alpha would make the picture clear.
                    const unsigned word = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
                    line[2 * x] = static_cast<unsigned char>(word);
                    line[2 * x + 1] = static_cast<unsigned char>(word >> 8);
                    break;
                }
                case V4L2_PIX_FMT_GREY:
                    line[x] = Luma(r, g, b);
                    break;
                case V4L2_PIX_FMT_Y16:
                    line[2 * x] = line[2 * x + 1] = Luma(r, g, b); // the 8-bit level times 257
                    break;
                case V4L2_PIX_FMT_SBGGR8:
                case V4L2_PIX_FMT_SGBRG8:
                case V4L2_PIX_FMT_SGRBG8:
                case V4L2_PIX_FMT_SRGGB8:
                    line[x] = seen;
                    break;
                default: // B, G, R, then an X or A byte the back-end must not pass on
                    line[4 * x] = pixel[0];
                    line[4 * x + 1] = pixel[1];
                    line[4 * x + 2] = pixel[2];
                    line[4 * x + 3] = 0;
                    break;
                }
            }
        }
        return bytes;
    }
    case V4L2_PIX_FMT_MJPEG:
    {
        tjhandle compressor = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        const int status = tjCompress2(compressor, bgra.data(), static_cast<int>(width), 0,
                                       static_cast<int>(height), TJPF_BGRX, &jpeg, &size, TJSAMP_422, 95, 0);
        if (status == 0)
        {
            bytes.assign(jpeg, jpeg + size);
        }
        tjFree(jpeg);
        tjDestroy(compressor);
        if (status != 0)
        {
            throw std::runtime_error("tjCompress2 failed");
        }
        return stripHuffmanTables ? StripHuffmanTables(bytes) : bytes;
    }
    default:
        return std::vector<unsigned char>(format.sizeimage, 0);
    }
}

std::vector<unsigned char> FakeV4l2Kernel::DamagedJpeg(const v4l2_pix_format& format, FakeJpegDamage damage)
{
    auto picture = ReferencePicture(format.width, format.height);
    auto coded = format;
    if (damage == FakeJpegDamage::TallerPicture)
    {
        coded.height += 8;
        picture.resize(static_cast<std::size_t>(coded.width) * coded.height * 4, 0); // black below
    }
    auto jpeg = Encode(picture, coded, true);
    std::size_t scan = 0; // the first byte of entropy-coded data
    for (std::size_t i = 2; i + 3 < jpeg.size(); i += 2u + (jpeg[i + 2] << 8 | jpeg[i + 3]))
    {
        if (jpeg[i + 1] == 0xDA)
        {
            scan = i + 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
            break;
        }
    }
    const std::size_t scanLength = jpeg.size() - 2 - scan; // without the end marker
    switch (damage)
    {
    case FakeJpegDamage::Truncated:
        jpeg.resize(scan + scanLength * 3 / 5);
        break;
    case FakeJpegDamage::ZeroPadded:
        jpeg.resize(jpeg.size() + 4096, 0);
        break;
    case FakeJpegDamage::FlippedBytes:
        for (std::size_t i = scan + scanLength * 3 / 4; i < scan + scanLength * 3 / 4 + 3; ++i)
        {
            jpeg[i] = jpeg[i] == 0xFF ? 0x7F : static_cast<unsigned char>(jpeg[i] ^ 0x24);
        }
        break;
    case FakeJpegDamage::JunkBeforeStart:
        jpeg.insert(jpeg.begin(), {0x00, 0x00, 0xFF, 0x00, 0x12, 0x34});
        break;
    case FakeJpegDamage::TallerPicture:
        break;
    }
    return jpeg;
}

v4l2_fract FakeV4l2Kernel::NearestInterval(const State& state, const v4l2_fract& wanted) const
{
    if (state.camera.firmwareInterval)
    {
        return *state.camera.firmwareInterval;
    }
    const FakeV4l2Format* format = FindFormat(state, state.current.pixelformat);
    if (!format)
    {
        return wanted;
    }
    const auto units = [](const v4l2_fract& interval)
    {
        return (static_cast<std::uint64_t>(interval.numerator) * 10000000 + interval.denominator / 2) /
               interval.denominator;
    };
    const std::uint64_t asked = units(wanted);
    if (format->uvcIntervalRange)
    {
        // uvcvideo rounds to the nearest step of the range and keeps within its maximum.
        const auto& [minimum, maximum, step] = *format->uvcIntervalRange;
        const std::uint64_t above = asked > minimum ? asked - minimum : 0;
        const std::uint64_t settled =
            std::min<std::uint64_t>(minimum + (above + step / 2) / step * step, maximum);
        return UvcFraction(static_cast<std::uint32_t>(settled));
    }
    if (format->intervalRange)
    {
        const auto& range = *format->intervalRange;
        const std::uint64_t minimum = units(range.min), maximum = units(range.max);
        const std::uint64_t step = std::max<std::uint64_t>(units(range.step), 1);
        const std::uint64_t above = asked > minimum ? asked - minimum : 0;
        return {static_cast<std::uint32_t>(std::min(minimum + (above + step / 2) / step * step, maximum)),
                10000000};
    }
    // Of a list, the one nearest in 100 ns units, as uvcvideo picks it.
    const v4l2_fract* best = nullptr;
    std::uint64_t bestDistance = UINT64_MAX;
    for (const auto& interval : format->intervals)
    {
        if (interval.denominator == 0)
        {
            continue;
        }
        const std::uint64_t listed = units(interval);
        const std::uint64_t distance = listed > asked ? listed - asked : asked - listed;
        if (distance < bestDistance)
        {
            best = &interval;
            bestDistance = distance;
        }
    }
    return best ? *best : wanted;
}

v4l2_fract FakeV4l2Kernel::UvcFraction(std::uint32_t hundredNanoseconds)
{
    // At most 8 terms; a term of 333 or more ends the expansion, and is itself kept when fewer
    // than two terms came before it.
    constexpr std::size_t maxTerms = 8;
    constexpr std::uint32_t threshold = 333;
    std::uint32_t terms[maxTerms];
    std::size_t count = 0;
    std::uint32_t x = hundredNanoseconds, y = 10000000;
    while (count < maxTerms && y != 0)
    {
        terms[count] = x / y;
        if (terms[count] >= threshold)
        {
            count += count < 2 ? 1 : 0;
            break;
        }
        const std::uint32_t rest = x - terms[count] * y;
        x = y;
        y = rest;
        ++count;
    }
    // Folded back from the last term: value = t0 + 1 / (t1 + 1 / (...)).
    std::uint32_t numerator = 1, denominator = 0;
    for (std::size_t i = count; i > 0; --i)
    {
        const std::uint32_t next = terms[i - 1] * numerator + denominator;
        denominator = numerator;
        numerator = next;
    }
    return {numerator, denominator};
}

const FakeV4l2Control* FakeV4l2Kernel::FindControl(const State& state, std::uint32_t id) const
{
    for (const auto& control : state.camera.controls)
    {
        if (control.id == id)
        {
            return &control;
        }
    }
    return nullptr;
}

bool FakeV4l2Kernel::IsOverridden(const State& state, const FakeV4l2Control& control) const
{
    const FakeV4l2Control* automatic = control.automatic ? FindControl(state, control.automatic) : nullptr;
    return automatic && automatic->value != control.manualValue;
}

const FakeV4l2Format* FakeV4l2Kernel::FindFormat(const State& state, std::uint32_t pixelFormat) const
{
    for (const auto& format : state.camera.formats)
    {
        if (format.pixelFormat == pixelFormat)
        {
            return &format;
        }
    }
    return nullptr;
}

v4l2_pix_format FakeV4l2Kernel::Negotiate(const State& state, v4l2_pix_format wanted) const
{
    const FakeV4l2Format* format = FindFormat(state, wanted.pixelformat);
    if (!format)
    {
        format = &state.camera.formats.front();
    }
    std::uint32_t width = 0, height = 0;
    if (format->sizeRange)
    {
        const auto& range = *format->sizeRange;
        const bool fits = InRange(wanted.width, range.min_width, range.max_width, range.step_width) &&
                          InRange(wanted.height, range.min_height, range.max_height, range.step_height);
        width = fits ? wanted.width : range.max_width;
        height = fits ? wanted.height : range.max_height;
    }
    else
    {
        const auto size = std::find(format->sizes.begin(), format->sizes.end(),
                                    std::make_pair(wanted.width, wanted.height));
        std::tie(width, height) = size != format->sizes.end() ? *size : format->sizes.front();
    }
    if (state.camera.dvTimings && state.timings)
    {
        std::tie(width, height) = *state.timings; // the signal decides the size
    }
    v4l2_pix_format result = SettledFormat(format->pixelFormat, width, height, state.camera.linePadding);
    result.colorspace = state.camera.colorspace;
    result.quantization = state.camera.quantization;
    return result;
}

std::uint32_t FakeV4l2Kernel::BufferType(const State& state) const
{
    return state.camera.multiplanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

std::vector<std::uint32_t> FakeV4l2Kernel::PlaneSizes(const FakeV4l2Camera& camera,
                                                      const v4l2_pix_format& format) const
{
    if (!camera.multiplanar)
    {
        return {format.sizeimage};
    }
    const std::uint32_t line = format.bytesperline, rows = format.height, halfRows = (rows + 1) / 2;
    const std::uint32_t offset = camera.dataOffset;
    switch (format.pixelformat)
    {
    case V4L2_PIX_FMT_NV12M:
    case V4L2_PIX_FMT_NV21M:
        return {offset + line * rows, line * halfRows};
    case V4L2_PIX_FMT_NV16M:
        return {offset + line * rows, line * rows};
    case V4L2_PIX_FMT_YUV420M:
    case V4L2_PIX_FMT_YVU420M:
        return {offset + line * rows, line / 2 * halfRows, line / 2 * halfRows};
    case V4L2_PIX_FMT_YUV422M:
        return {offset + line * rows, line / 2 * rows, line / 2 * rows};
    default:
        return {offset + format.sizeimage};
    }
}

void FakeV4l2Kernel::Describe(const State& state, const v4l2_pix_format& settled, v4l2_format& format) const
{
    if (!state.camera.multiplanar)
    {
        format.fmt.pix = settled;
        return;
    }
    auto& planar = format.fmt.pix_mp;
    planar = {};
    planar.width = settled.width;
    planar.height = settled.height;
    planar.pixelformat = settled.pixelformat;
    planar.field = settled.field;
    planar.colorspace = settled.colorspace;
    planar.quantization = settled.quantization;
    const auto sizes = PlaneSizes(state.camera, settled);
    planar.num_planes = static_cast<std::uint8_t>(sizes.size());
    for (std::size_t plane = 0; plane < sizes.size(); ++plane)
    {
        // Three-plane layouts halve the chroma planes' lines, as V4L2 lays them out.
        const bool halfLine = sizes.size() == 3 && plane > 0;
        planar.plane_fmt[plane].bytesperline = halfLine ? settled.bytesperline / 2 : settled.bytesperline;
        planar.plane_fmt[plane].sizeimage = sizes[plane];
    }
}

v4l2_pix_format FakeV4l2Kernel::SettledFormat(std::uint32_t pixelFormat, std::uint32_t width,
                                              std::uint32_t height, std::uint32_t linePadding)
{
    v4l2_pix_format result{};
    result.pixelformat = pixelFormat;
    result.width = width;
    result.height = height;
    result.field = V4L2_FIELD_NONE;
    const std::uint32_t line = LineLength(pixelFormat, width);
    result.bytesperline = line ? line + linePadding : 0;
    result.sizeimage = line ? ImageSize(pixelFormat, result.bytesperline, height) : width * height * 2;
    return result;
}

const std::vector<unsigned char>& FakeV4l2Kernel::FrameBytes(State& state)
{
    const auto& format = state.current;
    const std::string key = std::to_string(format.pixelformat) + ":" + std::to_string(format.width) + "x" +
                            std::to_string(format.height) + ":" + std::to_string(format.bytesperline);
    auto found = state.encoded.find(key);
    if (found == state.encoded.end())
    {
        auto bytes = state.content ? state.content(format)
                                   : Encode(ReferencePicture(format.width, format.height), format,
                                            state.camera.stripHuffmanTables);
        found = state.encoded.emplace(key, std::move(bytes)).first;
    }
    return found->second;
}

int FakeV4l2Kernel::Open(const std::string& path, int /*flags*/)
{
    std::lock_guard lock(mutex);
    State* state = nullptr;
    for (const auto& candidate : states)
    {
        if (candidate->camera.node == path)
        {
            state = candidate.get();
        }
    }
    if (!state || !state->present)
    {
        return Fail(ENOENT);
    }
    if (state->camera.openError)
    {
        return Fail(state->camera.openError);
    }
    const int wakeEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeEvent < 0)
    {
        return -1;
    }
    const int fd = nextDescriptor++;
    files[fd] = OpenFile{state, wakeEvent};
    ++state->openCount;
    return fd;
}

int FakeV4l2Kernel::Close(int fd)
{
    std::lock_guard lock(mutex);
    const auto file = files.find(fd);
    if (file == files.end())
    {
        return Fail(EBADF);
    }
    State& state = *file->second.state;
    ::close(file->second.wakeEvent);
    files.erase(file);
    --state.openCount;
    if (state.openCount == 0)
    {
        // Subscriptions belong to open files.
        state.sourceEvents = false;
        state.sourceChanged = false;
    }
    if (state.owner == fd)
    {
        // Mappings keep their memory alive, as the kernel keeps mapped buffers.
        state.streaming = false;
        state.queueError = false;
        state.queue.clear();
        state.buffers.clear();
        state.owner = -1;
    }
    return 0;
}

short FakeV4l2Kernel::Readiness(const State& state, std::chrono::steady_clock::time_point now,
                                std::chrono::steady_clock::time_point& due) const
{
    if (!state.present)
    {
        return POLLERR | POLLHUP;
    }
    // An event waits: POLLPRI, whatever the queue does.
    const short event = state.sourceChanged ? POLLPRI : 0;
    // videobuf2 reports POLLERR for a queue that is not streaming or is in its error state.
    if (!state.streaming || state.queueError)
    {
        return static_cast<short>(POLLERR | event);
    }
    if (event)
    {
        return event;
    }
    if (!state.faults.empty() && (state.faults.front().first == FakeV4l2Fault::QueueError ||
                                  state.faults.front().first == FakeV4l2Fault::QueueBufferError))
    {
        return POLLIN; // the fault takes effect at the next call
    }
    if (state.queue.empty())
    {
        return 0;
    }
    if (state.budget == 0)
    {
        return 0;
    }
    if (now >= state.nextFrame)
    {
        return POLLIN;
    }
    due = std::min(due, state.nextFrame);
    return 0;
}

int FakeV4l2Kernel::Dequeue(State& state, v4l2_buffer& buffer)
{
    if (!state.streaming)
    {
        return Fail(EINVAL); // videobuf2: no dequeue from a queue that is not streaming
    }
    // The fault for this frame, if any; the queue's own faults take effect here and now.
    bool faulty = false;
    FakeV4l2Fault fault = FakeV4l2Fault::ShortBuffer;
    std::uint32_t amount = 0;
    if (!state.faults.empty())
    {
        std::tie(fault, amount) = state.faults.front();
        faulty = fault != FakeV4l2Fault::QueueError && fault != FakeV4l2Fault::QueueBufferError;
        if (!faulty)
        {
            state.faults.pop_front();
            (fault == FakeV4l2Fault::QueueError ? state.queueError : state.failNextQueue) = true;
        }
    }
    if (state.queueError)
    {
        return Fail(EIO);
    }
    const auto now = std::chrono::steady_clock::now();
    if (state.queue.empty() || state.budget == 0 || now < state.nextFrame)
    {
        return Fail(EAGAIN);
    }
    if (faulty)
    {
        state.faults.pop_front();
    }
    const std::uint32_t index = state.queue.front();
    state.queue.pop_front();
    auto& slot = state.buffers[index];
    slot.queued = false;
    state.nextFrame = std::max(now, state.nextFrame) + state.camera.framePeriod;
    if (state.budget > 0)
    {
        --state.budget;
    }
    ++state.handedOut;

    // The picture's bytes go into the memory planes one after another, the first plane's after
    // its data offset.
    const bool fromSequence = !state.frameSequence.empty();
    const auto& bytes = fromSequence ? state.frameSequence[state.sequenceNext++ % state.frameSequence.size()]
                                     : FrameBytes(state);
    const bool multiplanar = state.camera.multiplanar;
    std::vector<std::size_t> used(slot.planes.size());
    std::size_t taken = 0;
    // Frames of a sequence differ from one another: each is written.
    const std::string normal = fromSequence ? "sequence " + std::to_string(state.sequenceNext) : "frame";
    for (std::size_t plane = 0; plane < slot.planes.size(); ++plane)
    {
        const std::size_t offset = multiplanar && plane == 0 ? state.camera.dataOffset : 0;
        const std::size_t room = slot.planes[plane]->size() - std::min(offset, slot.planes[plane]->size());
        const std::size_t part = std::min(room, bytes.size() - std::min(taken, bytes.size()));
        if (slot.contentKey != normal)
        {
            std::memcpy(slot.planes[plane]->data() + offset, bytes.data() + taken, part);
        }
        used[plane] = offset + part;
        taken += part;
    }
    slot.contentKey = normal;
    std::uint32_t flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (faulty)
    {
        switch (fault)
        {
        case FakeV4l2Fault::ShortBuffer:
            for (auto& size : used)
            {
                size /= 2;
            }
            break;
        case FakeV4l2Fault::CorruptJpeg:
            std::memset(slot.planes[0]->data(), 0x5A, used[0]);
            slot.contentKey.clear();
            break;
        case FakeV4l2Fault::SequenceGap:
            state.sequence += amount;
            break;
        case FakeV4l2Fault::DamagedFrame:
            flags |= V4L2_BUF_FLAG_ERROR;
            break;
        case FakeV4l2Fault::QueueError:
        case FakeV4l2Fault::QueueBufferError:
            break;
        }
    }
    if (state.everyBufferDamaged)
    {
        flags |= V4L2_BUF_FLAG_ERROR;
    }
    buffer.index = index;
    buffer.flags = flags;
    buffer.field = V4L2_FIELD_NONE;
    buffer.sequence = state.sequence++;
    if (multiplanar)
    {
        for (std::size_t plane = 0; plane < slot.planes.size(); ++plane)
        {
            auto& described = buffer.m.planes[plane];
            described = {};
            described.bytesused = static_cast<std::uint32_t>(used[plane]);
            described.length = static_cast<std::uint32_t>(slot.planes[plane]->size());
            described.m.mem_offset = index << 12 | static_cast<std::uint32_t>(plane) << 8;
            described.data_offset =
                plane == 0 ? std::min<std::uint32_t>(state.camera.dataOffset, described.bytesused) : 0;
        }
        buffer.length = static_cast<std::uint32_t>(slot.planes.size());
    }
    else
    {
        buffer.bytesused = static_cast<std::uint32_t>(used[0]);
        buffer.length = static_cast<std::uint32_t>(slot.planes[0]->size());
        buffer.m.offset = index << 12;
    }
    // Stamped when the camera took the frame: the stream's start plus one interval a frame.
    const v4l2_fract interval = state.camera.realInterval.value_or(state.interval);
    const auto since =
        std::chrono::duration_cast<std::chrono::microseconds>(state.streamStart.time_since_epoch()).count() +
        static_cast<std::int64_t>(buffer.sequence) * 1000000 * interval.numerator /
            std::max<std::uint32_t>(interval.denominator, 1);
    buffer.timestamp.tv_sec = since / 1000000;
    buffer.timestamp.tv_usec = since % 1000000;
    return 0;
}

int FakeV4l2Kernel::Ioctl(int fd, unsigned long request, void* argument)
{
    std::lock_guard lock(mutex);
    const auto file = files.find(fd);
    if (file == files.end())
    {
        return Fail(EBADF);
    }
    State& state = *file->second.state;
    if (!state.present)
    {
        return Fail(ENODEV);
    }
    const auto& camera = state.camera;
    const bool video = camera.deviceCaps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE);
    const std::uint32_t type = BufferType(state);

    switch (request)
    {
    case VIDIOC_QUERYCAP:
    {
        if (camera.queryCapError)
        {
            return Fail(camera.queryCapError);
        }
        auto& capability = *static_cast<v4l2_capability*>(argument);
        capability = {};
        std::strncpy(reinterpret_cast<char*>(capability.driver), "uvcvideo", sizeof capability.driver - 1);
        std::strncpy(reinterpret_cast<char*>(capability.card), camera.card.c_str(),
                     sizeof capability.card - 1);
        std::strncpy(reinterpret_cast<char*>(capability.bus_info), camera.busInfo.c_str(),
                     sizeof capability.bus_info - 1);
        // Like UVC: the driver's capabilities cover both of its nodes, the node's own are apart.
        capability.capabilities =
            (camera.multiplanar ? camera.deviceCaps
                                : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING) |
            V4L2_CAP_DEVICE_CAPS;
        capability.device_caps = camera.deviceCaps;
        return 0;
    }
    case VIDIOC_ENUM_FMT:
    {
        auto& description = *static_cast<v4l2_fmtdesc*>(argument);
        if (!video || description.type != type || description.index >= camera.formats.size())
        {
            return Fail(EINVAL);
        }
        const auto& format = camera.formats[description.index];
        description.pixelformat = format.pixelFormat;
        description.flags = LineLength(format.pixelFormat, 1) ? 0 : V4L2_FMT_FLAG_COMPRESSED;
        std::snprintf(reinterpret_cast<char*>(description.description), sizeof description.description,
                      "%.4s", reinterpret_cast<const char*>(&format.pixelFormat));
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES:
    {
        auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
        const FakeV4l2Format* format = FindFormat(state, size.pixel_format);
        if (!format)
        {
            return Fail(EINVAL);
        }
        if (format->sizeRange)
        {
            if (size.index != 0)
            {
                return Fail(EINVAL);
            }
            size.type = format->continuousSizes ? V4L2_FRMSIZE_TYPE_CONTINUOUS : V4L2_FRMSIZE_TYPE_STEPWISE;
            size.stepwise = *format->sizeRange;
            return 0;
        }
        if (size.index >= format->sizes.size())
        {
            return Fail(EINVAL);
        }
        size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size.discrete = {format->sizes[size.index].first, format->sizes[size.index].second};
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS:
    {
        auto& interval = *static_cast<v4l2_frmivalenum*>(argument);
        if (camera.noRateControl)
        {
            return Fail(ENOTTY);
        }
        const FakeV4l2Format* format = FindFormat(state, interval.pixel_format);
        if (!format)
        {
            return Fail(EINVAL);
        }
        v4l2_pix_format wanted{};
        wanted.pixelformat = interval.pixel_format;
        wanted.width = interval.width;
        wanted.height = interval.height;
        const auto settled = Negotiate(state, wanted);
        if (settled.width != interval.width || settled.height != interval.height)
        {
            return Fail(EINVAL);
        }
        if (format->uvcIntervalRange)
        {
            // uvcvideo lists a continuous range as stepwise, min, max and step simplified apart.
            if (interval.index != 0)
            {
                return Fail(EINVAL);
            }
            const auto& [minimum, maximum, step] = *format->uvcIntervalRange;
            interval.type = V4L2_FRMIVAL_TYPE_STEPWISE;
            interval.stepwise = {UvcFraction(minimum), UvcFraction(maximum), UvcFraction(step)};
            return 0;
        }
        if (format->intervalRange)
        {
            if (interval.index != 0)
            {
                return Fail(EINVAL);
            }
            interval.type =
                format->continuousIntervals ? V4L2_FRMIVAL_TYPE_CONTINUOUS : V4L2_FRMIVAL_TYPE_STEPWISE;
            interval.stepwise = *format->intervalRange;
            return 0;
        }
        if (interval.index >= format->intervals.size())
        {
            return Fail(EINVAL);
        }
        interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval.discrete = format->intervals[interval.index];
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    {
        auto& format = *static_cast<v4l2_format*>(argument);
        if (!video || format.type != type)
        {
            return Fail(EINVAL);
        }
        if (request == VIDIOC_G_FMT)
        {
            Describe(state, state.current, format);
            return 0;
        }
        v4l2_pix_format wanted = format.fmt.pix;
        if (camera.multiplanar)
        {
            wanted = {};
            wanted.width = format.fmt.pix_mp.width;
            wanted.height = format.fmt.pix_mp.height;
            wanted.pixelformat = format.fmt.pix_mp.pixelformat;
        }
        const auto settled = Negotiate(state, wanted);
        if (request == VIDIOC_S_FMT)
        {
            if (!state.buffers.empty())
            {
                return Fail(EBUSY);
            }
            state.current = settled;
        }
        Describe(state, settled, format);
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
    {
        auto& parameters = *static_cast<v4l2_streamparm*>(argument);
        if (camera.noRateControl)
        {
            return Fail(ENOTTY);
        }
        if (!video || parameters.type != type)
        {
            return Fail(EINVAL);
        }
        if (request == VIDIOC_S_PARM && parameters.parm.capture.timeperframe.denominator != 0)
        {
            // The driver settles on the nearest interval it has and answers with that one.
            state.interval = NearestInterval(state, parameters.parm.capture.timeperframe);
        }
        parameters.parm.capture = {};
        parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parameters.parm.capture.timeperframe = state.interval;
        return 0;
    }
    case VIDIOC_REQBUFS:
    {
        auto& request = *static_cast<v4l2_requestbuffers*>(argument);
        if (!video || request.type != type || request.memory != V4L2_MEMORY_MMAP)
        {
            return Fail(EINVAL);
        }
        if ((state.owner != -1 && state.owner != fd) || state.streaming)
        {
            return Fail(EBUSY);
        }
        for (const auto& buffer : state.buffers)
        {
            for (const auto& [address, memory] : mappings)
            {
                if (std::find(buffer.planes.begin(), buffer.planes.end(), memory) != buffer.planes.end())
                {
                    return Fail(EBUSY); // still mapped
                }
            }
        }
        state.buffers.clear();
        state.queue.clear();
        request.count = std::min(request.count, camera.bufferLimit);
        for (std::uint32_t index = 0; index < request.count; ++index)
        {
            Buffer buffer;
            for (const auto size : PlaneSizes(state.camera, state.current))
            {
                buffer.planes.push_back(std::make_shared<std::vector<unsigned char>>(size));
            }
            state.buffers.push_back(std::move(buffer));
        }
        state.owner = request.count ? fd : -1;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    {
        auto& buffer = *static_cast<v4l2_buffer*>(argument);
        if (buffer.type != type || buffer.memory != V4L2_MEMORY_MMAP || state.owner != fd)
        {
            return Fail(EINVAL);
        }
        // A multi-planar buffer comes with an array for its planes' descriptions.
        if (camera.multiplanar &&
            (!buffer.m.planes || buffer.length < PlaneSizes(state.camera, state.current).size()))
        {
            return Fail(EINVAL);
        }
        if (request == VIDIOC_DQBUF)
        {
            return Dequeue(state, buffer);
        }
        if (buffer.index >= state.buffers.size())
        {
            return Fail(EINVAL);
        }
        auto& slot = state.buffers[buffer.index];
        if (request == VIDIOC_QUERYBUF)
        {
            buffer.flags = slot.queued ? V4L2_BUF_FLAG_QUEUED : 0;
            if (!camera.multiplanar)
            {
                buffer.length = static_cast<std::uint32_t>(slot.planes[0]->size());
                buffer.m.offset = buffer.index << 12;
                return 0;
            }
            for (std::size_t plane = 0; plane < slot.planes.size(); ++plane)
            {
                buffer.m.planes[plane] = {};
                buffer.m.planes[plane].length = static_cast<std::uint32_t>(slot.planes[plane]->size());
                buffer.m.planes[plane].m.mem_offset = buffer.index << 12 | static_cast<std::uint32_t>(plane)
                                                                               << 8;
            }
            buffer.length = static_cast<std::uint32_t>(slot.planes.size());
            return 0;
        }
        if (state.queueError)
        {
            return Fail(EIO); // videobuf2 refuses buffers while the queue is in error
        }
        if (slot.queued || state.failNextQueue)
        {
            state.failNextQueue = false;
            return Fail(EINVAL);
        }
        slot.queued = true;
        state.queue.push_back(buffer.index);
        Notify(state);
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
    {
        if (*static_cast<const int*>(argument) != static_cast<int>(type) || state.owner != fd ||
            state.buffers.empty())
        {
            return Fail(EINVAL);
        }
        if (request == VIDIOC_STREAMON && camera.dvTimings && !camera.signalSize)
        {
            return Fail(ENOLINK);
        }
        state.streaming = request == VIDIOC_STREAMON;
        if (state.streaming)
        {
            state.nextFrame = std::chrono::steady_clock::now();
            state.streamStart = state.nextFrame;
            state.sequence = 0;
            ++state.streamOns;
        }
        else
        {
            // Cancelling the queue returns every buffer and clears its error state.
            for (auto& buffer : state.buffers)
            {
                buffer.queued = false;
            }
            state.queue.clear();
            state.queueError = false;
        }
        Notify(state);
        return 0;
    }
    case VIDIOC_QUERYCTRL:
    {
        auto& query = *static_cast<v4l2_queryctrl*>(argument);
        const FakeV4l2Control* control = FindControl(state, query.id);
        if (!control)
        {
            return Fail(EINVAL);
        }
        query = {};
        query.id = control->id;
        query.type = control->type;
        query.minimum = control->minimum;
        query.maximum = control->maximum;
        query.step = control->step;
        query.default_value = control->defaultValue;
        // uvcvideo marks a control without SET_CUR read-only, and one its automatic mode
        // overrides inactive.
        query.flags = (control->readOnly ? V4L2_CTRL_FLAG_READ_ONLY : 0) |
                      (IsOverridden(state, *control) ? V4L2_CTRL_FLAG_INACTIVE : 0);
        return 0;
    }
    case VIDIOC_QUERYMENU:
    {
        auto& entry = *static_cast<v4l2_querymenu*>(argument);
        const FakeV4l2Control* control = FindControl(state, entry.id);
        // Only the entries the camera has: the others fail like indices past the end.
        if (!control || control->type != V4L2_CTRL_TYPE_MENU ||
            std::find(control->menu.begin(), control->menu.end(), static_cast<std::int32_t>(entry.index)) ==
                control->menu.end())
        {
            return Fail(EINVAL);
        }
        std::snprintf(reinterpret_cast<char*>(entry.name), sizeof entry.name, "Entry %u", entry.index);
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    {
        auto& value = *static_cast<v4l2_control*>(argument);
        auto* control = const_cast<FakeV4l2Control*>(FindControl(state, value.id));
        if (!control)
        {
            return Fail(EINVAL);
        }
        // A camera refuses requests on a control its automatic mode drives ("wrong state"),
        // which uvcvideo turns into EACCES; some refuse even reading it (focus while autofocus
        // runs).
        const bool overridden = IsOverridden(state, *control);
        if (request == VIDIOC_G_CTRL)
        {
            if (overridden && control->unreadableWhileAutomatic)
            {
                return Fail(EACCES);
            }
            value.value = control->value;
            return 0;
        }
        if (control->readOnly || overridden)
        {
            return Fail(EACCES);
        }
        // uvcvideo rounds an integer to the step and clamps it to the range, and says what it
        // set; a boolean is clamped; a menu index must be one of the camera's entries.
        switch (control->type)
        {
        case V4L2_CTRL_TYPE_INTEGER:
        {
            const std::int64_t step = std::max(control->step, 1);
            const std::int64_t above = static_cast<std::int64_t>(value.value) - control->minimum;
            const std::int64_t rounded =
                control->minimum +
                (above >= 0 ? (above + step / 2) / step * step : -((-above + step / 2) / step) * step);
            value.value = static_cast<std::int32_t>(
                std::clamp<std::int64_t>(rounded, control->minimum, control->maximum));
            break;
        }
        case V4L2_CTRL_TYPE_BOOLEAN:
            value.value = std::clamp(value.value, 0, 1);
            break;
        case V4L2_CTRL_TYPE_MENU:
            if (value.value < control->minimum || value.value > control->maximum)
            {
                return Fail(ERANGE);
            }
            if (std::find(control->menu.begin(), control->menu.end(), value.value) == control->menu.end())
            {
                return Fail(EINVAL);
            }
            break;
        default:
            break;
        }
        control->value = value.value;
        return 0;
    }
    case VIDIOC_G_INPUT:
    case VIDIOC_ENUMINPUT:
    {
        if (!camera.dvTimings)
        {
            return Fail(ENOTTY);
        }
        if (request == VIDIOC_G_INPUT)
        {
            *static_cast<int*>(argument) = 0;
            return 0;
        }
        auto& input = *static_cast<v4l2_input*>(argument);
        if (input.index != 0)
        {
            return Fail(EINVAL);
        }
        std::strncpy(reinterpret_cast<char*>(input.name), "HDMI", sizeof input.name - 1);
        input.type = V4L2_INPUT_TYPE_CAMERA;
        input.capabilities = V4L2_IN_CAP_DV_TIMINGS;
        input.status = camera.signalSize ? 0 : V4L2_IN_ST_NO_SIGNAL;
        return 0;
    }
    case VIDIOC_QUERY_DV_TIMINGS:
    case VIDIOC_S_DV_TIMINGS:
    {
        if (!camera.dvTimings)
        {
            return Fail(ENOTTY);
        }
        auto& timings = *static_cast<v4l2_dv_timings*>(argument);
        if (request == VIDIOC_QUERY_DV_TIMINGS)
        {
            if (!camera.signalSize)
            {
                return Fail(ENOLINK);
            }
            timings = {};
            timings.type = V4L2_DV_BT_656_1120;
            timings.bt.width = camera.signalSize->first;
            timings.bt.height = camera.signalSize->second;
            return 0;
        }
        if (!state.buffers.empty())
        {
            return Fail(EBUSY); // videobuf2 refuses while buffers are allocated
        }
        const std::uint32_t width = timings.bt.width, height = timings.bt.height; // packed fields
        state.timings = std::pair{width, height};
        ++state.timingsSet;
        return 0;
    }
    case VIDIOC_SUBSCRIBE_EVENT:
    {
        const auto& subscription = *static_cast<const v4l2_event_subscription*>(argument);
        if (!camera.dvTimings || subscription.type != V4L2_EVENT_SOURCE_CHANGE)
        {
            return Fail(EINVAL);
        }
        state.sourceEvents = true;
        return 0;
    }
    case VIDIOC_DQEVENT:
    {
        if (!state.sourceChanged)
        {
            return Fail(ENOENT);
        }
        state.sourceChanged = false;
        auto& event = *static_cast<v4l2_event*>(argument);
        event = {};
        event.type = V4L2_EVENT_SOURCE_CHANGE;
        event.u.src_change.changes = V4L2_EVENT_SRC_CH_RESOLUTION;
        return 0;
    }
    default:
        return Fail(ENOTTY);
    }
}

void* FakeV4l2Kernel::Mmap(std::size_t length, int /*protection*/, int /*flags*/, int fd, off_t offset)
{
    std::lock_guard lock(mutex);
    const auto file = files.find(fd);
    if (file == files.end())
    {
        errno = EBADF;
        return MAP_FAILED;
    }
    State& state = *file->second.state;
    const auto index = static_cast<std::size_t>(offset >> 12);
    const auto plane = static_cast<std::size_t>(offset >> 8 & 0xF);
    if (state.owner != fd || index >= state.buffers.size() || plane >= state.buffers[index].planes.size() ||
        length > state.buffers[index].planes[plane]->size())
    {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (std::count_if(mappings.begin(), mappings.end(),
                      [&](const auto& mapping)
                      {
                          return std::any_of(state.buffers.begin(), state.buffers.end(),
                                             [&](const Buffer& buffer) {
                                                 return std::find(buffer.planes.begin(), buffer.planes.end(),
                                                                  mapping.second) != buffer.planes.end();
                                             });
                      }) >= static_cast<std::ptrdiff_t>(state.camera.mapLimit))
    {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    auto memory = state.buffers[index].planes[plane];
    // Every mapping gets an address of its own, as mmap would give.
    void* address = memory->data();
    for (const auto& [mapped, owner] : mappings)
    {
        if (mapped == address)
        {
            errno = EINVAL; // mapped twice; the back-end never does it
            return MAP_FAILED;
        }
    }
    mappings[address] = std::move(memory);
    return address;
}

int FakeV4l2Kernel::Munmap(void* address, std::size_t /*length*/)
{
    std::lock_guard lock(mutex);
    return mappings.erase(address) ? 0 : Fail(EINVAL);
}

int FakeV4l2Kernel::Poll(pollfd* fds, nfds_t count, int timeoutMilliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        std::vector<pollfd> real;
        std::vector<nfds_t> realIndex;
        int ready = 0;
        auto due = std::chrono::steady_clock::time_point::max();
        {
            std::lock_guard lock(mutex);
            const auto now = std::chrono::steady_clock::now();
            for (nfds_t index = 0; index < count; ++index)
            {
                fds[index].revents = 0;
                const auto file = files.find(fds[index].fd);
                if (file == files.end())
                {
                    real.push_back({fds[index].fd, fds[index].events, 0});
                    realIndex.push_back(index);
                    continue;
                }
                fds[index].revents = static_cast<short>(Readiness(*file->second.state, now, due) &
                                                        (fds[index].events | POLLERR | POLLHUP | POLLNVAL));
                ready += fds[index].revents != 0;
                // Drained here and watched below: any change to the node ends the wait.
                std::uint64_t drained;
                [[maybe_unused]] auto read = ::read(file->second.wakeEvent, &drained, sizeof drained);
                real.push_back({file->second.wakeEvent, POLLIN, 0});
                realIndex.push_back(count);
            }
        }
        int wait = ready ? 0 : timeoutMilliseconds;
        if (!ready)
        {
            const auto now = std::chrono::steady_clock::now();
            if (due != std::chrono::steady_clock::time_point::max())
            {
                const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
                wait = wait < 0 ? static_cast<int>(std::max<long>(untilDue, 0))
                                : std::min(wait, static_cast<int>(std::max<long>(untilDue, 0)));
            }
            if (timeoutMilliseconds >= 0)
            {
                const auto left = timeoutMilliseconds -
                                  std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
                if (left <= 0)
                {
                    return 0;
                }
                wait = std::min<int>(wait, static_cast<int>(left));
            }
        }
        if (::poll(real.data(), real.size(), wait) < 0)
        {
            return -1;
        }
        for (std::size_t index = 0; index < real.size(); ++index)
        {
            if (realIndex[index] < count && real[index].revents)
            {
                fds[realIndex[index]].revents = real[index].revents;
                ++ready;
            }
        }
        if (ready)
        {
            return ready;
        }
    }
}

std::vector<std::string> FakeV4l2Kernel::ListNodes()
{
    std::lock_guard lock(mutex);
    std::vector<std::string> nodes;
    for (const auto& state : states)
    {
        if (state->present)
        {
            nodes.push_back(state->camera.node);
        }
    }
    return nodes;
}

void FakeV4l2Kernel::AnnounceNodes()
{
    for (const int watch : nodeWatches)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(watch, &one, sizeof one);
    }
}

std::unique_ptr<FakeV4l2Kernel::NodeEvents> FakeV4l2Kernel::WatchNodes()
{
    class Watch final : public NodeEvents
    {
    public:
        explicit Watch(FakeV4l2Kernel& kernel)
            : kernel(kernel), event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
        {
            std::lock_guard lock(kernel.mutex);
            kernel.nodeWatches.push_back(event);
        }
        ~Watch() override
        {
            {
                std::lock_guard lock(kernel.mutex);
                std::erase(kernel.nodeWatches, event);
            }
            ::close(event);
        }
        int GetDescriptor() const override { return event; }
        void Drain() override
        {
            std::uint64_t count = 0;
            [[maybe_unused]] auto read = ::read(event, &count, sizeof count);
        }

    private:
        FakeV4l2Kernel& kernel;
        int event;
    };
    return std::make_unique<Watch>(*this);
}

std::string FakeV4l2Kernel::GetPersistentPath(const std::string& node)
{
    std::lock_guard lock(mutex);
    const auto& state = Find(node);
    return state.camera.persistentPath.empty() ? node : state.camera.persistentPath;
}

} // namespace Norvex::Testing
