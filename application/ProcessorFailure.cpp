#include "ProcessorFailure.h"

#include "ProcessorEntry.h"

#include <Norvex/Core/StringHelpers.h>

namespace VistelCapture
{
namespace
{

std::wstring Describe(const ProcessorEntry& entry, const char* call, const std::wstring& reason)
{
    const auto& plugin = entry.GetPlugin();
    std::wstring text = L"プロセッサー「" + entry.GetName() + L"」";
    if (plugin)
    {
        text += L"(" + plugin->GetPath() + L")";
    }
    text += L"の " + Norvex::Core::ToWideString(call) + L" でエラーが発生しました。\n" + reason;
    if (!text.empty() && text.back() != L'\n')
    {
        text += L'\n';
    }
    return text;
}

} // namespace

ProcessorFailure::ProcessorFailure(const ProcessorEntry& entry, const char* call,
                                   Norvex::Core::HRESULT status, const std::wstring& reason,
                                   const char* functionName, const wchar_t* sourceFileName, int lineNumber)
    : Exception(status, Describe(entry, call, reason), functionName, sourceFileName, lineNumber),
      entry(&entry)
{
}

} // namespace VistelCapture
