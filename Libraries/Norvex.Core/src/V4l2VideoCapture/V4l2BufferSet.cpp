#include "V4l2VideoCapture/V4l2BufferSet.h"

#include <Norvex/Core/Exception.h>

#include <algorithm>
#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{

// The planes of one buffer mapped into this process, unmapped when the object goes.
class V4l2BufferSet::MappedBuffer
{
public:
    explicit MappedBuffer(const V4l2FileHandle& handle) : handle(handle) {}
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer()
    {
        for (const auto& plane : planes)
        {
            handle.Unmap(plane.address, plane.length);
        }
    }

    void Map(std::size_t length, std::uint32_t offset)
    {
        planes.reserve(VIDEO_MAX_PLANES);
        planes.push_back({handle.Map(length, offset, "Start"), length});
    }

    struct Plane
    {
        void* address;
        std::size_t length;
    };
    std::vector<Plane> planes;

private:
    const V4l2FileHandle& handle;
};

V4l2BufferSet::V4l2BufferSet(std::shared_ptr<const V4l2FileHandle> handleToUse, std::uint32_t type,
                             std::uint32_t count)
    : handle(std::move(handleToUse)), bufferType(type)
{
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    handle->Require(VIDIOC_REQBUFS, &request, "VIDIOC_REQBUFS", "Start");
    try
    {
        if (request.count == 0)
        {
            handle->Raise(HRESULT_FROM_WIN32(ENOMEM), "VIDIOC_REQBUFS", "Start");
        }
        const bool planar = bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        for (std::uint32_t index = 0; index < request.count; ++index)
        {
            v4l2_plane planes[VIDEO_MAX_PLANES] = {};
            v4l2_buffer buffer{};
            buffer.index = index;
            buffer.type = bufferType;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (planar)
            {
                buffer.m.planes = planes;
                buffer.length = VIDEO_MAX_PLANES;
            }
            handle->Require(VIDIOC_QUERYBUF, &buffer, "VIDIOC_QUERYBUF", "Start");
            buffers.push_back(std::make_unique<MappedBuffer>(*handle));
            if (!planar)
            {
                buffers.back()->Map(buffer.length, buffer.m.offset);
            }
            else if (buffer.length == 0 || buffer.length > VIDEO_MAX_PLANES)
            {
                handle->Raise(HRESULT_FROM_WIN32(EINVAL), "VIDIOC_QUERYBUF", "Start");
            }
            else
            {
                for (std::uint32_t plane = 0; plane < buffer.length; ++plane)
                {
                    buffers.back()->Map(planes[plane].length, planes[plane].m.mem_offset);
                }
            }
        }
        if (!QueueAll())
        {
            handle->Raise(HRESULT_FROM_WIN32(errno), "VIDIOC_QBUF", "Start");
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
    request.type = bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    handle->Ioctl(VIDIOC_REQBUFS, &request);
}

std::size_t V4l2BufferSet::LargestLength() const noexcept
{
    std::size_t largest = 0;
    for (const auto& buffer : buffers)
    {
        largest = std::max(largest, buffer->planes.front().length);
    }
    return largest;
}

bool V4l2BufferSet::Dequeue(v4l2_buffer& buffer)
{
    buffer = {};
    buffer.type = bufferType;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
    {
        std::fill(std::begin(dequeuedPlanes), std::end(dequeuedPlanes), v4l2_plane{});
        buffer.m.planes = dequeuedPlanes;
        buffer.length = VIDEO_MAX_PLANES;
    }
    return handle->Ioctl(VIDIOC_DQBUF, &buffer) == 0;
}

bool V4l2BufferSet::Queue(v4l2_buffer& buffer) const
{
    return handle->Ioctl(VIDIOC_QBUF, &buffer) == 0;
}

bool V4l2BufferSet::QueueAll() const
{
    for (std::uint32_t index = 0; index < buffers.size(); ++index)
    {
        v4l2_plane planes[VIDEO_MAX_PLANES] = {};
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = bufferType;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
        {
            buffer.m.planes = planes;
            buffer.length = VIDEO_MAX_PLANES;
        }
        if (!Queue(buffer))
        {
            return false;
        }
    }
    return true;
}

bool V4l2BufferSet::GetPlanes(const v4l2_buffer& buffer, Planes& planes) const noexcept
{
    planes = {};
    if (buffer.index >= buffers.size())
    {
        return false;
    }
    const auto& mapped = buffers[buffer.index]->planes;
    if (bufferType != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
    {
        planes.count = 1;
        planes.data[0] = static_cast<const unsigned char*>(mapped.front().address);
        planes.size[0] = std::min<std::size_t>(buffer.bytesused, mapped.front().length);
        return true;
    }
    if (!buffer.m.planes || buffer.length != mapped.size())
    {
        return false;
    }
    planes.count = mapped.size();
    for (std::size_t plane = 0; plane < mapped.size(); ++plane)
    {
        // The picture starts data_offset bytes into the plane; bytesused counts them too.
        const auto& filled = buffer.m.planes[plane];
        const std::size_t used = std::min<std::size_t>(filled.bytesused, mapped[plane].length);
        const std::size_t offset = std::min<std::size_t>(filled.data_offset, used);
        planes.data[plane] = static_cast<const unsigned char*>(mapped[plane].address) + offset;
        planes.size[plane] = used - offset;
    }
    return true;
}

} // namespace Norvex::Core::V4l2VideoCapture
