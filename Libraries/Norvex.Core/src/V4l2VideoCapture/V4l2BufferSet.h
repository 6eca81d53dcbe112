#pragma once

#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// The node's mmap buffers: requested (VIDIOC_REQBUFS), every plane of every buffer mapped, and
// queued, all when the set is made; unmapped and given back to the driver together when it is
// destroyed. The driver may give fewer buffers than asked. Single-planar buffers have one plane;
// multi-planar ones one per memory plane of the format (NV12M two, YUV420M three, YUYV one).
//
// Threads: made and destroyed on the controlling thread while no capture thread runs; Dequeue,
// Queue and GetPlanes run on the capture thread only.
class V4l2BufferSet
{
public:
    // The filled memory planes of one dequeued buffer.
    struct Planes
    {
        const unsigned char* data[VIDEO_MAX_PLANES] = {};
        std::size_t size[VIDEO_MAX_PLANES] = {};
        std::size_t count = 0;
    };

    // `bufferType`: V4L2_BUF_TYPE_VIDEO_CAPTURE or V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE.
    V4l2BufferSet(std::shared_ptr<const V4l2FileHandle> handle, std::uint32_t bufferType,
                  std::uint32_t count);
    V4l2BufferSet(const V4l2BufferSet&) = delete;
    V4l2BufferSet& operator=(const V4l2BufferSet&) = delete;
    ~V4l2BufferSet();

    std::size_t Count() const noexcept { return buffers.size(); }
    // The length of the largest first plane.
    std::size_t LargestLength() const noexcept;

    // VIDIOC_DQBUF: false with errno set when no buffer came out. A multi-planar buffer's plane
    // descriptions live in the set until the next Dequeue.
    bool Dequeue(v4l2_buffer& buffer);
    // VIDIOC_QBUF of a buffer Dequeue gave: false with errno set when the driver refused it.
    bool Queue(v4l2_buffer& buffer) const;
    // VIDIOC_QBUF of every buffer, as after a STREAMOFF: false with errno set at the first the
    // driver refused.
    bool QueueAll() const;
    // The bytes the driver filled in each plane of a dequeued buffer; false for a buffer the set
    // does not have.
    bool GetPlanes(const v4l2_buffer& buffer, Planes& planes) const noexcept;

private:
    class MappedBuffer;

    void Release() noexcept;

    std::shared_ptr<const V4l2FileHandle> handle;
    std::uint32_t bufferType;
    std::vector<std::unique_ptr<MappedBuffer>> buffers;
    v4l2_plane dequeuedPlanes[VIDEO_MAX_PLANES] = {}; // the capture thread's
};

} // namespace Norvex::Core::V4l2VideoCapture
