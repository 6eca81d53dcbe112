#include "GStreamerVideoCapture/GStreamerFrameFormat.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VideoCapture/VideoSubtype.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

namespace Norvex::Core::GStreamerVideoCapture
{
namespace
{

using VideoCapture::MakeFourccSubtype;
using VideoCapture::MakeVideoSubtype;
using VideoCapture::NamedSubtype;

constexpr GUID rgb24 = {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID rgb32 = {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID rgb565 = {0xE436EB7B, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID rgb555 = {0xE436EB7C, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID argb32 = {0x773C9AC0, 0x3274, 0x11D0, {0xB7, 0x24, 0x00, 0xAA, 0x00, 0x6C, 0x1A, 0x01}};

// The names of the other platform's capture stack, so that display names and stored settings
// read the same there and here. Anything else, I420 among them, is named by GStreamer's string.
constexpr NamedSubtype subtypeNames[] = {
    {MakeFourccSubtype("CLPL"), L"CLPL"},
    {MakeFourccSubtype("YUYV"), L"YUYV"},
    {MakeFourccSubtype("IYUV"), L"IYUV"},
    {MakeFourccSubtype("YVU9"), L"YVU9"},
    {MakeFourccSubtype("Y411"), L"Y411"},
    {MakeFourccSubtype("Y41P"), L"Y41P"},
    {MakeFourccSubtype("YUY2"), L"YUY2"},
    {MakeFourccSubtype("YVYU"), L"YVYU"},
    {MakeFourccSubtype("UYVY"), L"UYVY"},
    {MakeFourccSubtype("Y211"), L"Y211"},
    {MakeFourccSubtype("CLJR"), L"CLJR"},
    {MakeFourccSubtype("IF09"), L"IF09"},
    {MakeFourccSubtype("CPLA"), L"CPLA"},
    {MakeFourccSubtype("MJPG"), L"MJPG"},
    {MakeFourccSubtype("TVMJ"), L"TVMJ"},
    {MakeFourccSubtype("WAKE"), L"WAKE"},
    {MakeFourccSubtype("CFCC"), L"CFCC"},
    {MakeFourccSubtype("IJPG"), L"IJPG"},
    {MakeFourccSubtype("Plum"), L"Plum"},
    {MakeFourccSubtype("DVCS"), L"DVCS"},
    {MakeFourccSubtype("H264"), L"H264"},
    {MakeFourccSubtype("DVSD"), L"DVSD"},
    {MakeFourccSubtype("MDVF"), L"MDVF"},
    {MakeFourccSubtype("AYUV"), L"AYUV"},
    {MakeFourccSubtype("AI44"), L"AI44"},
    {MakeFourccSubtype("IA44"), L"IA44"},
    {MakeFourccSubtype("YV12"), L"YV12"},
    {MakeFourccSubtype("NV12"), L"NV12"},
    {MakeFourccSubtype("NV11"), L"NV11"},
    {MakeFourccSubtype("P208"), L"P208"},
    {MakeFourccSubtype("P210"), L"P210"},
    {MakeFourccSubtype("P216"), L"P216"},
    {MakeFourccSubtype("P010"), L"P010"},
    {MakeFourccSubtype("P016"), L"P016"},
    {MakeFourccSubtype("Y210"), L"Y210"},
    {MakeFourccSubtype("Y216"), L"Y216"},
    {MakeFourccSubtype("P408"), L"P408"},
    {MakeFourccSubtype("NV24"), L"NV24"},
    {MakeFourccSubtype("IMC1"), L"IMC1"},
    {MakeFourccSubtype("IMC2"), L"IMC2"},
    {MakeFourccSubtype("IMC3"), L"IMC3"},
    {MakeFourccSubtype("IMC4"), L"IMC4"},
    {MakeFourccSubtype("S340"), L"S340"},
    {MakeFourccSubtype("S342"), L"S342"},
    {{0xE436EB8E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}}, L"None"},
    {{0xE436EB78, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}}, L"RGB1"},
    {{0xE436EB79, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}}, L"RGB4"},
    {{0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}}, L"RGB8"},
    {rgb565, L"RGB565"},
    {rgb555, L"RGB555"},
    {rgb24, L"RGB24"},
    {rgb32, L"RGB32"},
    {{0x297C55AF, 0xE209, 0x4CB3, {0xB7, 0x57, 0xC7, 0x6D, 0x6B, 0x9C, 0x88, 0xA8}}, L"ARGB1555"},
    {{0x6E6415E6, 0x5C24, 0x425F, {0x93, 0xCD, 0x80, 0x10, 0x2B, 0x3D, 0x1C, 0xCA}}, L"ARGB4444"},
    {argb32, L"ARGB32"},
    {{0x2F8BB76D, 0xB644, 0x4550, {0xAC, 0xF3, 0xD3, 0x0C, 0xAA, 0x65, 0xD5, 0xC5}}, L"A2R10G10B10"},
    {{0x576F7893, 0xBDF6, 0x48C4, {0x87, 0x5F, 0xAE, 0x7B, 0x81, 0x83, 0x45, 0x67}}, L"A2B10G10R10"},
};
static_assert(std::size(subtypeNames) == 57);

// Media types without a FOURCC of their own get a subtype on a base of ours, keyed by a hash of
// their name, so that two of them are never taken for duplicates of each other.
GUID MakeUnnamedSubtype(std::string_view name) noexcept
{
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (const char c : name)
    {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return {hash, 0x6E76, 0x4773, {0x9A, 0x1F, 0x4E, 0x6F, 0x72, 0x76, 0x65, 0x78}};
}

GUID GetRawSubtype(const char* format)
{
    if (!format)
    {
        return MakeUnnamedSubtype("video/x-raw");
    }
    // The RGB layouts are named by memory order: the other platform's RGB32 is B, G, R, X.
    static constexpr struct
    {
        const char* format;
        GUID subtype;
    } rgbFormats[] = {
        {"BGRx", rgb32}, {"BGRA", argb32}, {"BGR", rgb24}, {"RGB16", rgb565}, {"RGB15", rgb555},
    };
    for (const auto& entry : rgbFormats)
    {
        if (std::strcmp(format, entry.format) == 0)
        {
            return entry.subtype;
        }
    }
    const std::uint32_t fourcc = gst_video_format_to_fourcc(gst_video_format_from_string(format));
    if (fourcc != 0)
    {
        return MakeVideoSubtype(fourcc);
    }
    return MakeUnnamedSubtype(std::string("video/x-raw/") + format);
}

} // namespace

GStreamerFrameFormat::GStreamerFrameFormat(GStreamerHandle<GstCaps> caps) : caps(std::move(caps))
{
    if (!this->caps || gst_caps_get_size(this->caps.get()) != 1)
    {
        ThrowUnexpected("GStreamerFrameFormat", NORVEX_SOURCE_FILE, __LINE__);
    }
    ReadFields();
}

GStreamerFrameFormat::~GStreamerFrameFormat() = default;

void GStreamerFrameFormat::ReadFields()
{
    const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    subtype = GetSubtype(structure);
    const char* format = gst_structure_get_string(structure, "format");
    nativeName = Norvex::Core::ToWideString(format ? format : gst_structure_get_name(structure));
    gint value = 0;
    width = gst_structure_get_int(structure, "width", &value) ? value : 0;
    value = 0;
    height = gst_structure_get_int(structure, "height", &value) ? std::abs(value) : 0;
    stride = 4 * width;
    gint numerator = 0;
    gint denominator = 1;
    if (!gst_structure_get_fraction(structure, "framerate", &numerator, &denominator) || numerator <= 0 ||
        denominator <= 0)
    {
        // A device that states no rate streams at whatever rate it can; like a format without
        // a frame interval on the other platform, it is named as 1 frame per second.
        numerator = denominator = 1;
    }
    frameRate = static_cast<double>(numerator) / static_cast<double>(denominator);
}

std::shared_ptr<VideoCapture::FrameFormat> GStreamerFrameFormat::Clone() const
{
    return std::make_shared<GStreamerFrameFormat>(Own(gst_caps_copy(caps.get())));
}

const wchar_t* GStreamerFrameFormat::GetSubtypeName() const
{
    const wchar_t* name = VideoCapture::FindSubtypeName(subtypeNames, subtype);
    // "Unknown" for every layout the table lacks would leave them indistinguishable in a list.
    return std::wcscmp(name, VideoCapture::unknownSubtypeName) == 0 ? nativeName.c_str() : name;
}

void GStreamerFrameFormat::OnSizeChanged()
{
    GstCaps* writable = gst_caps_make_writable(caps.release());
    caps.reset(writable);
    gst_caps_set_simple(writable, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr);
    stride = 4 * width;
}

void GStreamerFrameFormat::OnFrameRateChanged()
{
    gint numerator = 0;
    gint denominator = 1;
    gst_util_double_to_fraction(frameRate, &numerator, &denominator);
    GstCaps* writable = gst_caps_make_writable(caps.release());
    caps.reset(writable);
    gst_caps_set_simple(writable, "framerate", GST_TYPE_FRACTION, numerator, denominator, nullptr);
}

GUID GStreamerFrameFormat::GetSubtype(const GstStructure* structure)
{
    const char* name = gst_structure_get_name(structure);
    if (gst_structure_has_name(structure, "video/x-raw"))
    {
        return GetRawSubtype(gst_structure_get_string(structure, "format"));
    }
    static constexpr struct
    {
        const char* mediaType;
        char fourcc[5];
    } compressed[] = {
        {"image/jpeg", "MJPG"},
        {"video/x-h264", "H264"},
        {"video/x-h265", "HEVC"},
        {"video/x-dv", "DVSD"},
    };
    for (const auto& entry : compressed)
    {
        if (std::strcmp(name, entry.mediaType) == 0)
        {
            return MakeFourccSubtype(entry.fourcc);
        }
    }
    std::string key = name;
    if (const char* format = gst_structure_get_string(structure, "format"))
    {
        key += "/";
        key += format;
    }
    return MakeUnnamedSubtype(key);
}

} // namespace Norvex::Core::GStreamerVideoCapture
