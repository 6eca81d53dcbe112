#include <Norvex/Core/Exception.h>
#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/StringHelpers.h>

#include <gst/gst.h>

#include <memory>

namespace Norvex::Core
{

GStreamerInitializer::GStreamerInitializer()
{
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error))
    {
        std::unique_ptr<GError, decltype(&g_error_free)> owned(error, &g_error_free);
        std::wstring message = L"GStreamerを初期化できませんでした。";
        if (owned)
        {
            message += L"\n" + ToWideString(owned->message);
        }
        throw Exception(message, "GStreamerInitializer", NORVEX_SOURCE_FILE, __LINE__);
    }
}

} // namespace Norvex::Core
