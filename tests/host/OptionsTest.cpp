#include <gtest/gtest.h>

#include "TestSupport.h"
#include "app/Options.h"
#include "app/RunMain.h"
#include "platform/Text.h"

namespace {

struct OptionCase {
    const char* name;
    std::initializer_list<std::u16string> args;  // element 0 included
    DWORD dwOptions;
    const char16_t* pszFolder;                   // null: the default folder
};

const OptionCase c_optionCases[] = {
    {"no arguments", {u"velmorast.exe"}, OPTION_REGISTRY, nullptr},
    {"backup on", {u"v", u"-bak", u"1"}, OPTION_REGISTRY | OPTION_BACKUP, nullptr},
    {"registry off", {u"v", u"-reg", u"0"}, 0, nullptr},
    {"capitals", {u"v", u"-BAK", u"1", u"-Reg", u"0"}, OPTION_BACKUP, nullptr},
    {"last occurrence decides", {u"v", u"-bak", u"1", u"-bak", u"0"}, OPTION_REGISTRY, nullptr},
    {"other values change nothing", {u"v", u"-bak", u"01", u"-reg", u"yes", u"-bak", u""}, OPTION_REGISTRY, nullptr},
    {"value is consumed even if it is a name", {u"v", u"-bak", u"-reg", u"0"}, OPTION_REGISTRY, nullptr},
    {"path takes the next element", {u"v", u"-path", u"-bak", u"1"}, OPTION_REGISTRY, u"-bak"},
    {"mixed case path", {u"v", u"-Path", u"D:\\pol"}, OPTION_REGISTRY, u"D:\\pol"},
    {"second path wins", {u"v", u"-path", u"A", u"-path", u"B"}, OPTION_REGISTRY, u"B"},
    {"empty path", {u"v", u"-path", u""}, OPTION_REGISTRY, u""},
    {"option as last element", {u"v", u"-reg"}, OPTION_REGISTRY, nullptr},
    {"path as last element", {u"v", u"-path"}, OPTION_REGISTRY, nullptr},
    {"unknown element passed over alone", {u"v", u"foo", u"-reg", u"0"}, 0, nullptr},
    {"unknown pair passed over", {u"v", u"foo", u"0"}, OPTION_REGISTRY, nullptr},
    {"element 0 is never an option", {u"-reg", u"0"}, OPTION_REGISTRY, nullptr},
    {"no abbreviations or other leaders", {u"v", u"-ba", u"1", u"/bak", u"1", u"--bak", u"1", u"-bakx", u"1"}, OPTION_REGISTRY, nullptr},
    {"full-width letters do not match", {u"v", u"-\uFF42ak", u"1"}, OPTION_REGISTRY, nullptr},
    {"accented letters do not match", {u"v", u"-r\u00C9g", u"0"}, OPTION_REGISTRY, nullptr},
    {"check on", {u"v", u"-check", u"1"}, OPTION_REGISTRY | OPTION_CHECK, nullptr},
    {"check in capitals", {u"v", u"-CHECK", u"1"}, OPTION_REGISTRY | OPTION_CHECK, nullptr},
    {"check with another value consumes it", {u"v", u"-check", u"01", u"-reg", u"0"}, 0, nullptr},
    {"check as the last element", {u"v", u"-check"}, OPTION_REGISTRY, nullptr},
    {"check off again: the last occurrence decides", {u"v", u"-check", u"1", u"-check", u"0"}, OPTION_REGISTRY, nullptr},
};

TEST(ParseCommandLine, Table)
{
    for (const OptionCase& testCase : c_optionCases) {
        SCOPED_TRACE(testCase.name);
        ARGS args;
        MakeArgs(&args, testCase.args);
        g_dwOptions = OPTION_REGISTRY;
        g_pszPolicyDir = g_szMachinePolicyDir;
        ParseCommandLine(static_cast<int>(args.storage.size()), args.pointers.data());
        EXPECT_EQ(g_dwOptions, testCase.dwOptions);
        if (testCase.pszFolder == nullptr) {
            EXPECT_EQ(g_pszPolicyDir, g_szMachinePolicyDir);
        } else {
            EXPECT_EQ(std::u16string(g_pszPolicyDir), std::u16string(testCase.pszFolder));
        }
    }
}

TEST(ParseCommandLine, PathPointsIntoTheVectorWithoutCopy)
{
    ARGS args;
    MakeArgs(&args, {u"v", u"-path", u"E:\\x"});
    g_pszPolicyDir = g_szMachinePolicyDir;
    ParseCommandLine(3, args.pointers.data());
    EXPECT_EQ(g_pszPolicyDir, args.pointers[2]);
}

TEST(ParseCommandLine, AnyVectorIsSafe)
{
    // Long, empty and non-ASCII elements, including lone surrogates.
    std::u16string longElement(70000, u'\u00E9');
    std::u16string surrogate(1, static_cast<char16_t>(0xD800));
    ARGS args;
    MakeArgs(&args, {u"v", longElement, u"", surrogate, u"-path", longElement, u"-bak"});
    g_dwOptions = OPTION_REGISTRY;
    ParseCommandLine(static_cast<int>(args.storage.size()), args.pointers.data());
    EXPECT_EQ(g_dwOptions, OPTION_REGISTRY);
    EXPECT_EQ(StringLength(g_pszPolicyDir), 70000u);
}

}  // namespace
