#include <Norvex/Core/ModulePath.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace Norvex::Core
{

std::wstring GetModulePath()
{
    std::vector<char> buffer(4096);
    for (;;)
    {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
        {
            ThrowErrno(errno, "GetModulePath", NORVEX_SOURCE_FILE, __LINE__);
        }
        if (static_cast<std::size_t>(length) < buffer.size())
        {
            return ToWideString(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace Norvex::Core
