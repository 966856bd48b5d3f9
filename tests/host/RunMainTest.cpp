#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "app/Options.h"
#include "app/RunMain.h"
#include "policy/PolicySettings.h"

namespace {

const std::string c_banner = Crlf(
    "* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n"
    "*  Velmorast  1.0.18.403                                      *\n"
    "*                                                             *\n"
    "*  Copyright (C) 2026 Velmorast authors                       *\n"
    "* * * * * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n");


TEST(RunMain, BannerComesFirstIn63Columns)
{
    FakeReset();
    FakeFailNamedCall("GetVersionEx", FAKE_EVERY_CALL, 5);  // printed even when the run ends at once
    RunTool({u"v"});
    const std::string& out = g_fake.stdoutBytes;
    ASSERT_EQ(out.compare(0, c_banner.size(), c_banner), 0);
    size_t iStart = 0;
    for (int iLine = 0; iLine < 5; ++iLine) {
        size_t iEnd = out.find("\r\n", iStart);
        ASSERT_NE(iEnd, std::string::npos);
        EXPECT_EQ(iEnd - iStart, 63u) << "line " << iLine + 1;
        iStart = iEnd + 2;
    }
}

struct GateCase {
    const char* name;
    DWORD dwMajor, dwMinor;
    WORD wSuiteMask;
    BYTE bProductType;
    bool bShortOnly;
    HRESULT hrExpected;        // E_NOTIMPL for a refusal; otherwise past the gate
    const char* pszMessage;    // after the banner
};

const GateCase c_gateCases[] = {
    {"Home edition 6.1", 6, 1, 0x300, 1, false, E_NOTIMPL,
     "ERR: Home Edition is not supported. 6.1 build:7601 PlatformId:2 ProductType:0x1 SuiteMask:0x300.\r\n"},
    {"Vista", 6, 0, 0x100, 1, false, E_NOTIMPL,
     "ERR: Not support Vista and earlier versions. 6.0 build:7601 PlatformId:2 ProductType:0x1 SuiteMask:0x100.\r\n"},
    {"Home edition of Vista gets the Home message", 6, 0, 0x200, 1, false, E_NOTIMPL,
     "ERR: Home Edition is not supported. 6.0 build:7601 PlatformId:2 ProductType:0x1 SuiteMask:0x200.\r\n"},
    {"XP", 5, 1, 0, 1, false, E_NOTIMPL,
     "ERR: Not support Vista and earlier versions. 5.1 build:7601 PlatformId:2 ProductType:0x1 SuiteMask:0x0.\r\n"},
    {"short record leaves suite and product 0", 6, 0, 0x200, 3, true, E_NOTIMPL,
     "ERR: Not support Vista and earlier versions. 6.0 build:7601 PlatformId:2 ProductType:0x0 SuiteMask:0x0.\r\n"},
    {"short record: Home bit unseen, 6.1 passes", 6, 1, 0x200, 1, true, S_OK, nullptr},
    {"Windows 7 passes", 6, 1, 0x100, 1, false, S_OK, nullptr},
    {"Windows 10 passes", 10, 0, 0x110, 3, false, S_OK, nullptr},
};

TEST(RunMain, PlatformGate)
{
    for (const GateCase& testCase : c_gateCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        g_fake.version.dwMajorVersion = testCase.dwMajor;
        g_fake.version.dwMinorVersion = testCase.dwMinor;
        g_fake.version.dwBuildNumber = 7601;
        g_fake.version.wSuiteMask = testCase.wSuiteMask;
        g_fake.version.wProductType = testCase.bProductType;
        g_fake.bShortVersionOnly = testCase.bShortOnly;
        HRESULT hr = RunTool({u"velmorast.exe"});
        // The policy folder is created before either gate is applied.
        EXPECT_TRUE(g_fake.directories.count(u"c:\\windows\\system32\\grouppolicy\\machine"));
        if (testCase.pszMessage != nullptr) {
            EXPECT_EQ(hr, E_NOTIMPL);
            EXPECT_EQ(g_fake.stdoutBytes, c_banner + testCase.pszMessage);
            EXPECT_FALSE(Called("OpenFileForRead"));
            EXPECT_FALSE(Called("RegCreateKey"));
            EXPECT_FALSE(Called("RefreshPolicy"));
        } else {
            // Past the gate, the whole run goes through on the fake machine.
            EXPECT_EQ(hr, testCase.hrExpected);
            EXPECT_EQ(g_fake.stdoutBytes, c_banner + "exit code:0x0\r\n");
            EXPECT_TRUE(Called("RefreshPolicy"));
        }
    }
}

struct StartupFailureCase {
    const char* name;
    const char* pszFailCall;
    int nOccurrence;
    DWORD dwError;
    std::initializer_list<std::u16string> args;
    HRESULT hrExpected;
    std::string message;
};

const StartupFailureCase c_startupFailures[] = {
    {"both version queries fail", "GetVersionEx", FAKE_EVERY_CALL, 5, {u"v"}, static_cast<HRESULT>(0x80070005),
     "ERR: get os version error. 0x80070005\r\n"},
    {"version queries fail with error 0", "GetVersionEx", FAKE_EVERY_CALL, 0, {u"v"}, E_FAIL,
     "ERR: get os version error. 0x80004005\r\n"},
    {"folder creation denied", "CreateDirectory", 1, 5, {u"v"}, static_cast<HRESULT>(0x80070005),
     "ERR: create policy folder (C:\\Windows\\system32\\GroupPolicy\\Machine) error. 0x80070005\r\n"},
    {"folder creation fails with error 0", "CreateDirectory", 1, 0, {u"v", u"-path", u"C:\\p"}, E_FAIL,
     "ERR: create policy folder (C:\\p) error. 0x80004005\r\n"},
    {"-path with a missing parent", nullptr, 0, 0, {u"v", u"-path", u"C:\\missing\\pol"},
     static_cast<HRESULT>(0x80070003), "ERR: create policy folder (C:\\missing\\pol) error. 0x80070003\r\n"},
    {"non-ASCII folder text prints ?", nullptr, 0, 0, {u"v", u"-path", u"C:\\\u4E2D\\\u00E9"},
     static_cast<HRESULT>(0x80070003), "ERR: create policy folder (C:\\?\\\xE9) error. 0x80070003\r\n"},
};

TEST(RunMain, StartupFailuresEndTheRun)
{
    for (const StartupFailureCase& testCase : c_startupFailures) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, testCase.nOccurrence, testCase.dwError);
        }
        HRESULT hr = RunTool(testCase.args);
        EXPECT_EQ(hr, testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, c_banner + testCase.message);
        EXPECT_FALSE(Called("OpenFileForRead"));
    }
}

TEST(RunMain, SecondVersionQueryIsTriedWithTheShortRecord)
{
    FakeReset();
    FakeFailNamedCall("GetVersionEx", 1, 87);
    RunTool({u"v", u"-path", u"C:\\Windows"});
    ASSERT_GE(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("GetVersionEx")), 2);
    EXPECT_EQ(g_osvi.dwOSVersionInfoSize, 276u);
    EXPECT_EQ(g_osvi.dwMajorVersion, 10u);
}

TEST(RunMain, ExistingFolderPassesSilently)
{
    FakeReset();
    FakeAddDirectory(u"C:\\Windows\\system32\\GroupPolicy\\Machine");
    g_fake.version.wSuiteMask = 0x200;  // stop right after the folder step
    EXPECT_EQ(RunTool({u"v"}), E_NOTIMPL);
    EXPECT_EQ(g_fake.stdoutBytes.find("create policy folder"), std::string::npos);
}

TEST(RunMain, DefaultFolderIsComputedEvenWithPath)
{
    FakeReset();
    FakeAddDirectory(u"D:");
    g_fake.version.wSuiteMask = 0x200;
    RunTool({u"v", u"-path", u"D:\\pol"});
    EXPECT_EQ(std::u16string(g_szMachinePolicyDir), u"C:\\Windows\\system32\\GroupPolicy\\Machine");
    EXPECT_TRUE(g_fake.directories.count(u"d:\\pol"));
    EXPECT_FALSE(g_fake.directories.count(u"c:\\windows\\system32\\grouppolicy\\machine"));
}

TEST(RunMain, OptionDefaultsAreResetOnEveryRun)
{
    FakeReset();
    g_fake.version.wSuiteMask = 0x200;
    RunTool({u"v", u"-bak", u"1", u"-reg", u"0"});
    EXPECT_EQ(g_dwOptions, OPTION_BACKUP);
    RunTool({u"v"});
    EXPECT_EQ(g_dwOptions, OPTION_REGISTRY);
}

// The refresh follows only an update that succeeded; a failed update's
// status is the exit code.
struct UpdateOutcomeCase {
    const char* name;
    const char* pszFailCall;
    int nOccurrence;  // which call of that name fails, with error 5
    HRESULT hrExpected;
    bool bRefreshed;
    std::string tail;  // the last line printed, when the update fails
};

const UpdateOutcomeCase c_updateOutcomes[] = {
    {"output cannot be created", "CreateNewFile", 1, static_cast<HRESULT>(0x80070005), false,
     "failed to open output file. err:0x80070005\r\n"},
    // The moves before it put back what an interrupted run may have left
    // of gpt.ini and of Registry.pol.
    {"new file cannot be put in place", "MoveFile", 3, static_cast<HRESULT>(0x80070005), false,
     "failed to write output file. err:0x80070005\r\n"},
    {"update succeeds", nullptr, 0, S_OK, true, ""},
};

TEST(RunMain, FailedUpdateEndsTheRunWithoutRefresh)
{
    for (const UpdateOutcomeCase& testCase : c_updateOutcomes) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, testCase.nOccurrence, 5);
        }
        EXPECT_EQ(RunTool({u"v"}), testCase.hrExpected);
        EXPECT_EQ(Called("RefreshPolicy"), testCase.bRefreshed);
        EXPECT_EQ(Called("ShellExecuteEx"), testCase.bRefreshed);
        const std::string& out = g_fake.stdoutBytes;
        if (!testCase.tail.empty()) {
            ASSERT_GE(out.size(), testCase.tail.size());
            EXPECT_EQ(out.substr(out.size() - testCase.tail.size()), testCase.tail);
        }
        EXPECT_EQ(FakeHasFile(u"C:\\Windows\\system32\\GroupPolicy\\Machine\\Registry.pol"), testCase.bRefreshed);
    }
}

// A registry row that cannot be written costs its line and nothing more: the
// other rows are still written, the policy file too, and the exit code is the
// refresh's.
TEST(RunMain, FailingRegistryRowDoesNotChangeTheRun)
{
    FakeReset();
    g_fake.deniedKeys.insert(u"software\\policies\\microsoft\\windows nt\\terminal services\\client");
    g_fake.dwChildExitCode = 1;
    EXPECT_EQ(RunTool({u"v"}), S_OK);
    EXPECT_EQ(g_fake.stdoutBytes, c_banner + "ERR: failed to open key.\r\nexit code:0x1\r\n");
    EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("RegCreateKey")), 18);
    EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("RegSetValue")), 17);
    EXPECT_EQ(FakeGetFile(u"C:\\Windows\\system32\\GroupPolicy\\Machine\\Registry.pol").size(), 3242u);

    // The same run with the first row failing, and with -reg 0: no registry call.
    FakeReset();
    FakeFailNamedCall("RegSetValue", 1, 5);
    EXPECT_EQ(RunTool({u"v"}), S_OK);
    EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("RegSetValue")), 18);
    FakeReset();
    EXPECT_EQ(RunTool({u"v", u"-reg", u"0"}), S_OK);
    EXPECT_FALSE(Called("RegCreateKey"));
}

// One run at a time per policy folder: the lock is taken before anything in
// the folder is settled or read, and released before the refresh.
struct LOCK_CASE {
    const char* name;
    int cBusyOpens;  // opens that meet another run's lock; FAKE_EVERY_CALL: it never lets go
    HRESULT hrExpected;
    size_t cSleeps;
    std::string tail;
};

const LOCK_CASE c_lockCases[] = {
    {"free at once", 0, S_OK, 0, "exit code:0x0\r\n"},
    {"released within the wait", 3, S_OK, 3, "exit code:0x0\r\n"},
    {"held past the wait", FAKE_EVERY_CALL, static_cast<HRESULT>(0x80070020), 240,
     "failed to lock policy folder. err:0x80070020\r\n"},
};

TEST(RunMain, PolicyFolderLock)
{
    const std::u16string dir = u"C:\\Windows\\system32\\GroupPolicy\\Machine";
    const FAKE_BYTES previous = {0x50, 0x52, 0x65, 0x67, 0x01, 0x00, 0x00, 0x00};
    for (const LOCK_CASE& testCase : c_lockCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        FakeAddDirectory(dir);
        FakeSetFile(dir + u"\\Registry.pol", previous);
        FakeSetFile(dir + u"\\Registry.pol.old", previous);  // a leftover to settle
        const auto filesBefore = g_fake.files;
        g_fake.cLockBusyOpens = testCase.cBusyOpens;

        EXPECT_EQ(RunTool({u"v", u"-bak", u"1"}), testCase.hrExpected);
        const std::string& out = g_fake.stdoutBytes;
        ASSERT_GE(out.size(), testCase.tail.size());
        EXPECT_EQ(out.substr(out.size() - testCase.tail.size()), testCase.tail);
        EXPECT_EQ(g_fake.sleeps.size(), testCase.cSleeps);
        for (DWORD dwSleep : g_fake.sleeps) {
            EXPECT_EQ(dwSleep, 250u);
        }
        // The lock is gone with its handle, whatever the outcome.
        EXPECT_FALSE(FakeHasFile(dir + u"\\Registry.pol.lck"));
        // Before anything else, the DLL search is kept to System32.
        ASSERT_FALSE(g_fake.calls.empty());
        EXPECT_EQ(g_fake.calls.front(), "RestrictDllSearch");
        EXPECT_TRUE(g_fake.openFiles.empty());

        const auto& calls = g_fake.calls;
        auto itLock = std::find(calls.begin(), calls.end(), std::string("OpenLockFile"));
        ASSERT_NE(itLock, calls.end());
        if (FAILED(testCase.hrExpected)) {
            // Nothing in the folder was touched, and no refresh followed.
            EXPECT_TRUE(g_fake.files == filesBefore);
            for (const char* pszCall : {"DeleteFile", "MoveFile", "OpenFileForRead", "RegCreateKey", "RefreshPolicy"}) {
                EXPECT_FALSE(Called(pszCall)) << pszCall;
            }
            continue;
        }
        // The lock came before the first settling step, and was gone
        // before the refresh.
        auto itFirstFileCall = std::find(calls.begin(), calls.end(), std::string("DeleteFile"));
        EXPECT_TRUE(itLock < itFirstFileCall);
        EXPECT_EQ(g_fake.cOpenFilesAtRefresh, 0u);
        EXPECT_TRUE(Called("RefreshPolicy"));
    }
}

}  // namespace
