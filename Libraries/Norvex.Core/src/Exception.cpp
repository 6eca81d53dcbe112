#include <Norvex/Core/CriticalSection.h>
#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <typeindex>

namespace Norvex::Core
{
namespace
{

struct StatusText
{
    HRESULT code;
    const wchar_t* text;
};

// Texts of the status codes that the system itself raises. Like the platform texts they replace,
// each ends in a line break.
constexpr StatusText statusTexts[] = {
    {S_OK, L"この操作を正しく終了しました。\n"},
    {E_NOTIMPL, L"実装されていません。\n"},
    {E_NOINTERFACE, L"インターフェイスがサポートされていません。\n"},
    {E_POINTER, L"無効なポインターです。\n"},
    {E_ABORT, L"操作は中止されました。\n"},
    {E_FAIL, L"エラーを特定できません。\n"},
    {E_UNEXPECTED, L"致命的なエラーです。\n"},
    // A frame format that no capture path can stream (MF_E_INVALIDMEDIATYPE).
    {MakeStatus(0xC00D36B4u), L"メディアの種類が無効か、このオブジェクトではサポートされていません。\n"},
};

std::wstring ErrnoText(int error)
{
    // glibc names every errno it knows; an unnamed number has no text of its own.
    if (error <= 0 || strerrorname_np(error) == nullptr)
    {
        return {};
    }
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return ToWideString(text) + L"\n";
}

} // namespace

std::wstring FormatStatusMessage(HRESULT errorCode)
{
    for (const auto& entry : statusTexts)
    {
        if (entry.code == errorCode)
        {
            return entry.text;
        }
    }
    if (FAILED(errorCode) && HRESULT_FACILITY(errorCode) == FACILITY_WIN32)
    {
        if (auto text = ErrnoText(static_cast<int>(HRESULT_CODE(errorCode))); !text.empty())
        {
            return text;
        }
    }
    wchar_t buffer[32];
    std::swprintf(buffer, std::size(buffer), L"(COM) 0x%08x", static_cast<unsigned>(errorCode));
    return buffer;
}

Exception::Exception(HRESULT errorCode, const char* functionName, const wchar_t* sourceFileName,
                     int lineNumber)
    : errorCode(errorCode), message(FormatStatusMessage(errorCode)), functionName(ToWideString(functionName)),
      sourceFileName(sourceFileName ? sourceFileName : L""), lineNumber(lineNumber)
{
}

Exception::Exception(HRESULT errorCode, const std::wstring& message, const char* functionName,
                     const wchar_t* sourceFileName, int lineNumber)
    : errorCode(errorCode), message(message), functionName(ToWideString(functionName)),
      sourceFileName(sourceFileName ? sourceFileName : L""), lineNumber(lineNumber)
{
}

Exception::Exception(const std::wstring& message, const char* functionName, const wchar_t* sourceFileName,
                     int lineNumber)
    : Exception(E_UNEXPECTED, message, functionName, sourceFileName, lineNumber)
{
}

const char* Exception::what() const noexcept
{
    // Demangled once per dynamic type; map nodes keep the strings where what() handed them out.
    static CriticalSection section; // a leaf lock
    static std::map<std::type_index, std::string> names;
    try
    {
        const std::type_info& type = typeid(*this);
        CriticalSection::AutoLock lock(section);
        auto [it, inserted] = names.try_emplace(std::type_index(type));
        if (inserted)
        {
            int status = 0;
            std::unique_ptr<char, decltype(&std::free)> demangled(
                abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
            it->second = status == 0 && demangled ? demangled.get() : type.name();
        }
        return it->second.c_str();
    }
    catch (...)
    {
        return "Norvex::Core::Exception";
    }
}

void ThrowErrno(int error, const char* functionName, const wchar_t* sourceFileName, int lineNumber)
{
    const HRESULT status = HRESULT_FROM_WIN32(error);
    throw Exception(FAILED(status) ? status : E_FAIL, functionName, sourceFileName, lineNumber);
}

} // namespace Norvex::Core
