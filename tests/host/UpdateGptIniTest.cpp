// gpt.ini as whole runs leave it: when it is touched at all, that nothing is
// written when nothing changes, and that no failure loses the previous file
// or lets the run go on to the refresh. The edit itself is GptIniTest's.
#include <gtest/gtest.h>

#include <string>

#include "PrefBuilder.h"
#include "TestSupport.h"

namespace {

const std::u16string c_machine = u"C:\\Windows\\system32\\GroupPolicy\\Machine";
const std::u16string c_pol = c_machine + u"\\Registry.pol";
const std::u16string c_gptIni = u"C:\\Windows\\system32\\GroupPolicy\\gpt.ini";

FAKE_BYTES Bytes(const std::string& text)
{
    return FAKE_BYTES(text.begin(), text.end());
}

const FAKE_BYTES c_created = Bytes(
    "[General]\r\n"
    "gPCFunctionalityVersion=2\r\n"
    "gPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]\r\n"
    "Version=1\r\n");

std::string Text(const FAKE_BYTES& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Where a run is told to work, and what it makes of gpt.ini.
struct WHERE_CASE {
    const char* name;
    std::u16string currentDir;
    std::initializer_list<std::u16string> args;
    bool bMachineGptIni;  // the machine's gpt.ini is created
};

const WHERE_CASE c_whereCases[] = {
    {"the default folder", u"C:\\Users\\admin", {u"v"}, true},
    {"-path naming it in other letter case with a trailing backslash", u"C:\\Users\\admin",
     {u"v", u"-path", u"c:\\WINDOWS\\System32\\grouppolicy\\machine\\"}, true},
    {"-path elsewhere", u"C:\\Users\\admin", {u"v", u"-path", u"C:\\Other\\Machine"}, false},
    {"-path naming its parent", u"C:\\Users\\admin", {u"v", u"-path", u"C:\\Windows\\system32\\GroupPolicy"}, false},
};

TEST(UpdateGptIni, OnlyTheMachinesOwnFolderHasItsGptIniKeptInStep)
{
    const FAKE_BYTES otherGptIni = Bytes("[General]\r\nVersion=7\r\n");
    for (const WHERE_CASE& testCase : c_whereCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        FakeAddDirectory(u"C:\\Other");
        FakeSetFile(u"C:\\Other\\gpt.ini", otherGptIni);
        g_fake.currentDir = testCase.currentDir;
        EXPECT_EQ(RunTool(testCase.args), S_OK);
        EXPECT_EQ(FakeHasFile(c_gptIni), testCase.bMachineGptIni);
        if (testCase.bMachineGptIni) {
            EXPECT_EQ(Text(FakeGetFile(c_gptIni)), Text(c_created));
        }
        // Another folder's gpt.ini may be a domain GPO's: never touched.
        EXPECT_EQ(FakeGetFile(u"C:\\Other\\gpt.ini"), otherGptIni);
        EXPECT_FALSE(FakeHasFile(u"C:\\Windows\\system32\\GroupPolicy\\gpt.ini.new"));
    }
}

TEST(UpdateGptIni, NothingChangedNothingWritten)
{
    FakeReset();
    ASSERT_EQ(RunTool({u"v"}), S_OK);
    ASSERT_EQ(FakeGetFile(c_gptIni), c_created);

    // A second run writes Registry.pol with the bytes it had, and leaves
    // gpt.ini alone: its only new file is Registry.pol's.
    g_fake.calls.clear();
    EXPECT_EQ(RunTool({u"v"}), S_OK);
    EXPECT_EQ(FakeGetFile(c_gptIni), c_created);
    EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("CreateNewFile")), 1);
    EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("ReplaceFile")), 1);

    // Once Registry.pol changed, the machine version goes up.
    FakeSetFile(c_pol, Cat({Header(), Record(g_PolicySettings[0].szKeyName, g_PolicySettings[0].szValueName, 4,
                                             Dword(5))}));
    EXPECT_EQ(RunTool({u"v"}), S_OK);
    std::string text = Text(c_created);
    text.replace(text.find("Version=1"), 9, "Version=2");
    EXPECT_EQ(Text(FakeGetFile(c_gptIni)), text);
}

// A gpt.ini that cannot be read, or is no INI text, stops the run before
// anything is written; a failed write of gpt.ini after Registry.pol is in
// place keeps the previous gpt.ini. Either way the run fails and no refresh
// follows.
struct FAULT_CASE {
    const char* name;
    FAKE_BYTES gptIni;       // empty: none
    const char* pszFailCall; // fails the nth call of that name with error 5
    int nFailCall;
    HRESULT hrExpected;
    std::string line;
    bool bPolicyWritten;
};

const FAKE_BYTES c_versionZero =
    Bytes("[General]\r\ngPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}"
          "{D02B1F72-3407-48AE-BA88-E8213C6761F1}]\r\nVersion=0\r\n");

const FAULT_CASE c_faultCases[] = {
    {"no INI text (a NUL byte)", Bytes(std::string("[General]\r\nVersion=1\r\n\0", 24)), nullptr, 0,
     static_cast<HRESULT>(0x8007000D), "gpt.ini could not be recognized. err:0x8007000D\r\n", false},
    {"over 64 KiB", Bytes(std::string("[General]\r\n") + std::string(65536, ';')), nullptr, 0,
     static_cast<HRESULT>(0x8007000D), "gpt.ini could not be recognized. err:0x8007000D\r\n", false},
    {"cannot be opened", c_versionZero, "OpenFileForRead", 1, static_cast<HRESULT>(0x80070005),
     "failed to open gpt.ini. err:0x80070005\r\n", false},
    {"cannot be read", c_versionZero, "ReadFile", 1, static_cast<HRESULT>(0x80070005),
     "failed to read gpt.ini. err:0x80070005\r\n", false},
    {"its work file cannot be created", c_versionZero, "CreateNewFile", 2, static_cast<HRESULT>(0x80070005),
     "failed to open gpt.ini for writing. err:0x80070005\r\n", true},
    {"its work file cannot be written", c_versionZero, "WriteFile", 2, static_cast<HRESULT>(0x80070005),
     "failed to write gpt.ini. err:0x80070005\r\n", true},
    {"its work file cannot be flushed", c_versionZero, "FlushFile", 2, static_cast<HRESULT>(0x80070005),
     "failed to write gpt.ini. err:0x80070005\r\n", true},
    {"it cannot be replaced", c_versionZero, "ReplaceFile", 1, static_cast<HRESULT>(0x80070005),
     "failed to write gpt.ini. err:0x80070005\r\n", true},
    {"none, and the new one cannot be put in place", {}, "MoveFile", 4, static_cast<HRESULT>(0x80070005),
     "failed to write gpt.ini. err:0x80070005\r\n", true},
};

TEST(UpdateGptIni, FailuresKeepThePreviousGptIniAndSkipTheRefresh)
{
    for (const FAULT_CASE& testCase : c_faultCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        if (!testCase.gptIni.empty()) {
            FakeSetFile(c_gptIni, testCase.gptIni);
        }
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, testCase.nFailCall, 5);
        }
        EXPECT_EQ(RunTool({u"v"}), testCase.hrExpected);
        const std::string& out = g_fake.stdoutBytes;
        ASSERT_GE(out.size(), testCase.line.size());
        EXPECT_EQ(out.substr(out.size() - testCase.line.size()), testCase.line);
        EXPECT_EQ(FakeHasFile(c_gptIni), !testCase.gptIni.empty());
        EXPECT_EQ(FakeGetFile(c_gptIni), testCase.gptIni);
        EXPECT_EQ(FakeHasFile(c_pol), testCase.bPolicyWritten);
        EXPECT_EQ(Called("RegCreateKey"), testCase.bPolicyWritten);
        EXPECT_FALSE(Called("RefreshPolicy"));
        EXPECT_FALSE(FakeHasFile(c_gptIni + u".new"));
        EXPECT_TRUE(g_fake.openFiles.empty());
    }
}

// Another program that rewrites gpt.ini while Registry.pol is being written
// keeps its change: the edit starts from what is there at the end.
TEST(UpdateGptIni, EditsTheFileAsItIsWhenWriting)
{
    FakeReset();
    FakeSetFile(c_gptIni, Bytes("[General]\r\nVersion=65536\r\n"));
    g_fake.onCall = [](const std::string& call) {
        if (call == "RegCreateKey") {
            FakeSetFile(c_gptIni, Bytes("[General]\r\nVersion=131072\r\ngPCUserExtensionNames=[]\r\n"));
        }
    };
    EXPECT_EQ(RunTool({u"v"}), S_OK);
    EXPECT_EQ(Text(FakeGetFile(c_gptIni)),
              "[General]\r\nVersion=131073\r\ngPCUserExtensionNames=[]\r\n"
              "gPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]\r\n");
}

// A gpt.ini shorter than its size said when read: the failure says so,
// whatever the last error held before.
TEST(UpdateGptIni, ShortReadIsEndOfFile)
{
    FakeReset();
    FakeSetFile(c_gptIni, c_versionZero);
    g_fake.cbReportedSize = c_versionZero.size() + 10;
    g_fake.dwLastError = 183;
    EXPECT_EQ(RunTool({u"v"}), static_cast<HRESULT>(0x80070026));
    const std::string line = "failed to read gpt.ini. err:0x80070026\r\n";
    ASSERT_GE(g_fake.stdoutBytes.size(), line.size());
    EXPECT_EQ(g_fake.stdoutBytes.substr(g_fake.stdoutBytes.size() - line.size()), line);
    EXPECT_FALSE(FakeHasFile(c_pol));
    EXPECT_EQ(FakeGetFile(c_gptIni), c_versionZero);
}

}  // namespace
