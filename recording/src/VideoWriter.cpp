#include "VideoWriter.h"

#include "AviFileWriter.h"
#include "FfmpegMovieWriter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

using Norvex::Core::CriticalSection;
using Norvex::Core::Exception;
using Norvex::Core::ThrowUnexpected;

namespace VistelCapture
{
namespace
{

using Frame = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

bool IsKnownFormat(VideoWriter::Format format)
{
    return format >= VideoWriter::Avi && format <= VideoWriter::H264;
}

} // namespace

VideoWriter::VideoWriter() : VideoWriter(Clock(&std::chrono::steady_clock::now)) {}

VideoWriter::VideoWriter(Clock clock)
    : aviFile(std::make_unique<AviFileWriter>()), movieFile(std::make_unique<FfmpegMovieWriter>()),
      clock(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now))
{
}

VideoWriter::~VideoWriter()
{
    try
    {
        Close();
    }
    catch (const Exception& exception)
    {
        // Nobody is left to tell but the console.
        std::fprintf(stderr, "~VideoWriter: %s", Norvex::Core::ToUtf8(exception.GetMessage()).c_str());
    }
    catch (...)
    {
        std::fprintf(stderr, "~VideoWriter: unknown failure\n");
    }
}

void VideoWriter::Open(Format newFormat, const std::wstring& filePath, std::int32_t newWidth,
                       std::int32_t newHeight, double newFrameRate, std::uint32_t bitRate)
{
    CriticalSection::AutoLock guard(lock);
    // After a rejected format nothing is open, and Close alone reports that state.
    if (IsKnownFormat(format))
    {
        CloseLocked();
    }
    format = newFormat;
    bytesPerInputPixel = 4;
    width = newWidth;
    height = newHeight;
    frameRate = newFrameRate;
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (format == Wmv3)
    {
        throw Exception(L"WMV3 はこのシステムではエンコードできません。別の動画形式を選んでください。\n",
                        "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    // A rate of zero or less would make every frame last forever.
    if (!(frameRate > 0) || !std::isfinite(frameRate))
    {
        throw Exception(L"動画のフレームレートには 0 より大きい値を指定してください。\n", "Open",
                        NORVEX_SOURCE_FILE, __LINE__);
    }
    if (width <= 0 || height <= 0)
    {
        throw Exception(L"動画の幅と高さには 1 以上の値を指定してください。\n", "Open", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    const std::string path = Norvex::Core::ToUtf8(filePath);
    if (format == Avi)
    {
        aviFile->Open(path, width, height, frameRate);
        stride = -static_cast<std::int32_t>(aviFile->GetRowSize());
        aviFrame.assign(aviFile->GetFrameSize(), 0);
        return;
    }
    // 4:2:0 pictures are made of 2 x 2 blocks.
    if (format == H264 && (width % 2 != 0 || height % 2 != 0))
    {
        throw Exception(L"H.264 の動画の幅と高さは偶数でなければなりません。\n", "Open", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    const auto codec = format == Wmv1   ? FfmpegMovieWriter::Codec::Wmv1
                       : format == Wmv2 ? FfmpegMovieWriter::Codec::Wmv2
                                        : FfmpegMovieWriter::Codec::H264;
    movieFile->Open(codec, path, width, height, frameRate, bitRate);
    stride = bytesPerInputPixel * width;
    timingStarted = false;
    frameDuration = static_cast<std::int64_t>(10000000.0 / frameRate);
}

void VideoWriter::AddFrame(const Frame& frame)
{
    CriticalSection::AutoLock guard(lock);
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (format == Avi)
    {
        if (aviFile->IsOpen())
        {
            AddAviFrame(frame);
        }
        return;
    }
    if (!movieFile->IsOpen())
    {
        return;
    }
    const auto now = clock();
    if (!timingStarted)
    {
        startTime = now;
        timingStarted = true;
    }
    // Wall-clock time since the first frame in 100 ns units, rounded half away from zero.
    const double elapsed = std::chrono::duration<double, std::ratio<1, 10000000>>(now - startTime).count();
    movieFile->AddFrame(frame, std::llround(elapsed), frameDuration);
}

void VideoWriter::AddAviFrame(const Frame& frame)
{
    const std::size_t rowSize = static_cast<std::size_t>(-stride);
    const std::int32_t rows = frame.data ? std::clamp(frame.height, 0, height) : 0;
    const std::int32_t columns = frame.data ? std::clamp(frame.width, 0, width) : 0;
    if (rows < height || columns < width)
    {
        // What the frame does not cover is black.
        std::fill(aviFrame.begin(), aviFrame.end(), 0);
    }
    for (std::int32_t y = 0; y < rows; ++y)
    {
        // Top row last: the file's rows run bottom-up.
        unsigned char* target = aviFrame.data() + static_cast<std::size_t>(height - 1 - y) * rowSize;
        const auto* source = reinterpret_cast<const unsigned char*>(frame.Row(y));
        for (std::int32_t x = 0; x < columns; ++x)
        {
            target[0] = source[0];
            target[1] = source[1];
            target[2] = source[2];
            target += 3;
            source += 4;
        }
    }
    aviFile->AddFrame(aviFrame.data());
}

void VideoWriter::Close()
{
    CriticalSection::AutoLock guard(lock);
    CloseLocked();
}

void VideoWriter::CloseLocked()
{
    if (!IsKnownFormat(format))
    {
        ThrowUnexpected("Close", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (aviFile->IsOpen())
    {
        aviFile->Close();
    }
    if (movieFile->IsOpen())
    {
        movieFile->Close();
    }
}

bool VideoWriter::IsOpen()
{
    CriticalSection::AutoLock guard(lock);
    return aviFile->IsOpen() || movieFile->IsOpen();
}

} // namespace VistelCapture
