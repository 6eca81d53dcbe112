#include "V4l2VideoCapture/V4l2BufferSet.h"

#include <Norvex/Core/Exception.h>

#include <algorithm>
#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{

// One buffer of the node mapped into this process, unmapped when the object goes.
class V4l2BufferSet::MappedBuffer
{
public:
    MappedBuffer(const V4l2FileHandle& handle, const v4l2_buffer& buffer)
        : handle(handle), length(buffer.length), address(handle.Map(length, buffer.m.offset, "Start"))
    {
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer() { handle.Unmap(address, length); }

    const unsigned char* Data() const noexcept { return static_cast<const unsigned char*>(address); }
    std::size_t Length() const noexcept { return length; }

private:
    const V4l2FileHandle& handle;
    std::size_t length;
    void* address;
};

V4l2BufferSet::V4l2BufferSet(std::shared_ptr<const V4l2FileHandle> handleToUse, std::uint32_t count)
    : handle(std::move(handleToUse))
{
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    handle->Require(VIDIOC_REQBUFS, &request, "VIDIOC_REQBUFS", "Start");
    try
    {
        if (request.count == 0)
        {
            ThrowErrno(ENOMEM, "Start", NORVEX_SOURCE_FILE, __LINE__);
        }
        for (std::uint32_t index = 0; index < request.count; ++index)
        {
            v4l2_buffer buffer{};
            buffer.index = index;
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            handle->Require(VIDIOC_QUERYBUF, &buffer, "VIDIOC_QUERYBUF", "Start");
            buffers.push_back(std::make_unique<MappedBuffer>(*handle, buffer));
            handle->Require(VIDIOC_QBUF, &buffer, "VIDIOC_QBUF", "Start");
        }
    }
    catch (...)
    {
        Release();
        throw;
    }
}

V4l2BufferSet::~V4l2BufferSet()
{
    Release();
}

void V4l2BufferSet::Release() noexcept
{
    buffers.clear();
    // Frees the driver's buffers once none is mapped any more.
    v4l2_requestbuffers request{};
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    handle->Ioctl(VIDIOC_REQBUFS, &request);
}

std::size_t V4l2BufferSet::LargestLength() const noexcept
{
    std::size_t largest = 0;
    for (const auto& buffer : buffers)
    {
        largest = std::max(largest, buffer->Length());
    }
    return largest;
}

bool V4l2BufferSet::Dequeue(v4l2_buffer& buffer) const
{
    buffer = {};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return handle->Ioctl(VIDIOC_DQBUF, &buffer) == 0;
}

bool V4l2BufferSet::Queue(v4l2_buffer& buffer) const
{
    return handle->Ioctl(VIDIOC_QBUF, &buffer) == 0;
}

const unsigned char* V4l2BufferSet::Data(const v4l2_buffer& buffer, std::size_t& size) const noexcept
{
    if (buffer.index >= buffers.size())
    {
        size = 0;
        return nullptr;
    }
    const auto& mapped = *buffers[buffer.index];
    size = std::min<std::size_t>(buffer.bytesused, mapped.Length());
    return mapped.Data();
}

} // namespace Norvex::Core::V4l2VideoCapture
