#pragma once

#include "ProcessorEntry.h"

#include <memory>
#include <string>
#include <vector>

namespace VistelCapture
{

// The processor entries at start-up: "なし" first, then the processors of every loadable
// "Vistel*.so" regular file in the folder, library by library in name order, each library's in
// index order. A library that fails anywhere is skipped silently and keeps the entries it already
// gave; a library that gives none is unloaded again. Only the given folder is looked at.
std::vector<std::shared_ptr<ProcessorEntry>> DiscoverProcessorEntries(const std::wstring& folder);

} // namespace VistelCapture
