// The export breaks the contract by throwing a C++ exception of the library's own.
#include "TestFactory.h"

#include <stdexcept>

namespace
{
struct LibraryError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};
} // namespace

VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory**)
{
    throw LibraryError("thrown by the library");
}
