#include <Norvex/Core/Exception.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace Norvex::Core;

namespace
{

class DerivedException : public Exception
{
public:
    using Exception::Exception;
};

} // namespace

TEST(StatusMessage, KnownCodesHaveTheirTextEndingInALineBreak)
{
    for (HRESULT code : {E_UNEXPECTED, E_FAIL, E_POINTER, E_NOINTERFACE, E_NOTIMPL})
    {
        const auto text = FormatStatusMessage(code);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), L'\n');
        EXPECT_EQ(text.find(L"(COM)"), std::wstring::npos);
    }
    EXPECT_EQ(FormatStatusMessage(E_UNEXPECTED), L"致命的なエラーです。\n");
}

TEST(StatusMessage, UnknownCodesUseTheHexadecimalFormUnsigned)
{
    EXPECT_EQ(FormatStatusMessage(MakeStatus(0x8ABC1234u)), L"(COM) 0x8abc1234");
    EXPECT_EQ(FormatStatusMessage(MakeStatus(0xFFFFFFFFu)), L"(COM) 0xffffffff");
    EXPECT_EQ(FormatStatusMessage(0x12345), L"(COM) 0x00012345");
    EXPECT_EQ(FormatStatusMessage(S_FALSE), L"(COM) 0x00000001");
}

TEST(StatusMessage, Facility7CarriesErrnoText)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(5), MakeStatus(0x80070005u));
    EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
    EXPECT_EQ(HRESULT_FROM_WIN32(-7), -7);
    EXPECT_EQ(HRESULT_FROM_WIN32(0x12345), MakeStatus(0x80072345u));

    const std::string expected = std::string(std::strerror(ENOENT)) + "\n";
    const auto text = FormatStatusMessage(HRESULT_FROM_WIN32(ENOENT));
    EXPECT_EQ(text, std::wstring(expected.begin(), expected.end()));
    // An error number that the C library does not know has no text of its own.
    EXPECT_EQ(FormatStatusMessage(MakeStatus(0x8007FFFFu)), L"(COM) 0x8007ffff");
    EXPECT_EQ(FormatStatusMessage(MakeStatus(0x80070000u)), L"(COM) 0x80070000");
}

TEST(ExceptionType, FromStatusCarriesAllFiveFields)
{
    const Exception exception(E_POINTER, "Open", L"recording/VideoWriter.cpp", 42);
    EXPECT_EQ(exception.GetErrorCode(), E_POINTER);
    EXPECT_EQ(exception.GetMessage(), FormatStatusMessage(E_POINTER));
    EXPECT_EQ(exception.GetFunctionName(), L"Open");
    EXPECT_EQ(exception.GetSourceFileName(), L"recording/VideoWriter.cpp");
    EXPECT_EQ(exception.GetLineNumber(), 42);

    const Exception copy = exception;
    EXPECT_EQ(copy.GetErrorCode(), exception.GetErrorCode());
    EXPECT_EQ(copy.GetMessage(), exception.GetMessage());
    EXPECT_EQ(copy.GetFunctionName(), exception.GetFunctionName());
    EXPECT_EQ(copy.GetSourceFileName(), exception.GetSourceFileName());
    EXPECT_EQ(copy.GetLineNumber(), exception.GetLineNumber());
}

TEST(ExceptionType, FromMessageIsUnexpectedWithTheMessageUnchanged)
{
    const Exception exception(L"キャプチャーデバイスがありません。", "MainModel", L"MainModel.cpp", 7);
    EXPECT_EQ(exception.GetErrorCode(), MakeStatus(0x8000FFFFu));
    EXPECT_EQ(exception.GetMessage(), L"キャプチャーデバイスがありません。");

    const Exception empty(std::wstring(), "F", L"f", 1);
    EXPECT_TRUE(empty.GetMessage().empty());
    // A non-ASCII function name survives the narrow-to-wide conversion; null gives empty.
    EXPECT_EQ(Exception(L"m", "関数", L"f", 1).GetFunctionName(), L"関数");
    EXPECT_EQ(Exception(L"m", nullptr, nullptr, 1).GetFunctionName(), L"");
}

TEST(ExceptionType, WhatNamesTheDynamicType)
{
    const Exception base(E_FAIL, "F", L"f", 1);
    EXPECT_STREQ(base.what(), "Norvex::Core::Exception");
    const DerivedException derived(E_FAIL, "F", L"f", 1);
    const std::exception& asBase = derived;
    EXPECT_STREQ(asBase.what(), "(anonymous namespace)::DerivedException");
}

TEST(ExceptionType, RaisingHelpers)
{
    EXPECT_NO_THROW(ThrowIfFailed(S_OK, "F", L"f", 1));
    EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, "F", L"f", 1));
    EXPECT_NO_THROW(ThrowIfFailed(0x7FFFFFFF, "F", L"f", 1));
    try
    {
        ThrowIfFailed(E_NOINTERFACE, "QueryInterface", L"x.cpp", 9);
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), E_NOINTERFACE);
        EXPECT_EQ(exception.GetFunctionName(), L"QueryInterface");
        EXPECT_EQ(exception.GetLineNumber(), 9);
    }
    try
    {
        ThrowUnexpected("Start", L"y.cpp", 3);
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), E_UNEXPECTED);
        EXPECT_EQ(exception.GetMessage(), FormatStatusMessage(E_UNEXPECTED));
    }
    try
    {
        ThrowErrno(EACCES, "Open", L"z.cpp", 5);
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), MakeStatus(0x80070000u | EACCES));
    }
}

TEST(ExceptionType, SourceFileNamesAreRelativeToTheProject)
{
    const std::wstring file = NORVEX_SOURCE_FILE;
    EXPECT_NE(file.front(), L'/') << "the build machine's folder leaked into the binary";
    EXPECT_EQ(file, L"tests/core/ExceptionTests.cpp");
}
