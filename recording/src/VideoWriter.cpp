#include "VideoWriter.h"

#include "AviFileWriter.h"
#include "FfmpegMovieWriter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <immintrin.h>

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

// Blue, green, red of each 4-byte pixel into 3 bytes; returns how many pixels it converted (it
// leaves a few at the end to the caller). Memory-bound: one shuffle per four pixels.
__attribute__((target("ssse3"))) std::int32_t ConvertPixelsSsse3(const unsigned char* source,
                                                                 unsigned char* target, std::int32_t columns)
{
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::int32_t x = 0;
    // Each 16-byte store runs 4 bytes past its 12, which the next store or the tail covers; the
    // last store ends two pixels before the row does.
    for (; x + 6 <= columns; x += 4)
    {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 4 * std::size_t(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 3 * std::size_t(x)),
                         _mm_shuffle_epi8(pixels, order));
    }
    return x;
}

std::int32_t ConvertPixelsPortable(const unsigned char* source, unsigned char* target, std::int32_t columns)
{
    std::int32_t x = 0;
    // Four pixels (16 bytes) become three little-endian words (12 bytes).
    for (; x + 4 <= columns; x += 4)
    {
        std::uint32_t p[4];
        std::memcpy(p, source + 4 * std::size_t(x), sizeof p);
        const std::uint32_t words[3] = {(p[0] & 0xFFFFFFu) | p[1] << 24, (p[1] >> 8 & 0xFFFFu) | p[2] << 16,
                                        (p[2] >> 16 & 0xFFu) | p[3] << 8};
        std::memcpy(target + 3 * std::size_t(x), words, sizeof words);
    }
    return x;
}

std::int32_t ConvertPixels(const unsigned char* source, unsigned char* target, std::int32_t columns)
{
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return ssse3 ? ConvertPixelsSsse3(source, target, columns)
                 : ConvertPixelsPortable(source, target, columns);
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
                       : format == Wmv3 ? FfmpegMovieWriter::Codec::Wmv3
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
    aviFile->AddFrame(
        [&](unsigned char* target, std::uint32_t firstRow, std::uint32_t rowCount)
        {
            for (std::uint32_t row = firstRow; row < firstRow + rowCount; ++row, target += rowSize)
            {
                // The file's rows run bottom-up: its last row is the frame's top row.
                const std::int32_t y = height - 1 - static_cast<std::int32_t>(row);
                std::size_t written = 0;
                if (y < rows)
                {
                    const auto* source = reinterpret_cast<const unsigned char*>(frame.Row(y));
                    const std::int32_t converted = ConvertPixels(source, target, columns);
                    for (std::int32_t x = converted; x < columns; ++x)
                    {
                        target[3 * x] = source[4 * x];
                        target[3 * x + 1] = source[4 * x + 1];
                        target[3 * x + 2] = source[4 * x + 2];
                    }
                    written = 3 * std::size_t(columns);
                }
                // Padding, and what the frame does not cover, is black.
                std::memset(target + written, 0, rowSize - written);
            }
        });
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
