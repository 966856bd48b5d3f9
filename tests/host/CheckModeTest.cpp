// "-check 1": what it reports, its exit code, and that it writes nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "PrefBuilder.h"
#include "TestSupport.h"

namespace {

const std::u16string c_machine = u"C:\\Windows\\system32\\GroupPolicy\\Machine";
const std::u16string c_pol = c_machine + u"\\Registry.pol";
const std::u16string c_gptIni = u"C:\\Windows\\system32\\GroupPolicy\\gpt.ini";
const std::string c_gptIniInStep =
    "[General]\r\ngPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}"
    "{D02B1F72-3407-48AE-BA88-E8213C6761F1}]\r\nVersion=3\r\n";

FAKE_BYTES Bytes(const std::string& text)
{
    return FAKE_BYTES(text.begin(), text.end());
}

PREF_BYTES RowRecord(int iRow, uint32_t dwType, const PREF_BYTES& data)
{
    return Record(g_PolicySettings[iRow].szKeyName, g_PolicySettings[iRow].szValueName, dwType, data);
}

// Registry.pol holding every row as it should, in table order.
PREF_BYTES CompliantFile(const PREF_BYTES& extra = {})
{
    PREF_BYTES bytes = Header();
    for (const POLICY_SETTING& row : g_PolicySettings) {
        bytes = Cat({bytes, SettingRecord(row)});
    }
    return Cat({bytes, extra});
}

FAKE_PATH FoldedKey(int iRow)
{
    return FakeFold(g_PolicySettings[iRow].szKeyName);
}

FAKE_PATH FoldedName(int iRow)
{
    return FakeFold(g_PolicySettings[iRow].szValueName);
}

// A machine on which an update has put everything in force.
void Compliant()
{
    FakeReset();
    FakeAddDirectory(c_machine);
    FakeSetFile(c_pol, CompliantFile());
    FakeSetFile(c_gptIni, Bytes(c_gptIniInStep));
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        FAKE_REG_VALUE value = {4, Dword(g_PolicySettings[i].dwData)};
        g_fake.registry[FoldedKey(i)][FoldedName(i)] = value;
    }
}

std::string AllRowsMissingFromTheFile()
{
    std::string text;
    for (const POLICY_SETTING& row : g_PolicySettings) {
        std::u16string name(row.szValueName);
        text += "not in force: " + std::string(name.begin(), name.end()) + " in policy file: missing\r\n";
    }
    return text;
}

struct CHECK_CASE {
    const char* name;
    std::function<void()> change;  // what differs from a compliant machine
    std::initializer_list<std::u16string> args;
    HRESULT hrExpected;
    std::string lines;  // after the banner
};

const std::string c_stale = "not in force: ColorDepth in policy file: type:4 size:4 data:0x10\r\n";

const CHECK_CASE c_checkCases[] = {
    {"everything in force", [] {}, {u"v", u"-check", u"1"}, S_OK, ""},
    {"no policy folder", [] { FakeReset(); }, {u"v", u"-check", u"1", u"-reg", u"0"}, S_FALSE,
     AllRowsMissingFromTheFile() +
         "not in force: gpt.ini lacks the registry extension or a machine version\r\n"},
    {"one row stale", [] { FakeSetFile(c_pol, Cat({CompliantFile(), RowRecord(10, 4, Dword(16))})); },
     {u"v", u"-check", u"1"}, S_FALSE, c_stale},
    {"one row twice, the stale copy last: Windows applies the last",
     [] { FakeSetFile(c_pol, Cat({CompliantFile(), RowRecord(10, 4, Dword(16))})); }, {u"v", u"-check", u"1"},
     S_FALSE, c_stale},
    {"one row twice, the stale copy first: the good one wins",
     [] {
         const PREF_BYTES compliant = CompliantFile();
         FakeSetFile(c_pol, Cat({Header(), RowRecord(10, 4, Dword(16)), PREF_BYTES(compliant.begin() + 8, compliant.end())}));
     },
     {u"v", u"-check", u"1"}, S_OK, ""},
    {"a row of another type in the file", [] { FakeSetFile(c_pol, Cat({CompliantFile(), RowRecord(0, 1, Dword(1))})); },
     {u"v", u"-check", u"1"}, S_FALSE, "not in force: KeepAliveEnable in policy file: type:1 size:4 data:0x1\r\n"},
    {"a malformed file holds none of the rows", [] { FakeSetFile(c_pol, Cat({CompliantFile(), {0x41, 0x00}})); },
     {u"v", u"-check", u"1", u"-reg", u"0"}, S_FALSE, "prefix entity error\r\n" + AllRowsMissingFromTheFile()},
    {"a registry value missing", [] { g_fake.registry[FoldedKey(17)].erase(FoldedName(17)); },
     {u"v", u"-check", u"1"}, S_FALSE, "not in force: fUsbRedirectionEnableMode in registry: missing\r\n"},
    {"a registry value of another type",
     [] { g_fake.registry[FoldedKey(14)][FoldedName(14)] = FAKE_REG_VALUE{1, Sz(u"two")}; },
     {u"v", u"-check", u"1"}, S_FALSE, "not in force: ImageQuality in registry: type:1 size:8\r\n"},
    {"a registry value with other data",
     [] { g_fake.registry[FoldedKey(1)][FoldedName(1)] = FAKE_REG_VALUE{4, Dword(5)}; }, {u"v", u"-check", u"1"},
     S_FALSE, "not in force: KeepAliveInterval in registry: type:4 size:4 data:0x5\r\n"},
    {"-reg 0 does not look at the registry", [] { g_fake.registry.clear(); },
     {u"v", u"-check", u"1", u"-reg", u"0"}, S_OK, ""},
    {"gpt.ini missing", [] { FakeRemoveFile(c_gptIni); }, {u"v", u"-check", u"1"}, S_FALSE,
     "not in force: gpt.ini lacks the registry extension or a machine version\r\n"},
    {"gpt.ini without the registry extension", [] { FakeSetFile(c_gptIni, Bytes("[General]\r\nVersion=3\r\n")); },
     {u"v", u"-check", u"1"}, S_FALSE,
     "not in force: gpt.ini lacks the registry extension or a machine version\r\n"},
    {"gpt.ini with machine version 0",
     [] {
         std::string text = c_gptIniInStep;
         text.replace(text.find("Version=3"), 9, "Version=65536");
         FakeSetFile(c_gptIni, Bytes(text));
     },
     {u"v", u"-check", u"1"}, S_FALSE,
     "not in force: gpt.ini lacks the registry extension or a machine version\r\n"},
    {"another folder's gpt.ini is not looked at", [] { FakeAddDirectory(u"C:\\Other"); },
     {u"v", u"-check", u"1", u"-path", u"C:\\Other"}, S_FALSE, AllRowsMissingFromTheFile()},
    {"Registry.pol cannot be read", [] { FakeFailNamedCall("ReadFile", 1, 5); }, {u"v", u"-check", u"1"},
     static_cast<HRESULT>(0x80070005), "failed to read input file. err:0x80070005\r\n"},
    {"Registry.pol cannot be opened", [] { FakeFailNamedCall("OpenFileForRead", 1, 5); }, {u"v", u"-check", u"1"},
     static_cast<HRESULT>(0x80070005), "failed to open input file. err:0x80070005\r\n"},
    {"a registry read fails", [] { FakeFailNamedCall("RegQueryValue", 3, 5); }, {u"v", u"-check", u"1"},
     static_cast<HRESULT>(0x80070005), "ERR: failed to query val. err:0x80070005\r\n"},
    {"a registry key cannot be opened", [] { FakeFailNamedCall("RegOpenKey", 1, 5); }, {u"v", u"-check", u"1"},
     static_cast<HRESULT>(0x80070005), "ERR: failed to open key. err:0x80070005\r\n"},
};

// Calls that change anything on the machine.
const char* const c_writingCalls[] = {"CreateDirectory", "CreateNewFile", "WriteFile",     "FlushFile",
                                      "DeleteFile",      "MoveFile",      "ReplaceFile",   "OpenLockFile",
                                      "RegCreateKey",    "RegSetValue",   "RefreshPolicy", "ShellExecuteEx"};

TEST(CheckMode, ReportsWhatIsNotInForceAndWritesNothing)
{
    for (const CHECK_CASE& testCase : c_checkCases) {
        SCOPED_TRACE(testCase.name);
        Compliant();
        testCase.change();
        const auto filesBefore = g_fake.files;
        const auto registryBefore = g_fake.registry.size();
        const std::string banner = g_fake.stdoutBytes;

        EXPECT_EQ(RunTool(testCase.args), testCase.hrExpected);
        const std::string& out = g_fake.stdoutBytes;
        ASSERT_GE(out.size(), testCase.lines.size());
        EXPECT_EQ(out.substr(out.size() - testCase.lines.size()), testCase.lines);
        EXPECT_EQ(out.size(), 5u * 65u + testCase.lines.size()) << "the banner and those lines only";
        for (const char* pszCall : c_writingCalls) {
            EXPECT_FALSE(Called(pszCall)) << pszCall;
        }
        EXPECT_TRUE(g_fake.files == filesBefore);
        EXPECT_EQ(g_fake.registry.size(), registryBefore);
        EXPECT_TRUE(g_fake.openFiles.empty());
        EXPECT_TRUE(g_fake.openKeys.empty());
        EXPECT_EQ(g_fake.cLiveAllocations, 0);
        EXPECT_LE(g_fake.cAllocations, 1);
    }
}

// A check right after an update finds everything in force.
TEST(CheckMode, AfterAnUpdateEverythingIsInForce)
{
    FakeReset();
    ASSERT_EQ(RunTool({u"v"}), S_OK);
    g_fake.stdoutBytes.clear();
    EXPECT_EQ(RunTool({u"v", u"-check", u"1"}), S_OK);
    EXPECT_EQ(g_fake.stdoutBytes.size(), 5u * 65u);
}

}  // namespace
