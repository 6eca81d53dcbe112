#pragma once

#include <Norvex/Core/Com.h>

#include <exception>
#include <string>

// Raise sites pass their own source file; the build maps it to a path relative to the project.
#define NORVEX_SOURCE_FILE (L"" __FILE__)

namespace Norvex::Core
{

// The one exception type of the system: a status code, the text shown to the user and where it
// was raised. what() names the dynamic type; read the message through GetMessage.
class Exception : public std::exception
{
public:
    // The message is the system's text for the status code.
    Exception(HRESULT errorCode, const char* functionName, const wchar_t* sourceFileName, int lineNumber);
    // The message is taken unchanged (it names what failed and says why); the status code stays.
    Exception(HRESULT errorCode, const std::wstring& message, const char* functionName,
              const wchar_t* sourceFileName, int lineNumber);
    // The status code is E_UNEXPECTED and the message is taken unchanged.
    Exception(const std::wstring& message, const char* functionName, const wchar_t* sourceFileName,
              int lineNumber);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    ~Exception() override = default;

    const char* what() const noexcept override;

    HRESULT GetErrorCode() const noexcept { return errorCode; }
    const std::wstring& GetMessage() const noexcept { return message; }
    const std::wstring& GetFunctionName() const noexcept { return functionName; }
    const std::wstring& GetSourceFileName() const noexcept { return sourceFileName; }
    int GetLineNumber() const noexcept { return lineNumber; }

private:
    HRESULT errorCode;
    std::wstring message;
    std::wstring functionName;
    std::wstring sourceFileName;
    int lineNumber;
};

// The text of a status code: the system's table, strerror for facility 7, else "(COM) 0x%08x".
std::wstring FormatStatusMessage(HRESULT errorCode);

inline void ThrowIfFailed(HRESULT status, const char* functionName, const wchar_t* sourceFileName,
                          int lineNumber)
{
    if (FAILED(status))
    {
        throw Exception(status, functionName, sourceFileName, lineNumber);
    }
}

[[noreturn]] inline void ThrowUnexpected(const char* functionName, const wchar_t* sourceFileName,
                                         int lineNumber)
{
    throw Exception(E_UNEXPECTED, functionName, sourceFileName, lineNumber);
}

// errno (after a failed system call) raised by the HRESULT_FROM_WIN32 rule.
[[noreturn]] void ThrowErrno(int error, const char* functionName, const wchar_t* sourceFileName,
                             int lineNumber);

} // namespace Norvex::Core
