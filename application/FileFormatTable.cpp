#include "FileFormatTable.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <algorithm>
#include <cctype>

namespace VistelCapture
{
namespace
{

using Kind = FileFormatRow::Kind;
using Norvex::Core::VideoCapture::MakeFourcc;

// In the order of the stored setting; append only. A row: kind, command-line names, extension,
// list text, dialog filter, still encoder, writer format, whether the bit rate applies, the
// camera format whose frames are kept as they are.
// clang-format off
constexpr FileFormatRow rows[] = {
    {Kind::Still, {"bmp", ""},     L".bmp", "ビットマップ",   "ビットマップ (*.bmp)|*.bmp||",       StillImageWriter::Bmp,  VideoWriter::Avi,  false},
    {Kind::Still, {"jpeg", "jpg"}, L".jpg", "JPEG",           "JPEG (*.jpg;*.jpeg)|*.jpg;*.jpeg||", StillImageWriter::Jpeg, VideoWriter::Avi,  false},
    {Kind::Still, {"png", ""},     L".png", "PNG",            "PNG (*.png)|*.png||",                StillImageWriter::Png,  VideoWriter::Avi,  false},
    {Kind::Still, {"tiff", "tif"}, L".tif", "TIFF",           "TIFF (*.tif;*.tiff)|*.tif;*.tiff||", StillImageWriter::Tiff, VideoWriter::Avi,  false},
    {Kind::Movie, {"avi", ""},     L".avi", "AVI (非圧縮)",   "AVI (*.avi)|*.avi||",                StillImageWriter::Bmp,  VideoWriter::Avi,  false},
    {Kind::Movie, {"wmv1", ""},    L".wmv", "WMV1",           "WMV (*.wmv)|*.wmv||",                StillImageWriter::Bmp,  VideoWriter::Wmv1, true},
    {Kind::Movie, {"wmv2", ""},    L".wmv", "WMV2",           "WMV (*.wmv)|*.wmv||",                StillImageWriter::Bmp,  VideoWriter::Wmv2, true},
    {Kind::Movie, {"wmv3", ""},    L".wmv", "WMV3",           "WMV (*.wmv)|*.wmv||",                StillImageWriter::Bmp,  VideoWriter::Wmv3, true},
    {Kind::Movie, {"h264", "mp4"}, L".mp4", "MPEG-4 (H.264)", "MPEG-4 (*.mp4)|*.mp4||",             StillImageWriter::Bmp,  VideoWriter::H264, true},
    {Kind::Movie, {"mjpeg-copy", ""}, L".avi", "MJPEG (カメラのまま)", "AVI (*.avi)|*.avi||",        StillImageWriter::Bmp,  VideoWriter::MjpegCopy, false, MakeFourcc('M', 'J', 'P', 'G')},
    {Kind::Movie, {"h264-copy", ""},  L".mp4", "H.264 (カメラのまま)", "MPEG-4 (*.mp4)|*.mp4||",     StillImageWriter::Bmp,  VideoWriter::H264Copy,  false, MakeFourcc('H', '2', '6', '4')},
};
// clang-format on

bool EqualIgnoringCase(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

} // namespace

std::span<const FileFormatRow> FileFormatTable::Rows() noexcept
{
    return rows;
}

const FileFormatRow* FileFormatTable::Find(std::int32_t index) noexcept
{
    return index >= 0 && static_cast<std::size_t>(index) < std::size(rows) ? &rows[index] : nullptr;
}

const FileFormatRow& FileFormatTable::Get(std::int32_t index)
{
    if (const auto* row = Find(index))
    {
        return *row;
    }
    throw Norvex::Core::Exception(L"サポートされていないフォーマットが指定されました。", "FileFormat",
                                  NORVEX_SOURCE_FILE, __LINE__);
}

std::int32_t FileFormatTable::IndexOfName(std::string_view name) noexcept
{
    const auto found =
        std::find_if(std::begin(rows), std::end(rows),
                     [&](const FileFormatRow& row)
                     {
                         return std::any_of(std::begin(row.names), std::end(row.names),
                                            [&](std::string_view known)
                                            { return !known.empty() && EqualIgnoringCase(known, name); });
                     });
    return found == std::end(rows) ? -1 : static_cast<std::int32_t>(found - std::begin(rows));
}

std::int32_t FileFormatTable::IndexOf(const FileFormatRow& row) noexcept
{
    return static_cast<std::int32_t>(&row - rows);
}

bool FileFormatTable::IsMovie(std::int32_t index) noexcept
{
    const auto* row = Find(index);
    return row && row->IsMovie();
}

} // namespace VistelCapture
