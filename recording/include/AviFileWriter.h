#pragma once

#include <Norvex/Core/FileDescriptor.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VistelCapture
{

// Writes one video stream as a RIFF AVI file: uncompressed 24-bit bottom-up rows, or JPEG pictures
// as a camera sends them (MJPG), each chunk as long as its picture. The first RIFF part
// is a classic AVI with an idx1 index; past 1 GiB the file goes on in OpenDML RIFF-AVIX parts,
// each with its standard index (ix00) listed in the stream's super index (indx).
//
// After every frame the header's sizes and frame counts are brought up to date, so a file cut by
// a crash or a full disk is a well-formed AVI: in the first part without an index, and readers
// that rebuild it by scanning the chunks (FFmpeg, GStreamer) see every complete frame. Past the
// first part, readers follow the super index instead of scanning, so each AVIX part carries its
// standard index at its start, reserved for the most frames the part can hold, and that index
// and the part's super index entry are brought up to date with every frame as well. A failed
// write is cut back to the last complete frame. Not thread-safe: the owner serialises the calls.
class AviFileWriter
{
public:
    // Each RIFF part stays below this size, the limit that AVI 1.0 readers handle.
    static constexpr std::uint64_t RiffPartLimit = std::uint64_t(1) << 30;
    // Super index entries reserved in the header: 4096 parts of 1 GiB.
    static constexpr std::uint32_t SuperIndexCapacity = 4096;
    // At most this many frames per AVIX part, so its reserved index stays small (512 KiB) even
    // for tiny frames.
    static constexpr std::uint32_t MaximumPartFrames = 65536;
    // Each write(2) call takes at most this many bytes: the page cache takes a frame of several
    // megabytes faster in pieces of this size than in one call (measured in bench/recording).
    static constexpr std::uint32_t BlockBytes = 1024 * 1024;

    // A smaller part limit lets tests reach the OpenDML parts without writing gigabytes.
    explicit AviFileWriter(std::uint64_t riffPartLimit = RiffPartLimit) : riffPartLimit(riffPartLimit) {}
    AviFileWriter(const AviFileWriter&) = delete;
    AviFileWriter& operator=(const AviFileWriter&) = delete;
    // Closes the file without its index if Close was not called (the file stays readable).
    ~AviFileWriter();

    enum class Compression
    {
        None,  // 24-bit rows
        Mjpeg, // one JPEG picture a frame
    };

    // Creates (or truncates) the file and writes the headers. The frame rate must be positive.
    void Open(const std::string& path, std::int32_t width, std::int32_t height, double frameRate,
              Compression compression = Compression::None);
    // Appends one uncompressed frame: GetFrameSize() bytes of rows of GetRowSize() bytes (padding
    // included), in the file's order, bottom-up.
    void AddFrame(const unsigned char* rows) { AddFrame(rows, frameSize); }
    // Appends one frame of `size` bytes: a JPEG picture, or rows as above.
    void AddFrame(const unsigned char* data, std::size_t size);
    // Writes the indexes and closes the file. The file is closed even when this raises.
    void Close();

    bool IsOpen() const noexcept { return file.IsOpen(); }
    std::uint32_t GetRowSize() const noexcept { return rowSize; }
    std::uint32_t GetFrameSize() const noexcept { return frameSize; }
    // Frames of the file opened last; each is in the file, readable, once AddFrame returns.
    std::uint64_t GetFrameCount() const noexcept { return totalFrames; }

private:
    void BuildHeader(std::int32_t width, std::int32_t height, double frameRate);
    void FinishPart(const char* functionName);
    void UpdateHeader();
    void UpdatePartIndex();
    void WriteAt(std::uint64_t offset, const void* data, std::size_t size, const char* functionName);
    void AppendChunk(const void* header, std::size_t headerSize, const void* data, std::size_t dataSize,
                     const char* functionName, std::size_t padding = 0);
    // "00db" for rows, "00dc" for compressed pictures.
    const char (&ChunkId() const noexcept)[5];

    const std::uint64_t riffPartLimit;
    Norvex::Core::FileDescriptor file;
    std::uint32_t rowSize = 0;
    std::uint32_t partIndexCapacity = 0; // entries reserved in each AVIX part's standard index
    std::uint32_t frameSize = 0;         // of the rows; for JPEG pictures the most a reader need expect
    Compression compression = Compression::None;

    // The first RIFF part's headers as written; patched in memory, then rewritten in place.
    std::vector<unsigned char> header;
    std::size_t avihFlagsOffset = 0;
    std::size_t avihTotalFramesOffset = 0;
    std::size_t strhLengthOffset = 0;
    std::size_t superIndexCountOffset = 0;
    std::size_t superIndexEntriesOffset = 0;
    std::size_t dmlhTotalFramesOffset = 0;

    std::uint64_t fileEnd = 0;                 // end of the last complete chunk
    std::uint64_t partStart = 0;               // offset of the current part's "RIFF"
    std::uint64_t moviStart = 0;               // offset of the current part's "movi" four-character code
    std::uint64_t partIndexStart = 0;          // offset of the current AVIX part's "ix00"
    std::vector<std::uint64_t> partChunks;     // offsets of the current part's frame chunks
    std::vector<std::uint32_t> partChunkSizes; // and their sizes
    std::uint32_t partCount = 0;               // parts finished and listed in the super index
    bool partOpen = false;                     // the current part takes frames; false between parts
    std::uint32_t firstPartFrames = 0;
    std::uint64_t totalFrames = 0;
};

} // namespace VistelCapture
