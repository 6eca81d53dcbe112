#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

using namespace Norvex::Core;

TEST(PathHelpers, FileAndDirectoryNames)
{
    EXPECT_EQ(GetFileName(L"C:\\dir\\file.txt"), L"file.txt");
    EXPECT_EQ(GetFileName(L"dir/file"), L"file");
    EXPECT_EQ(GetFileName(L"file"), L"file");
    EXPECT_EQ(GetFileName(L"/opt/vistel/"), L"");
    EXPECT_EQ(GetFileName(L""), L"");

    EXPECT_EQ(GetDirectoryName(L"file"), L"");
    EXPECT_EQ(GetDirectoryName(L"C:file"), L"C:");
    EXPECT_EQ(GetDirectoryName(L"/usr/bin/VistelCapture"), L"/usr/bin/");
    EXPECT_EQ(GetDirectoryName(L"a\\b/c"), L"a\\b/");
    EXPECT_EQ(GetDirectoryName(L"/"), L"/");
}

TEST(PathHelpers, ChangeExtension)
{
    EXPECT_EQ(ChangeExtension(L"C:\\a.b\\app.exe", L".ini"), L"C:\\a.b\\app.ini");
    EXPECT_EQ(ChangeExtension(L"C:\\dir\\app", L".ini"), L"C:\\dir\\app.ini");
    EXPECT_EQ(ChangeExtension(L"/opt/my.tools/VistelCapture", L".ini"), L"/opt/my.tools/VistelCapture.ini");
    EXPECT_EQ(ChangeExtension(L"/opt/app.v1.2", L".ini"), L"/opt/app.v1.ini");
    EXPECT_EQ(ChangeExtension(L"/opt/.hidden", L".ini"), L"/opt/.ini");
    EXPECT_EQ(ChangeExtension(L"movie.avi", L""), L"movie");
}

TEST(TextConversion, RoundTripsEveryPlane)
{
    const std::wstring text = L"キャプチャー a/b ü \U0001F4F7";
    EXPECT_EQ(ToWideString(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(L"\u00fc"), "\xC3\xBC");
    EXPECT_EQ(ToWideString("plain ASCII"), L"plain ASCII");
    EXPECT_EQ(ToWideString(static_cast<const char*>(nullptr)), L"");
}

TEST(TextConversion, MalformedInputIsReplacedNotDropped)
{
    EXPECT_EQ(ToWideString("a\xFF"
                           "b"),
              L"a\uFFFDb");
    EXPECT_EQ(ToWideString("\xE3\x82"), L"\uFFFD");       // cut short at the end
    EXPECT_EQ(ToWideString("\xC0\xAF/"), L"\uFFFD/");     // overlong slash
    EXPECT_EQ(ToWideString("\xED\xA0\x80z"), L"\uFFFDz"); // encoded surrogate
    EXPECT_EQ(ToWideString(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
    // A wide string may hold values that are no characters; they must not make broken UTF-8.
    const std::wstring bad{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)};
    EXPECT_EQ(ToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
