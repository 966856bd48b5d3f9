#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/PrintMessage.h"
#include "platform/Text.h"

namespace {

struct PrintCase {
    const char* name;
    void (*print)();
    std::string expected;
};

const PrintCase c_printCases[] = {
    {"plain text, LF becomes CR LF", [] { PrintMessage(WSTR("a\nb\n")); }, "a\r\nb\r\n"},
    {"%ld signed", [] { PrintMessage(WSTR("%ld|%ld|%ld"), 5, -1, static_cast<int>(0x80000000u)); }, "5|-1|-2147483648"},
    {"%ld of WAIT_FAILED", [] { PrintMessage(WSTR("dwWait:%ld\n"), static_cast<DWORD>(0xFFFFFFFFu)); }, "dwWait:-1\r\n"},
    {"%08lX", [] { PrintMessage(WSTR("0x%08lX 0x%08lX"), static_cast<HRESULT>(0x80070003L), 0); }, "0x80070003 0x00000000"},
    {"%lX and %X without zeros", [] { PrintMessage(WSTR("%lX %X %X"), 0x0u, 0x87877887u, 0x200u); }, "0 87877887 200"},
    {"%02ld and %03ld", [] { PrintMessage(WSTR("%ld.%ld.%02ld.%03ld"), 1, 0, 18, 403); }, "1.0.18.403"},
    {"%02ld and %03ld pad", [] { PrintMessage(WSTR("%02ld.%03ld"), 7, 5); }, "07.005"},
    {"%s plain", [] { PrintMessage(WSTR("(%s)"), WSTR("C:\\x")); }, "(C:\\x)"},
    {"%s code units 1..255 pass as bytes",
     [] {
         const WCHAR sz[] = {0x01, 0x7F, 0x80, 0xE9, 0xFF, 0};
         PrintMessage(WSTR("%s"), sz);
     },
     std::string("\x01\x7F\x80\xE9\xFF")},
    {"%s code units above 255 become ?",
     [] {
         const WCHAR sz[] = {0x100, u'a', 0x4E2D, 0xD83D, 0xDE00, 0};
         PrintMessage(WSTR("%s"), sz);
     },
     "?a???"},
    {"%s with a line feed inside", [] { PrintMessage(WSTR("[%s]"), WSTR("x\ny")); }, "[x\r\ny]"},
    {"percent sign", [] { PrintMessage(WSTR("100%%")); }, "100%"},
};

TEST(PrintMessage, WritesExactBytes)
{
    for (const PrintCase& testCase : c_printCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        testCase.print();
        EXPECT_EQ(g_fake.stdoutBytes, testCase.expected);
    }
}

TEST(PrintMessage, LongArgumentIsWrittenWhole)
{
    FakeReset();
    std::u16string longText(100000, u'x');
    PrintMessage(WSTR("<%s>\n"), longText.c_str());
    EXPECT_EQ(g_fake.stdoutBytes, "<" + std::string(100000, 'x') + ">\r\n");
}

TEST(FormatString, BoundsAndReportsTruncation)
{
    WCHAR sz[8];
    EXPECT_EQ(FormatString(sz, 8, WSTR("%s\\%s"), WSTR("ab"), WSTR("cd")), S_OK);
    EXPECT_TRUE(EqualsExact(sz, WSTR("ab\\cd")));
    EXPECT_TRUE(FAILED(FormatString(sz, 8, WSTR("%s\\%s"), WSTR("abcd"), WSTR("efgh"))));
    EXPECT_EQ(StringLength(sz), 7u);  // truncated, but terminated inside the buffer
    EXPECT_EQ(FormatString(sz, 8, WSTR("%s"), WSTR("1234567")), S_OK);
}

TEST(Text, CaseFoldsOnlyAsciiLetters)
{
    EXPECT_TRUE(EqualsNoCaseAscii(WSTR("-BaK"), WSTR("-bak")));
    EXPECT_FALSE(EqualsNoCaseAscii(WSTR("-bak"), WSTR("-ba")));
    EXPECT_FALSE(EqualsNoCaseAscii(WSTR("-ba"), WSTR("-bak")));
    const WCHAR szFullWidth[] = {u'-', 0xFF42, u'a', u'k', 0};  // full-width b
    EXPECT_FALSE(EqualsNoCaseAscii(szFullWidth, WSTR("-bak")));
    const WCHAR szAccentUpper[] = {0xC9, 0};
    const WCHAR szAccentLower[] = {0xE9, 0};
    EXPECT_FALSE(EqualsNoCaseAscii(szAccentUpper, szAccentLower));
    // "[" (0x5B) and "{" (0x7B) differ by 0x20 too but are not letters.
    EXPECT_FALSE(EqualsNoCaseAscii(WSTR("["), WSTR("{")));
}

}  // namespace
