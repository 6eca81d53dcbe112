#include "LatestImageMailbox.h"

#include <algorithm>
#include <cstring>
#include <utility>

using Norvex::Core::CriticalSection;

namespace
{
constexpr std::uint32_t opaqueBlack = 0xFF000000u; // BGRA in memory: alpha last
}

namespace VistelCapture
{

LatestImageMailbox::Image LatestImageMailbox::Buffer::View() noexcept
{
    Image image;
    image.data = reinterpret_cast<Norvex::Core::Pixel<unsigned char>*>(pixels.data());
    image.width = width;
    image.height = height;
    image.stride = width * 4;
    return image;
}

void LatestImageMailbox::Buffer::Resize(std::int32_t newWidth, std::int32_t newHeight)
{
    width = std::max(newWidth, 0);
    height = std::max(newHeight, 0);
    pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), opaqueBlack);
}

void LatestImageMailbox::Publish(const Image& image, std::int32_t width, std::int32_t height)
{
    if (back.width != width || back.height != height ||
        back.pixels.size() !=
            static_cast<std::size_t>(std::max(width, 0)) * static_cast<std::size_t>(std::max(height, 0)))
    {
        back.Resize(width, height);
    }
    back.deviceFrame = false;
    // Never read past the image: a processor may hand out another size than the format's.
    const std::int32_t rows = image.data ? std::min(image.height, height) : 0;
    const std::int32_t columns = image.data ? std::clamp(image.width, 0, width) : 0;
    const std::size_t rowBytes = static_cast<std::size_t>(columns) * 4;
    const bool sameShape = columns == width && image.stride == width * 4 && rows == height;
    if (sameShape && rows > 0)
    {
        std::memcpy(back.pixels.data(), image.data, rowBytes * static_cast<std::size_t>(rows));
    }
    else
    {
        std::fill(back.pixels.begin(), back.pixels.end(), opaqueBlack);
        for (std::int32_t y = 0; y < rows; ++y)
        {
            std::memcpy(&back.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width)],
                        image.Row(y), rowBytes);
        }
    }
    Swap();
}

void LatestImageMailbox::PublishDeviceFrame(std::int32_t width, std::int32_t height)
{
    // The pixels of a copy taken earlier are needed no more.
    std::vector<std::uint32_t>().swap(back.pixels);
    back.width = std::max(width, 0);
    back.height = std::max(height, 0);
    back.deviceFrame = true;
    Swap();
}

void LatestImageMailbox::Swap()
{
    back.published = Clock::now();
    CriticalSection::AutoLock lock(section);
    back.sequence = ++published;
    std::swap(back, ready);
    fresh = true;
}

bool LatestImageMailbox::Take(Buffer& buffer)
{
    CriticalSection::AutoLock lock(section);
    if (!fresh)
    {
        return false;
    }
    std::swap(ready, buffer);
    fresh = false;
    return true;
}

std::uint64_t LatestImageMailbox::GetPublishedCount() const
{
    CriticalSection::AutoLock lock(section);
    return published;
}

} // namespace VistelCapture
