#pragma once

#include "V4l2VideoCapture/V4l2FileHandle.h"

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// The node's mmap buffers: requested (VIDIOC_REQBUFS), mapped and queued together when made,
// unmapped and given back to the driver together when destroyed. The driver may give fewer than
// asked.
//
// Threads: made and destroyed on the controlling thread while no capture thread runs; Dequeue
// and Queue run on the capture thread only.
class V4l2BufferSet
{
public:
    V4l2BufferSet(std::shared_ptr<const V4l2FileHandle> handle, std::uint32_t count);
    V4l2BufferSet(const V4l2BufferSet&) = delete;
    V4l2BufferSet& operator=(const V4l2BufferSet&) = delete;
    ~V4l2BufferSet();

    std::size_t Count() const noexcept { return buffers.size(); }
    // The length of the largest buffer.
    std::size_t LargestLength() const noexcept;

    // VIDIOC_DQBUF: false with errno set when no buffer came out.
    bool Dequeue(v4l2_buffer& buffer) const;
    // VIDIOC_QBUF of a dequeued buffer: false with errno set when the driver refused it.
    bool Queue(v4l2_buffer& buffer) const;
    // The bytes of a dequeued buffer that the driver filled; null for an index the set lacks.
    const unsigned char* Data(const v4l2_buffer& buffer, std::size_t& size) const noexcept;

private:
    class MappedBuffer;

    void Release() noexcept;

    std::shared_ptr<const V4l2FileHandle> handle;
    std::vector<std::unique_ptr<MappedBuffer>> buffers;
};

} // namespace Norvex::Core::V4l2VideoCapture
