#pragma once

#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace VistelCapture
{

// Hands the newest processed image from the capture thread to the preview: three buffers, so the
// producer copies into its own, the consumer paints from its own, and a publication is a swap.
// Where the image is the device's frame itself (no processor image), nothing is copied: the
// publication only says so, the buffers give up their pixels, and the consumer paints from the
// device's frame under its lock.
// The consumer never sees a torn image, never waits for more than a swap, and skips images it was
// too slow to show instead of queueing them.
//
// Threads: Publish from one producer at a time (the model calls it under its frame lock, on the
// capture thread or the user-interface thread); Take from one consumer (the preview).
class LatestImageMailbox
{
public:
    using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;
    using Clock = std::chrono::steady_clock;

    // A tight BGRA picture (stride = width * 4).
    struct Buffer
    {
        std::vector<std::uint32_t> pixels;
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::uint64_t sequence = 0; // 1 for the first image published, 0 for none
        Clock::time_point published;
        bool deviceFrame = false; // no pixels: the image is the device's frame

        Image View() noexcept;
        void Resize(std::int32_t width, std::int32_t height);
    };

    // Copies image into a buffer of width x height (the frame format's size: what lies outside
    // image stays black) and makes it the newest.
    void Publish(const Image& image, std::int32_t width, std::int32_t height);
    // Makes the device's frame (width x height) the newest image, without a copy.
    void PublishDeviceFrame(std::int32_t width, std::int32_t height);

    // When an image newer than the last taken one exists, swaps it into buffer (whose old contents
    // go back to the producer) and returns true.
    bool Take(Buffer& buffer);

    std::uint64_t GetPublishedCount() const;

private:
    void Swap();                                   // `back` becomes the newest image
    Buffer back;                                   // the producer's; guarded by the caller
    mutable Norvex::Core::CriticalSection section; // leaf lock
    Buffer ready;                                  // guarded by section
    bool fresh = false;                            // guarded by section
    std::uint64_t published = 0;                   // guarded by section
};

} // namespace VistelCapture
