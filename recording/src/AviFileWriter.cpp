#include "AviFileWriter.h"

#include <Norvex/Core/Exception.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

using Norvex::Core::ThrowErrno;

namespace VistelCapture
{
namespace
{

constexpr std::uint32_t AVIF_HASINDEX = 0x10;
constexpr std::uint32_t AVIF_ISINTERLEAVED = 0x100;
constexpr std::uint32_t AVIIF_KEYFRAME = 0x10;
constexpr std::uint8_t AVI_INDEX_OF_INDEXES = 0;
constexpr std::uint8_t AVI_INDEX_OF_CHUNKS = 1;
constexpr std::uint32_t DmlhSize = 248;
constexpr std::uint32_t StandardIndexHeaderSize = 32; // "ix00", size and 24 bytes of fields
constexpr std::uint32_t ExtensionHeaderSize = 24;     // "RIFF" size "AVIX" "LIST" size "movi"

// Little-endian byte sink for chunk headers and indexes.
class ByteWriter
{
public:
    explicit ByteWriter(std::vector<unsigned char>& bytes) : bytes(bytes) {}

    void U8(std::uint8_t value) { bytes.push_back(value); }
    void U16(std::uint16_t value)
    {
        U8(static_cast<std::uint8_t>(value));
        U8(static_cast<std::uint8_t>(value >> 8));
    }
    void U32(std::uint32_t value)
    {
        U16(static_cast<std::uint16_t>(value));
        U16(static_cast<std::uint16_t>(value >> 16));
    }
    void U64(std::uint64_t value)
    {
        U32(static_cast<std::uint32_t>(value));
        U32(static_cast<std::uint32_t>(value >> 32));
    }
    void FourCc(const char (&code)[5])
    {
        for (int i = 0; i < 4; ++i)
        {
            U8(static_cast<std::uint8_t>(code[i]));
        }
    }
    void Zeros(std::size_t count) { bytes.insert(bytes.end(), count, 0); }
    std::size_t Position() const noexcept { return bytes.size(); }

    // "LIST"/"RIFF" with a size filled in by End.
    std::size_t BeginList(const char (&list)[5], const char (&type)[5])
    {
        FourCc(list);
        const std::size_t sizeOffset = Position();
        U32(0);
        FourCc(type);
        return sizeOffset;
    }
    void End(std::size_t sizeOffset)
    {
        Put32(bytes, sizeOffset, static_cast<std::uint32_t>(Position() - sizeOffset - 4));
    }

    static void Put32(std::vector<unsigned char>& target, std::size_t offset, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
        {
            target[offset + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    }
    static void Put64(std::vector<unsigned char>& target, std::size_t offset, std::uint64_t value)
    {
        Put32(target, offset, static_cast<std::uint32_t>(value));
        Put32(target, offset + 4, static_cast<std::uint32_t>(value >> 32));
    }

private:
    std::vector<unsigned char>& bytes;
};

std::uint32_t ClampToU32(double value)
{
    if (!(value > 0))
    {
        return 0;
    }
    return value >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::llround(value));
}

std::uint32_t ClampToU32(std::uint64_t value)
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFFFFFFu));
}

} // namespace

AviFileWriter::~AviFileWriter() = default;

const char (&AviFileWriter::ChunkId() const noexcept)[5]
{
    static constexpr char rows[5] = "00db";
    static constexpr char compressed[5] = "00dc";
    return compression == Compression::None ? rows : compressed;
}

void AviFileWriter::Open(const std::string& path, std::int32_t width, std::int32_t height, double frameRate,
                         Compression newCompression)
{
    compression = newCompression;
    file.Reset();
    // RIFF sizes are 32-bit and rcFrame is 16-bit: a frame must fit well inside one RIFF part.
    if (width <= 0 || height <= 0 || width > 32767 || height > 32767 || !(frameRate > 0))
    {
        ThrowErrno(EINVAL, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::uint64_t row = (3 * std::uint64_t(width) + 3) / 4 * 4;
    const std::uint64_t frame = row * std::uint64_t(height);
    // A JPEG picture takes a fraction of the rows: a part holds that many more of them.
    const std::uint64_t typicalFrame = compression == Compression::None ? frame : frame / 8;
    const std::uint64_t framesPerPart =
        std::min<std::uint64_t>(MaximumPartFrames, riffPartLimit / (8 + typicalFrame) + 1);
    if (frame + 4096 + std::uint64_t(SuperIndexCapacity) * 16 + StandardIndexHeaderSize + 8 * framesPerPart >
        riffPartLimit / 2)
    {
        ThrowErrno(EFBIG, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    rowSize = static_cast<std::uint32_t>(row);
    frameSize = static_cast<std::uint32_t>(frame);
    partIndexCapacity = static_cast<std::uint32_t>(framesPerPart);

    // A file this Open creates is removed again if the headers cannot be written (a full disk):
    // an empty movie is no use to anyone.
    bool created = true;
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0 && errno == EEXIST)
    {
        created = false;
        descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (descriptor < 0)
    {
        ThrowErrno(errno, "Open", NORVEX_SOURCE_FILE, __LINE__);
    }
    file.Reset(descriptor);
    partChunks.clear();
    partChunkSizes.clear();
    partCount = 0;
    firstPartFrames = 0;
    totalFrames = 0;
    partOpen = true;
    BuildHeader(width, height, frameRate);
    try
    {
        WriteAt(0, header.data(), header.size(), "Open");
    }
    catch (...)
    {
        file.Reset();
        if (created)
        {
            ::unlink(path.c_str());
        }
        throw;
    }
    partStart = 0;
    moviStart = header.size() - 4;
    fileEnd = header.size();
}

void AviFileWriter::BuildHeader(std::int32_t width, std::int32_t height, double frameRate)
{
    header.clear();
    ByteWriter out(header);
    const std::size_t riff = out.BeginList("RIFF", "AVI ");
    const std::size_t hdrl = out.BeginList("LIST", "hdrl");

    out.FourCc("avih");
    out.U32(56);
    out.U32(ClampToU32(1000000.0 / frameRate));         // dwMicroSecPerFrame
    out.U32(ClampToU32(double(frameSize) * frameRate)); // dwMaxBytesPerSec
    out.U32(0);                                         // dwPaddingGranularity
    avihFlagsOffset = out.Position();
    out.U32(AVIF_ISINTERLEAVED); // AVIF_HASINDEX is added once the index is written
    avihTotalFramesOffset = out.Position();
    out.U32(0); // dwTotalFrames: frames of the first RIFF part
    out.U32(0); // dwInitialFrames
    out.U32(1); // dwStreams
    out.U32(frameSize);
    out.U32(static_cast<std::uint32_t>(width));
    out.U32(static_cast<std::uint32_t>(height));
    out.Zeros(16);

    const std::size_t strl = out.BeginList("LIST", "strl");
    out.FourCc("strh");
    out.U32(56);
    const bool mjpeg = compression == Compression::Mjpeg;
    out.FourCc("vids");
    out.FourCc(mjpeg ? "MJPG" : "DIB ");
    out.U32(0);                              // dwFlags
    out.U16(0);                              // wPriority
    out.U16(0);                              // wLanguage
    out.U32(0);                              // dwInitialFrames
    out.U32(1000);                           // dwScale
    out.U32(ClampToU32(frameRate * 1000.0)); // dwRate; llround rounds halves away from zero
    out.U32(0);                              // dwStart
    strhLengthOffset = out.Position();
    out.U32(0);                     // dwLength
    out.U32(frameSize);             // dwSuggestedBufferSize
    out.U32(0xFFFFFFFFu);           // dwQuality: the default
    out.U32(mjpeg ? 0 : frameSize); // dwSampleSize: 0, pictures of their own sizes
    out.U16(0);                     // rcFrame
    out.U16(0);
    out.U16(static_cast<std::uint16_t>(width));
    out.U16(static_cast<std::uint16_t>(height));

    out.FourCc("strf");
    out.U32(40);
    out.U32(40); // biSize
    out.U32(static_cast<std::uint32_t>(width));
    out.U32(static_cast<std::uint32_t>(height)); // positive: bottom-up rows
    out.U16(1);                                  // biPlanes
    out.U16(24);                                 // biBitCount
    if (mjpeg)
    {
        out.FourCc("MJPG"); // biCompression
    }
    else
    {
        out.U32(0); // biCompression BI_RGB
    }
    out.U32(frameSize); // biSizeImage
    out.U32(1);         // biXPelsPerMeter
    out.U32(1);         // biYPelsPerMeter
    out.U32(0);         // biClrUsed
    out.U32(0);         // biClrImportant

    static constexpr char streamName[] = "Video stream";
    out.FourCc("strn");
    out.U32(sizeof streamName);
    for (const char c : streamName)
    {
        out.U8(static_cast<std::uint8_t>(c));
    }
    if (sizeof streamName % 2)
    {
        out.U8(0);
    }

    out.FourCc("indx");
    out.U32(24 + 16 * SuperIndexCapacity);
    out.U16(4); // wLongsPerEntry
    out.U8(0);  // bIndexSubType
    out.U8(AVI_INDEX_OF_INDEXES);
    superIndexCountOffset = out.Position();
    out.U32(0); // nEntriesInUse
    out.FourCc(ChunkId());
    out.Zeros(12);
    superIndexEntriesOffset = out.Position();
    out.Zeros(16 * std::size_t(SuperIndexCapacity));
    out.End(strl);

    const std::size_t odml = out.BeginList("LIST", "odml");
    out.FourCc("dmlh");
    out.U32(DmlhSize);
    dmlhTotalFramesOffset = out.Position();
    out.U32(0);
    out.Zeros(DmlhSize - 4);
    out.End(odml);
    out.End(hdrl);

    out.BeginList("LIST", "movi");
    out.End(riff);
}

void AviFileWriter::AddFrame(const unsigned char* data, std::size_t size)
{
    if (!file.IsOpen())
    {
        return;
    }
    // A chunk of odd size is followed by one byte, so every chunk starts at an even offset.
    const std::size_t padding = size % 2;
    if (size > 0xFFFFFFF0u)
    {
        ThrowErrno(EFBIG, "AddFrame", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::uint64_t chunkSize = 8 + std::uint64_t(size) + padding;
    if (partOpen && !partChunks.empty())
    {
        // The first part's indexes follow its frames; an AVIX part's index is already in place.
        const std::uint64_t entries = partChunks.size() + 1;
        const std::uint64_t indexes =
            partCount == 0 ? StandardIndexHeaderSize + 8 * entries + 8 + 16 * entries : 0;
        if (fileEnd + chunkSize + indexes - partStart > riffPartLimit ||
            (partCount > 0 && partChunks.size() >= partIndexCapacity))
        {
            FinishPart("AddFrame");
        }
    }

    std::vector<unsigned char> partHeader;
    ByteWriter out(partHeader);
    const std::uint32_t partIndexSize = StandardIndexHeaderSize + 8 * partIndexCapacity;
    if (!partOpen)
    {
        // A new AVIX part starts with its first frame, so no part is ever left empty; its
        // standard index comes first and is filled in frame by frame.
        if (partCount >= SuperIndexCapacity)
        {
            ThrowErrno(EFBIG, "AddFrame", NORVEX_SOURCE_FILE, __LINE__);
        }
        const std::uint32_t partBytes = partIndexSize + static_cast<std::uint32_t>(chunkSize);
        out.FourCc("RIFF");
        out.U32(ExtensionHeaderSize - 8 + partBytes);
        out.FourCc("AVIX");
        out.FourCc("LIST");
        out.U32(ExtensionHeaderSize - 20 + partBytes);
        out.FourCc("movi");
        out.FourCc("ix00");
        out.U32(partIndexSize - 8);
        out.U16(2); // wLongsPerEntry
        out.U8(0);  // bIndexSubType
        out.U8(AVI_INDEX_OF_CHUNKS);
        out.U32(0); // nEntriesInUse, counted up frame by frame
        out.FourCc(ChunkId());
        out.U64(fileEnd + ExtensionHeaderSize - 4); // qwBaseOffset: this part's "movi"
        out.U32(0);
        out.Zeros(8 * std::size_t(partIndexCapacity));
    }
    out.FourCc(ChunkId());
    out.U32(static_cast<std::uint32_t>(size));
    AppendChunk(partHeader.data(), partHeader.size(), data, size, "AddFrame", padding);
    if (!partOpen)
    {
        partStart = fileEnd;
        moviStart = fileEnd + ExtensionHeaderSize - 4;
        partIndexStart = fileEnd + ExtensionHeaderSize;
        partOpen = true;
    }
    partChunks.push_back(fileEnd + partHeader.size() - 8);
    partChunkSizes.push_back(static_cast<std::uint32_t>(size));
    fileEnd += partHeader.size() + size + padding;
    ++totalFrames;
    if (partCount == 0)
    {
        ++firstPartFrames;
    }
    else
    {
        UpdatePartIndex();
    }
    UpdateHeader();
}

void AviFileWriter::UpdatePartIndex()
{
    // The frame's entry first, then the counts that make readers look at it.
    const std::uint32_t entries = static_cast<std::uint32_t>(partChunks.size());
    std::vector<unsigned char> bytes(16);
    ByteWriter::Put32(bytes, 0, static_cast<std::uint32_t>(partChunks.back() - moviStart + 8)); // key frame
    ByteWriter::Put32(bytes, 4, partChunkSizes.back());
    WriteAt(partIndexStart + StandardIndexHeaderSize + 8 * std::uint64_t(entries - 1), bytes.data(), 8,
            "AddFrame");
    ByteWriter::Put32(bytes, 0, entries);
    WriteAt(partIndexStart + 12, bytes.data(), 4, "AddFrame");

    const std::size_t entry = superIndexEntriesOffset + 16 * std::size_t(partCount);
    ByteWriter::Put64(header, entry, partIndexStart);
    ByteWriter::Put32(header, entry + 8, StandardIndexHeaderSize + 8 * partIndexCapacity);
    ByteWriter::Put32(header, entry + 12, entries);
    WriteAt(entry, header.data() + entry, 16, "AddFrame");
    if (entries == 1)
    {
        ByteWriter::Put32(header, superIndexCountOffset, partCount + 1);
        WriteAt(superIndexCountOffset, header.data() + superIndexCountOffset, 4, "AddFrame");
    }
}

void AviFileWriter::FinishPart(const char* functionName)
{
    const std::uint32_t entries = static_cast<std::uint32_t>(partChunks.size());
    const bool first = partCount == 0;
    if (!first)
    {
        // Its index and sizes were kept current frame by frame: nothing is left to write.
        partCount += entries > 0 ? 1 : 0;
        partChunks.clear();
        partChunkSizes.clear();
        partOpen = false;
        return;
    }
    const bool standardIndex = entries > 0;
    if (standardIndex && partCount >= SuperIndexCapacity)
    {
        ThrowErrno(EFBIG, functionName, NORVEX_SOURCE_FILE, __LINE__);
    }

    std::vector<unsigned char> indexes;
    ByteWriter out(indexes);
    if (standardIndex)
    {
        out.FourCc("ix00");
        out.U32(StandardIndexHeaderSize - 8 + 8 * entries);
        out.U16(2); // wLongsPerEntry
        out.U8(0);  // bIndexSubType
        out.U8(AVI_INDEX_OF_CHUNKS);
        out.U32(entries);
        out.FourCc(ChunkId());
        out.U64(moviStart); // qwBaseOffset
        out.U32(0);
        for (std::size_t chunk = 0; chunk < partChunks.size(); ++chunk)
        {
            out.U32(static_cast<std::uint32_t>(partChunks[chunk] - moviStart + 8)); // to the data; key frame
            out.U32(partChunkSizes[chunk]);
        }
    }
    const std::uint64_t moviEnd = fileEnd + indexes.size();
    if (first)
    {
        out.FourCc("idx1");
        out.U32(16 * entries);
        for (std::size_t chunk = 0; chunk < partChunks.size(); ++chunk)
        {
            out.FourCc(ChunkId());
            out.U32(AVIIF_KEYFRAME);
            out.U32(static_cast<std::uint32_t>(partChunks[chunk] - moviStart));
            out.U32(partChunkSizes[chunk]);
        }
    }
    AppendChunk(indexes.data(), indexes.size(), nullptr, 0, functionName);
    const std::uint64_t indexStart = fileEnd;
    fileEnd += indexes.size();

    if (standardIndex)
    {
        const std::size_t entry = superIndexEntriesOffset + 16 * std::size_t(partCount);
        ByteWriter::Put64(header, entry, indexStart);
        ByteWriter::Put32(header, entry + 8, StandardIndexHeaderSize + 8 * entries);
        ByteWriter::Put32(header, entry + 12, entries);
        ByteWriter::Put32(header, superIndexCountOffset, partCount + 1);
        WriteAt(entry, header.data() + entry, 16, functionName);
        WriteAt(superIndexCountOffset, header.data() + superIndexCountOffset, 4, functionName);
    }
    if (first)
    {
        ByteWriter::Put32(header, 4, static_cast<std::uint32_t>(fileEnd - 8));
        ByteWriter::Put32(header, moviStart - 4, static_cast<std::uint32_t>(moviEnd - moviStart));
        WriteAt(0, header.data(), 8, functionName);
        WriteAt(moviStart - 4, header.data() + moviStart - 4, 4, functionName);
    }
    else
    {
        std::vector<unsigned char> sizes(4);
        ByteWriter::Put32(sizes, 0, static_cast<std::uint32_t>(fileEnd - partStart - 8));
        WriteAt(partStart + 4, sizes.data(), 4, functionName);
        ByteWriter::Put32(sizes, 0, static_cast<std::uint32_t>(moviEnd - moviStart));
        WriteAt(moviStart - 4, sizes.data(), 4, functionName);
    }
    partCount += standardIndex ? 1 : 0;
    partChunks.clear();
    partChunkSizes.clear();
    partOpen = false;
}

void AviFileWriter::UpdateHeader()
{
    ByteWriter::Put32(header, avihTotalFramesOffset, firstPartFrames);
    ByteWriter::Put32(header, strhLengthOffset, ClampToU32(totalFrames));
    ByteWriter::Put32(header, dmlhTotalFramesOffset, ClampToU32(totalFrames));
    if (partCount == 0)
    {
        ByteWriter::Put32(header, 4, static_cast<std::uint32_t>(fileEnd - 8));
        ByteWriter::Put32(header, moviStart - 4, static_cast<std::uint32_t>(fileEnd - moviStart));
    }
    else
    {
        std::vector<unsigned char> sizes(ExtensionHeaderSize - 4);
        ByteWriter::Put32(sizes, 0, static_cast<std::uint32_t>(fileEnd - partStart - 8));
        std::memcpy(sizes.data() + 4, "AVIXLIST", 8);
        ByteWriter::Put32(sizes, 12, static_cast<std::uint32_t>(fileEnd - moviStart));
        WriteAt(partStart + 4, sizes.data(), 16, "AddFrame");
    }
    // The counters and the first part's sizes lie in two short stretches of the header.
    WriteAt(0, header.data(), strhLengthOffset + 4, "AddFrame");
    WriteAt(dmlhTotalFramesOffset, header.data() + dmlhTotalFramesOffset,
            header.size() - dmlhTotalFramesOffset, "AddFrame");
}

void AviFileWriter::Close()
{
    if (!file.IsOpen())
    {
        return;
    }
    try
    {
        if (partOpen)
        {
            FinishPart("Close");
        }
        ByteWriter::Put32(header, avihFlagsOffset, AVIF_ISINTERLEAVED | AVIF_HASINDEX);
        ByteWriter::Put32(header, avihTotalFramesOffset, firstPartFrames);
        ByteWriter::Put32(header, strhLengthOffset, ClampToU32(totalFrames));
        ByteWriter::Put32(header, dmlhTotalFramesOffset, ClampToU32(totalFrames));
        WriteAt(0, header.data(), strhLengthOffset + 4, "Close");
        WriteAt(dmlhTotalFramesOffset, header.data() + dmlhTotalFramesOffset, 4, "Close");
    }
    catch (...)
    {
        file.Reset();
        throw;
    }
    if (const int error = file.Close(); error != 0 && error != EINTR)
    {
        ThrowErrno(error, "Close", NORVEX_SOURCE_FILE, __LINE__);
    }
}

void AviFileWriter::WriteAt(std::uint64_t offset, const void* data, std::size_t size,
                            const char* functionName)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t written = ::pwrite(file.Get(), bytes, size, static_cast<off_t>(offset));
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            ThrowErrno(errno, functionName, NORVEX_SOURCE_FILE, __LINE__);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

void AviFileWriter::AppendChunk(const void* head, std::size_t headSize, const void* data,
                                std::size_t dataSize, const char* functionName, std::size_t padding)
{
    static const unsigned char zeros[2] = {};
    std::array<iovec, 3> parts = {
        iovec{const_cast<void*>(head), headSize}, iovec{const_cast<void*>(data), dataSize},
        iovec{const_cast<unsigned char*>(zeros), std::min<std::size_t>(padding, 2)}};
    std::size_t first = 0;
    std::uint64_t offset = fileEnd;
    while (first < parts.size())
    {
        if (parts[first].iov_len == 0)
        {
            ++first;
            continue;
        }
        // At most BlockBytes go out per call.
        std::array<iovec, 3> piece{};
        int count = 0;
        for (std::size_t part = first, budget = BlockBytes; part < parts.size() && budget > 0; ++part)
        {
            const std::size_t size = std::min(parts[part].iov_len, budget);
            piece[count++] = iovec{parts[part].iov_base, size};
            budget -= size;
        }
        const ssize_t written = ::pwritev(file.Get(), piece.data(), count, static_cast<off_t>(offset));
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            const int error = errno;
            // Give back what the torn chunk took, so the file ends with its last complete chunk
            // and the index still has room when the disk is full.
            [[maybe_unused]] const int ignored = ::ftruncate(file.Get(), static_cast<off_t>(fileEnd));
            ThrowErrno(error, functionName, NORVEX_SOURCE_FILE, __LINE__);
        }
        offset += static_cast<std::uint64_t>(written);
        std::size_t left = static_cast<std::size_t>(written);
        while (first < parts.size() && left >= parts[first].iov_len)
        {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < parts.size())
        {
            parts[first].iov_base = static_cast<unsigned char*>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
}

} // namespace VistelCapture
