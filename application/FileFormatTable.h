#pragma once

#include "StillImageWriter.h"
#include "VideoWriter.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace VistelCapture
{

// One file format the user can save in. The index of a row is the stored FileFormat setting and
// the position in the control panel's list, so rows are only ever appended.
struct FileFormatRow
{
    enum class Kind
    {
        Still, // every frame is a file of its own, written by StillImageWriter
        Movie, // frames go into one file, written by VideoWriter
    };

    Kind kind;
    // What the command line accepts (lower case; the first is the one it lists), then an alias
    // or empty.
    std::string_view names[2];
    // What a file of this format is called: ".bmp".
    const wchar_t* extension;
    // The control panel's list text (UTF-8).
    const char* label;
    // The save dialog's filter, "text (*.ext)|*.ext||" (UTF-8).
    const char* dialogFilter;
    // The encoder of a still format; the writer's format of a movie. The other one is unused.
    StillImageWriter::Format stillEncoder;
    VideoWriter::Format writerFormat;
    // Whether the movie bit rate applies (uncompressed AVI ignores it).
    bool takesBitRate;
    // A movie of the camera's own compressed frames: the camera format it needs ("MJPG" or
    // "H264", VideoSubtype's MakeFourcc), 0 for formats that take decoded frames.
    std::uint32_t cameraFourcc = 0;

    bool IsMovie() const noexcept { return kind == Kind::Movie; }
    bool IsStill() const noexcept { return kind == Kind::Still; }
    bool KeepsCameraData() const noexcept { return cameraFourcc != 0; }
    // The extension without its dot: "bmp".
    std::wstring_view Suffix() const noexcept { return std::wstring_view(extension).substr(1); }
};

// The only place that knows which FileFormat index is which format: the model, the command line
// and the control panel read it. Adding a format is one row in FileFormatTable.cpp.
class FileFormatTable
{
public:
    static std::span<const FileFormatRow> Rows() noexcept;
    // The row of a FileFormat index; nullptr outside the table (a value edited into the INI file).
    static const FileFormatRow* Find(std::int32_t index) noexcept;
    // The row of index; raises "サポートされていないフォーマットが指定されました。" outside the table.
    static const FileFormatRow& Get(std::int32_t index);
    // The index of the row a command-line name (or an extension without its dot) names, regardless
    // of case; -1 when none does.
    static std::int32_t IndexOfName(std::string_view name) noexcept;
    // The index of a row, for storing it as the FileFormat setting.
    static std::int32_t IndexOf(const FileFormatRow& row) noexcept;
    // Whether index is a movie format; false outside the table.
    static bool IsMovie(std::int32_t index) noexcept;
};

} // namespace VistelCapture
