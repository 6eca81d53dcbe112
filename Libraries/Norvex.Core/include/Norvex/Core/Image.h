#pragma once

#include <Norvex/Core/LargePageAllocator.h>
#include <Norvex/Core/Pixel.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Norvex::Core
{

// A top-down picture. The field order is part of the plug-in boundary. An image that owns its
// pixels keeps them in buffer with stride = width * sizeof(TPixel); copies always own theirs.
// The buffer's allocator changes where whole-frame pixels live, not the field's layout.
template <class TPixel> struct Image
{
    TPixel* data = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0;
    std::vector<TPixel, LargePageAllocator<TPixel>> buffer;

    Image() = default;
    Image(std::int32_t width, std::int32_t height) { Resize(width, height); }
    Image(const Image& other) { CopyFrom(other); }
    Image& operator=(const Image& other)
    {
        if (this != &other)
        {
            CopyFrom(other);
        }
        return *this;
    }
    Image(Image&& other) noexcept { *this = std::move(other); }
    Image& operator=(Image&& other) noexcept
    {
        if (this != &other)
        {
            const bool owned = other.OwnsPixels();
            buffer = std::move(other.buffer);
            data = owned ? buffer.data() : other.data;
            width = other.width;
            height = other.height;
            stride = other.stride;
            other.data = nullptr;
            other.width = other.height = other.stride = 0;
            other.buffer.clear();
        }
        return *this;
    }

    // Replaces the picture with width x height default pixels (opaque black).
    void Resize(std::int32_t newWidth, std::int32_t newHeight)
    {
        buffer.clear();
        if (newWidth <= 0 || newHeight <= 0)
        {
            newWidth = newHeight = 0;
        }
        buffer.resize(static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight));
        data = buffer.empty() ? nullptr : buffer.data();
        width = newWidth;
        height = newHeight;
        stride = newWidth * static_cast<std::int32_t>(sizeof(TPixel));
    }

    TPixel* Row(std::int32_t y) noexcept
    {
        return reinterpret_cast<TPixel*>(reinterpret_cast<unsigned char*>(data) + std::ptrdiff_t(y) * stride);
    }
    const TPixel* Row(std::int32_t y) const noexcept
    {
        return reinterpret_cast<const TPixel*>(reinterpret_cast<const unsigned char*>(data) +
                                               std::ptrdiff_t(y) * stride);
    }
    TPixel& At(std::int32_t x, std::int32_t y) noexcept { return Row(y)[x]; }
    const TPixel& At(std::int32_t x, std::int32_t y) const noexcept { return Row(y)[x]; }

    bool Contains(std::int32_t x, std::int32_t y) const noexcept
    {
        return data && x >= 0 && y >= 0 && x < width && y < height;
    }

private:
    bool OwnsPixels() const noexcept { return !buffer.empty() && data == buffer.data(); }

    void CopyFrom(const Image& other)
    {
        if (width != other.width || height != other.height || !OwnsPixels())
        {
            Resize(other.width, other.height);
        }
        if (!other.data)
        {
            return;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(width) * sizeof(TPixel);
        for (std::int32_t y = 0; y < height; ++y)
        {
            std::memcpy(Row(y), other.Row(y), rowBytes);
        }
    }
};

} // namespace Norvex::Core
