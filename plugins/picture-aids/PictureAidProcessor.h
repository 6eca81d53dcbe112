#pragma once

#include "ImageView.h"

#include <Vistel/Framework/ProcessorBase.h>

#include <opencv2/core.hpp>

#include <atomic>
#include <mutex>
#include <string>

namespace Vistel::PictureAids
{

// What the inspection processors share: an output image of their own that GetImage shows, the
// frame size the pointer and the stored regions refer to, and INI access in their own section.
//
// Threads: Process runs on the capture thread under the host's frame lock; every other slot on
// the user-interface thread. outputMutex guards the output image between them.
class PictureAidProcessor : public Vistel::Framework::ProcessorBase
{
public:
    // Processors that draw into a copy of the frame show it; the others show the source.
    const Image* GetImage() override;
    // A new frame format makes the old output the wrong size: the source shows until the next frame.
    Norvex::Core::HRESULT Reset() override;

protected:
    explicit PictureAidProcessor(std::wstring section) : section(std::move(section)) {}

    // The current frame format's size; before the host has one, the last frame's.
    cv::Size CurrentFrameSize();
    // Called after the frame size changed on the user-interface thread (Initialize, Reset).
    virtual void OnFrameSizeChanged(cv::Size) {}

    std::int32_t ReadInt(const wchar_t* key, std::int32_t defaultValue, std::int32_t minimum,
                         std::int32_t maximum);
    void WriteInt(const wchar_t* key, std::int32_t value);

    // Capture thread: the source frame as a matrix, empty when there is none; and the output
    // image sized like it, as a matrix over its pixels (lock outputMutex while writing it).
    cv::Mat SourceMat();
    cv::Mat OutputMat(cv::Size size);

    const std::wstring section;
    std::mutex outputMutex;
    Image output;             // guarded by outputMutex
    bool showsOutput = false; // guarded by outputMutex: output holds a processed frame

private:
    std::atomic<int> lastFrameWidth{0};
    std::atomic<int> lastFrameHeight{0};
};

} // namespace Vistel::PictureAids
