#include "StillImageWriter.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/TemporaryFile.h>
#include <Norvex/Core/VideoCapture/Device.h>
#include <Norvex/Core/VideoCapture/JpegPlaneLayout.h>

#include <libyuv/convert_from_argb.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using Norvex::Core::Exception;
using Norvex::Core::ToUtf8;
using Norvex::Core::ToWideString;
using Image = Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>;

namespace VistelCapture
{
namespace
{

[[noreturn]] void RaiseErrno(int error, int line)
{
    Norvex::Core::ThrowErrno(error, "SaveFrame", NORVEX_SOURCE_FILE, line);
}

[[noreturn]] void RaiseEncoder(const std::string& detail, int line)
{
    throw Exception(L"画像を保存できませんでした。" + ToWideString(detail), "SaveFrame", NORVEX_SOURCE_FILE,
                    line);
}

// The encoders' output file: a temporary file whose failures are raised.
class EncodedFile
{
public:
    enum class Use
    {
        // Beside the file that Replace replaces: target itself, or where its links lead. Refused
        // before anything is encoded when that is not a regular file.
        Replacing,
        // Beside a new name that PlaceNew gives it.
        NewName,
    };

    EncodedFile(const std::string& target, Use use)
    {
        const int error = use == Use::Replacing ? file.CreateFor(target, 0644) : file.Create(target, 0644);
        if (error == Norvex::Core::TemporaryFile::notRegularFile)
        {
            Norvex::Core::ThrowNotRegularFile(target, "SaveFrame", NORVEX_SOURCE_FILE, __LINE__);
        }
        Check(error, __LINE__);
    }

    const std::string& Path() const noexcept { return file.Path(); }
    int Descriptor() const noexcept { return file.Descriptor(); }
    // The descriptor now belongs to the library that took it.
    void Release() noexcept { file.Release(); }
    void Write(const void* data, std::size_t size) { Check(file.Write(data, size), __LINE__); }
    void Replace() { Check(file.Replace(), __LINE__); }

    // Gives the file the name target unless that exists already; false then.
    bool PlaceNew(const std::string& target)
    {
        const int error = file.PlaceNew(target);
        if (error == EEXIST)
        {
            return false;
        }
        Check(error, __LINE__);
        return true;
    }

private:
    static void Check(int error, int line)
    {
        if (error != 0)
        {
            RaiseErrno(error, line);
        }
    }

    Norvex::Core::TemporaryFile file;
};

template <class T> void AppendLittleEndian(std::vector<unsigned char>& out, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i)
    {
        out.push_back(static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
}

// 32-bit rows written unchanged, bottom row first as BMP readers expect.
void EncodeBmp(const Image& image, EncodedFile& file)
{
    const std::uint32_t rowBytes = static_cast<std::uint32_t>(image.width) * 4;
    const std::uint32_t imageBytes = rowBytes * static_cast<std::uint32_t>(image.height);
    std::vector<unsigned char> header;
    header.reserve(54);
    header.push_back('B');
    header.push_back('M');
    AppendLittleEndian<std::uint32_t>(header, 54 + imageBytes);
    AppendLittleEndian<std::uint32_t>(header, 0);
    AppendLittleEndian<std::uint32_t>(header, 54);
    AppendLittleEndian<std::uint32_t>(header, 40);
    AppendLittleEndian<std::int32_t>(header, image.width);
    AppendLittleEndian<std::int32_t>(header, image.height);
    AppendLittleEndian<std::uint16_t>(header, 1);
    AppendLittleEndian<std::uint16_t>(header, 32);
    AppendLittleEndian<std::uint32_t>(header, 0); // BI_RGB
    AppendLittleEndian<std::uint32_t>(header, imageBytes);
    AppendLittleEndian<std::int32_t>(header, 3780); // 96 dpi
    AppendLittleEndian<std::int32_t>(header, 3780);
    AppendLittleEndian<std::uint32_t>(header, 0);
    AppendLittleEndian<std::uint32_t>(header, 0);
    file.Write(header.data(), header.size());
    for (std::int32_t y = image.height - 1; y >= 0; --y)
    {
        file.Write(image.Row(y), rowBytes);
    }
}

using Norvex::Core::VideoCapture::JpegPlaneLayout;

// libyuv converts to the planes and TurboJPEG compresses them: faster than TurboJPEG's own BGRX
// input, whose colour conversion is the slower part.
void ToJpegPlanes(const Image& image, std::vector<unsigned char>& planes)
{
    const JpegPlaneLayout layout(image.width, image.height);
    planes.resize(layout.Size());
    unsigned char* target[3];
    layout.Planes(planes.data(), target);
    // libyuv's "ARGB" is B, G, R, A in memory: our pixel order.
    if (libyuv::ARGBToJ420(reinterpret_cast<const std::uint8_t*>(image.data), image.stride, target[0],
                           image.width, target[1], layout.chromaWidth, target[2], layout.chromaWidth,
                           image.width, image.height) != 0)
    {
        RaiseEncoder("", __LINE__);
    }
}

// A compressor and its output buffer, kept by each thread that compresses: a still recording's
// thread makes one JPEG after another, and a buffer of TurboJPEG's worst-case size (6 MB at 1080p)
// allocated for each would be mapped, faulted in and unmapped every time.
class JpegCompressor
{
public:
    static JpegCompressor& OfThisThread()
    {
        thread_local JpegCompressor compressor;
        return compressor;
    }

    // The JPEG of the planes, valid until the next call on this thread.
    std::pair<const unsigned char*, unsigned long> Compress(const unsigned char* planes, int width,
                                                            int height)
    {
        if (!handle)
        {
            handle.reset(tjInitCompress());
            if (!handle)
            {
                RaiseEncoder(tjGetErrorStr(), __LINE__);
            }
        }
        const unsigned long needed = tjBufSize(width, height, TJSAMP_420);
        if (needed == static_cast<unsigned long>(-1))
        {
            RaiseEncoder(tjGetErrorStr2(handle.get()), __LINE__);
        }
        if (capacity < needed)
        {
            buffer.reset(tjAlloc(static_cast<int>(needed)));
            capacity = buffer ? needed : 0;
            if (!buffer)
            {
                RaiseEncoder("out of memory", __LINE__);
            }
        }
        const JpegPlaneLayout layout(width, height);
        const unsigned char* sources[3];
        layout.Planes(planes, sources);
        int strides[3];
        layout.Strides(strides);
        unsigned char* jpeg = buffer.get();
        unsigned long size = capacity;
        // The buffer holds the worst case, so TurboJPEG never replaces it.
        if (tjCompressFromYUVPlanes(handle.get(), sources, width, strides, height, TJSAMP_420, &jpeg, &size,
                                    90, TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC) != 0)
        {
            RaiseEncoder(tjGetErrorStr2(handle.get()), __LINE__);
        }
        return {jpeg, size};
    }

private:
    struct Destroy
    {
        void operator()(void* compressor) const noexcept { tjDestroy(compressor); }
    };
    struct Free
    {
        void operator()(unsigned char* bytes) const noexcept { tjFree(bytes); }
    };
    std::unique_ptr<void, Destroy> handle;
    std::unique_ptr<unsigned char, Free> buffer;
    unsigned long capacity = 0;
};

void CompressJpeg(const unsigned char* planes, int width, int height, EncodedFile& file)
{
    const auto [jpeg, size] = JpegCompressor::OfThisThread().Compress(planes, width, height);
    file.Write(jpeg, size);
}

void EncodeJpeg(const Image& image, EncodedFile& file)
{
    std::vector<unsigned char> planes;
    ToJpegPlanes(image, planes);
    CompressJpeg(planes.data(), image.width, image.height, file);
}

// Blue, green, red of each pixel, rows packed: what the TIFF encoder takes (libyuv's
// "RGB24" is that byte order).
std::vector<unsigned char> PackBgr(const Image& image)
{
    const int packedStride = image.width * 3;
    std::vector<unsigned char> packed(static_cast<std::size_t>(packedStride) * image.height);
    libyuv::ARGBToRGB24(reinterpret_cast<const std::uint8_t*>(image.data), image.stride, packed.data(),
                        packedStride, image.width, image.height);
    return packed;
}

// libpng reports errors by a long jump back to WritePng's setjmp.
[[noreturn]] void OnPngError(png_structp png, png_const_charp message)
{
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// The image's own BGRX rows, the fourth byte dropped by libpng. zlib's fastest level with each row filtered
// by SUB or UP, whichever libpng judges better: on a noisy 1080p camera picture 8 times as fast as libpng's
// defaults (level 6, all five filters; 0.57 s) for a file 6 per cent larger. Nothing that needs destroying
// lives in this frame across the long jump.
bool WritePng(const Image& image, FILE* stream, std::string& message)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info)
    {
        png_destroy_write_struct(&png, nullptr);
        message = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png)))
    {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, stream);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB | PNG_FILTER_UP);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (std::int32_t y = 0; y < image.height; ++y)
    {
        png_write_row(png, reinterpret_cast<png_const_bytep>(image.Row(y)));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void EncodePng(const Image& image, EncodedFile& file)
{
    std::unique_ptr<FILE, decltype(&std::fclose)> stream(::fdopen(file.Descriptor(), "wb"), &std::fclose);
    if (!stream)
    {
        RaiseErrno(errno, __LINE__);
    }
    file.Release();
    std::string message;
    if (!WritePng(image, stream.get(), message))
    {
        RaiseEncoder(message, __LINE__);
    }
    if (std::fflush(stream.get()) != 0)
    {
        RaiseErrno(errno, __LINE__);
    }
}

void EncodeTiff(const Image& image, EncodedFile& file)
{
    std::vector<unsigned char> packed = PackBgr(image);
    for (std::size_t i = 0; i < packed.size(); i += 3)
    {
        std::swap(packed[i], packed[i + 2]); // TIFF stores red first
    }
    // libtiff reports through handlers; keep its messages off the terminal and read ours instead.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFFdOpen(file.Descriptor(), file.Path().c_str(), "w"),
                                                     &TIFFClose);
    if (!tiff)
    {
        RaiseEncoder("TIFF", __LINE__);
    }
    file.Release();
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 3;
    for (std::int32_t y = 0; y < image.height; ++y)
    {
        if (TIFFWriteScanline(t, packed.data() + rowBytes * static_cast<std::size_t>(y),
                              static_cast<std::uint32_t>(y), 0) < 0)
        {
            RaiseEncoder("TIFF", __LINE__);
        }
    }
    if (!TIFFFlush(t))
    {
        RaiseEncoder("TIFF", __LINE__);
    }
}

void RefuseEmpty(const Image& image)
{
    if (!image.data || image.width <= 0 || image.height <= 0)
    {
        Norvex::Core::ThrowUnexpected("SaveFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void Encode(const Image& image, StillImageWriter::Format format, EncodedFile& file)
{
    RefuseEmpty(image);
    switch (format)
    {
    case StillImageWriter::Bmp:
        return EncodeBmp(image, file);
    case StillImageWriter::Jpeg:
        return EncodeJpeg(image, file);
    case StillImageWriter::Png:
        return EncodePng(image, file);
    case StillImageWriter::Tiff:
        return EncodeTiff(image, file);
    }
    throw Exception(L"サポートされていないフォーマットが指定されました。", "SaveFrame", NORVEX_SOURCE_FILE,
                    __LINE__);
}

} // namespace

void StillImageWriter::Save(const Image& image, Format format, const std::wstring& path)
{
    const std::string target = ToUtf8(path);
    EncodedFile file(target, EncodedFile::Use::Replacing);
    Encode(image, format, file);
    file.Replace();
}

namespace
{

// Moves the encoded file to path, or with "_2", "_3", ... before the extension where path exists.
std::wstring PlaceNew(EncodedFile& file, const std::wstring& path)
{
    const std::wstring stem = Norvex::Core::ChangeExtension(path, L"");
    const std::wstring extension = path.substr(stem.size());
    std::wstring candidate = path;
    for (int number = 2; !file.PlaceNew(ToUtf8(candidate)); ++number)
    {
        candidate = stem + L"_" + std::to_wstring(number) + extension;
    }
    return candidate;
}

} // namespace

std::wstring StillImageWriter::SaveNew(const Image& image, Format format, const std::wstring& path)
{
    EncodedFile file(ToUtf8(path), EncodedFile::Use::NewName);
    Encode(image, format, file);
    return PlaceNew(file, path);
}

void StillImageWriter::Take(const Image& image, Format format, Taken& taken,
                            Norvex::Core::VideoCapture::Device* camera)
{
    taken.format = format;
    taken.width = image.data ? std::max(image.width, 0) : 0;
    taken.height = image.data ? std::max(image.height, 0) : 0;
    if (taken.width == 0 || taken.height == 0)
    {
        taken.width = taken.height = 0; // SaveNew raises, as for the image itself
        return;
    }
    if (format == Jpeg && camera && camera->TakeJpegPlanes(taken.bytes))
    {
        return;
    }
    // Inside the camera's frame callback its frame lock is held throughout: taking it again makes
    // a picture left to be made on demand, and `image` (its frame) stays as it is after.
    const Image& picture = camera ? *camera->LockFrame() : image;
    if (format == Jpeg)
    {
        ToJpegPlanes(picture, taken.bytes);
        return;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 4;
    taken.bytes.resize(rowBytes * static_cast<std::size_t>(picture.height));
    for (std::int32_t y = 0; y < picture.height; ++y)
    {
        std::memcpy(taken.bytes.data() + rowBytes * static_cast<std::size_t>(y), picture.Row(y), rowBytes);
    }
}

std::wstring StillImageWriter::SaveNew(const Taken& taken, const std::wstring& path)
{
    EncodedFile file(ToUtf8(path), EncodedFile::Use::NewName);
    if (taken.format == Jpeg && taken.width > 0)
    {
        CompressJpeg(taken.bytes.data(), taken.width, taken.height, file);
    }
    else
    {
        Image rows;
        rows.data = reinterpret_cast<Norvex::Core::Pixel<unsigned char>*>(
            const_cast<unsigned char*>(taken.bytes.data()));
        rows.width = taken.width;
        rows.height = taken.height;
        rows.stride = taken.width * 4;
        Encode(rows, taken.format, file);
    }
    return PlaceNew(file, path);
}

} // namespace VistelCapture
