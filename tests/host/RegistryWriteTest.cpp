#include <gtest/gtest.h>

#include "TestSupport.h"
#include "apply/RegistryWrite.h"

namespace {

const char16_t c_szTsKey[] = u"software\\policies\\microsoft\\windows nt\\terminal services";

TEST(WritePolicyToRegistry, WritesEveryRowAsItsDword)
{
    FakeReset();
    // A value of the same name with another type and data is replaced.
    g_fake.registry[c_szTsKey][u"colordepth"] = FAKE_REG_VALUE{1, FAKE_BYTES{'x', 0, 0, 0}};
    for (const POLICY_SETTING& row : g_PolicySettings) {
        EXPECT_EQ(WritePolicyToRegistry(row), S_OK);
    }
    EXPECT_EQ(g_fake.stdoutBytes, "");
    EXPECT_TRUE(g_fake.openKeys.empty());
    for (const POLICY_SETTING& row : g_PolicySettings) {
        SCOPED_TRACE(std::string(row.szValueName, row.szValueName + 10));
        const FAKE_REG_VALUE& value = g_fake.registry[FakeFold(row.szKeyName)][FakeFold(row.szValueName)];
        EXPECT_EQ(value.dwType, static_cast<DWORD>(REG_DWORD));
        FAKE_BYTES expected = {static_cast<uint8_t>(row.dwData), static_cast<uint8_t>(row.dwData >> 8),
                               static_cast<uint8_t>(row.dwData >> 16), static_cast<uint8_t>(row.dwData >> 24)};
        EXPECT_EQ(value.data, expected);
    }
    EXPECT_EQ(g_fake.registry[std::u16string(c_szTsKey) + u"\\client"].size(), 1u);
    EXPECT_EQ(g_fake.registry[c_szTsKey][u"colordepth"].data, (FAKE_BYTES{0xE7, 0x03, 0, 0}));
    // Access: KEY_READ | KEY_WRITE, non-volatile, below HKEY_LOCAL_MACHINE.
    EXPECT_EQ(g_fake.regLog[0].rfind("create opt=0 sam=0x2001F root=HKLM", 0), 0u);
}

struct RegistryFailureCase {
    const char* name;
    const char* pszFailCall;
    DWORD dwError;
    HRESULT hrExpected;
    const char* pszMessage;
    bool bValueWritten;
};

const RegistryFailureCase c_registryFailures[] = {
    {"key cannot be opened", "RegCreateKey", 5, static_cast<HRESULT>(0x80070005), "ERR: failed to open key.\n", false},
    {"value cannot be set", "RegSetValue", 1021, static_cast<HRESULT>(0x800703FD), "ERR: failed to set val.\n", false},
    {"close fails: not examined", "RegCloseKey", 6, S_OK, "", true},
};

TEST(WritePolicyToRegistry, Failures)
{
    for (const RegistryFailureCase& testCase : c_registryFailures) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        FakeFailNamedCall(testCase.pszFailCall, 1, testCase.dwError);
        const POLICY_SETTING& row = g_PolicySettings[10];
        EXPECT_EQ(WritePolicyToRegistry(row), testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, Crlf(testCase.pszMessage));
        EXPECT_EQ(g_fake.registry[c_szTsKey].count(u"colordepth") != 0, testCase.bValueWritten);
        // A key that was opened is closed exactly once; a failed open closes nothing.
        size_t cCreates = 0, cCloses = 0;
        for (const std::string& entry : g_fake.regLog) {
            cCreates += entry.rfind("create", 0) == 0 && entry.find(" key=") != std::string::npos;
            cCloses += entry == "close";
        }
        EXPECT_EQ(cCloses, cCreates);
    }
}

TEST(WritePolicyToRegistry, AFailingRowDoesNotStopTheNext)
{
    FakeReset();
    g_fake.deniedKeys.insert(std::u16string(c_szTsKey) + u"\\client");
    int cFailed = 0;
    for (const POLICY_SETTING& row : g_PolicySettings) {
        cFailed += FAILED(WritePolicyToRegistry(row)) ? 1 : 0;
    }
    EXPECT_EQ(cFailed, 1);
    EXPECT_EQ(g_fake.stdoutBytes, Crlf("ERR: failed to open key.\n"));
    EXPECT_EQ(g_fake.registry[c_szTsKey].size(), 17u);
}

}  // namespace
