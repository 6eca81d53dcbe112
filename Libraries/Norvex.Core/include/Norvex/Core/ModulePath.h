#pragma once

#include <string>

namespace Norvex::Core
{

// The running executable's full path (/proc/self/exe). Raises the system's reason on failure.
std::wstring GetModulePath();

} // namespace Norvex::Core
