#include "PictureAidProcessor.h"

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <algorithm>

namespace Vistel::PictureAids
{

const Image* PictureAidProcessor::GetImage()
{
    const Image* source = ProcessorBase::GetImage();
    std::lock_guard lock(outputMutex);
    // Never an image of another size than the frame: the preview copies it with the frame's size.
    const bool fits = source && source->width == output.width && source->height == output.height;
    return showsOutput && fits ? &output : source;
}

Norvex::Core::HRESULT PictureAidProcessor::Reset()
{
    const cv::Size size = CurrentFrameSize();
    {
        std::lock_guard lock(outputMutex);
        if (output.width != size.width || output.height != size.height)
        {
            showsOutput = false;
        }
    }
    OnFrameSizeChanged(size);
    return Norvex::Core::S_OK;
}

cv::Size PictureAidProcessor::CurrentFrameSize()
{
    if (auto* host = GetHostServices())
    {
        const std::int32_t index = host->GetFrameFormatIndex();
        if (index >= 0 && index < host->GetFrameFormatCount())
        {
            if (const auto* format = host->GetFrameFormat(index); format && *format)
            {
                return {(*format)->width, (*format)->height};
            }
        }
    }
    return {lastFrameWidth.load(), lastFrameHeight.load()};
}

std::int32_t PictureAidProcessor::ReadInt(const wchar_t* key, std::int32_t defaultValue, std::int32_t minimum,
                                          std::int32_t maximum)
{
    auto* host = GetHostServices();
    return std::clamp(host ? host->GetProfileInt(section, key, defaultValue) : defaultValue, minimum,
                      maximum);
}

void PictureAidProcessor::WriteInt(const wchar_t* key, std::int32_t value)
{
    // A settings file that cannot be written loses the choice at the next start, nothing more.
    if (auto* host = GetHostServices())
    {
        host->WriteProfileInt(section, key, value);
    }
}

cv::Mat PictureAidProcessor::SourceMat()
{
    auto* host = GetHostServices();
    const Image* source = host ? host->GetSourceImage() : nullptr;
    if (!source)
    {
        return {};
    }
    lastFrameWidth.store(source->width);
    lastFrameHeight.store(source->height);
    return MatOf(*source);
}

cv::Mat PictureAidProcessor::OutputMat(cv::Size size)
{
    if (output.width != size.width || output.height != size.height)
    {
        output.Resize(size.width, size.height);
    }
    return MatOf(output);
}

} // namespace Vistel::PictureAids
