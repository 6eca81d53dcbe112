#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VersionInformation.h>

#include "BuildInfo.h"

namespace Norvex::Core
{

VersionInformation::VersionInformation()
{
    // Japanese, Unicode: the one translation the product ships.
    blocks.push_back({{0x0411, 0x04B0},
                      ToWideString(BuildInfo::companyName),
                      ToWideString(BuildInfo::productVersion),
                      ToWideString(BuildInfo::productName)});
    entries.reserve(blocks.size());
    for (const auto& block : blocks)
    {
        entries.push_back({&block.translation, block.companyName.c_str(), block.productVersion.c_str(),
                           block.productName.c_str()});
    }
}

} // namespace Norvex::Core
