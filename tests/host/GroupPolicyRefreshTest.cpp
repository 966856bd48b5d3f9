#include <gtest/gtest.h>

#include "TestSupport.h"
#include "apply/GroupPolicyRefresh.h"

namespace {

struct RefreshCase {
    const char* name;
    // Refresh request
    bool bRefreshFails;
    DWORD dwRefreshError;
    // Launch
    bool bLaunchFails;
    DWORD dwLaunchError;
    bool bNullProcess;
    // Wait and exit code
    DWORD dwWaitResult;
    bool bExitCodeFails;
    DWORD dwExitCodeError;
    DWORD dwChildExitCode;
    // Expected
    HRESULT hrExpected;
    const char* pszOutput;
};

const RefreshCase c_refreshCases[] = {
    {"everything succeeds", false, 0, false, 0, false, WAIT_OBJECT_0, false, 0, 0, S_OK, "exit code:0x0\n"},
    {"child exit code is printed, never returned", false, 0, false, 0, false, WAIT_OBJECT_0, false, 0, 0xC0000135u, S_OK,
     "exit code:0xC0000135\n"},
    {"refresh fails, gpupdate still runs", true, 5, false, 0, false, WAIT_OBJECT_0, false, 0, 7,
     static_cast<HRESULT>(0x80070005), "Failed to refresh group policy. err:0x80070005\nexit code:0x7\n"},
    // The Windows side loads userenv.dll from System32 by full path; when it
    // or RefreshPolicy cannot be had, that is a failed refresh request.
    {"userenv.dll cannot be loaded, gpupdate still runs", true, 126, false, 0, false, WAIT_OBJECT_0, false, 0, 0,
     static_cast<HRESULT>(0x8007007E), "Failed to refresh group policy. err:0x8007007E\nexit code:0x0\n"},
    {"RefreshPolicy is missing, gpupdate still runs", true, 127, false, 0, false, WAIT_OBJECT_0, false, 0, 0,
     static_cast<HRESULT>(0x8007007F), "Failed to refresh group policy. err:0x8007007F\nexit code:0x0\n"},
    {"refresh fails with error 0", true, 0, false, 0, false, WAIT_OBJECT_0, false, 0, 0, E_FAIL,
     "Failed to refresh group policy. err:0x80004005\nexit code:0x0\n"},
    {"launch fails", false, 0, true, 2, false, WAIT_OBJECT_0, false, 0, 0, static_cast<HRESULT>(0x80070002),
     "Failed to update group policy. err:0x80070002\n"},
    {"refresh and launch fail: the launch failure wins", true, 5, true, 1400, false, WAIT_OBJECT_0, false, 0, 0,
     static_cast<HRESULT>(0x80070578),
     "Failed to refresh group policy. err:0x80070005\nFailed to update group policy. err:0x80070578\n"},
    {"launch fails with error 0 after a refresh failure: still a failure", true, 5, true, 0, false, WAIT_OBJECT_0,
     false, 0, 0, E_FAIL,
     "Failed to refresh group policy. err:0x80070005\nFailed to update group policy. err:0x80004005\n"},
    {"launch without a process handle", false, 0, false, 0, true, WAIT_OBJECT_0, false, 0, 0, S_OK, ""},
    {"no process handle after a refresh failure", true, 1722, false, 0, true, WAIT_OBJECT_0, false, 0, 0,
     static_cast<HRESULT>(0x800706BA), "Failed to refresh group policy. err:0x800706BA\n"},
    {"wait times out", false, 0, false, 0, false, WAIT_TIMEOUT, false, 0, 0, S_OK, "dwWait:258\n"},
    {"wait fails", false, 0, false, 0, false, WAIT_FAILED, false, 0, 0, S_OK, "dwWait:-1\n"},
    {"wait times out after a refresh failure", true, 5, false, 0, false, WAIT_TIMEOUT, false, 0, 0,
     static_cast<HRESULT>(0x80070005), "Failed to refresh group policy. err:0x80070005\ndwWait:258\n"},
    {"exit code query fails", false, 0, false, 0, false, WAIT_OBJECT_0, true, 6, 0, static_cast<HRESULT>(0x80070006),
     "Failed to get exit code. err:0x80070006\n"},
    {"exit code query fails with error 0", true, 5, false, 0, false, WAIT_OBJECT_0, true, 0, 0, E_FAIL,
     "Failed to refresh group policy. err:0x80070005\nFailed to get exit code. err:0x80004005\n"},
};

TEST(RefreshGroupPolicy, Outcomes)
{
    for (const RefreshCase& testCase : c_refreshCases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        g_fake.bRefreshResult = !testCase.bRefreshFails;
        g_fake.dwRefreshError = testCase.dwRefreshError;
        g_fake.bLaunchResult = !testCase.bLaunchFails;
        g_fake.dwLaunchError = testCase.dwLaunchError;
        g_fake.bLaunchGivesNullProcess = testCase.bNullProcess;
        g_fake.dwWaitResult = testCase.dwWaitResult;
        g_fake.bExitCodeResult = !testCase.bExitCodeFails;
        g_fake.dwExitCodeError = testCase.dwExitCodeError;
        g_fake.dwChildExitCode = testCase.dwChildExitCode;

        EXPECT_EQ(RefreshGroupPolicy(), testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, Crlf(testCase.pszOutput));
        // The process handle is released on every way out, and only once.
        EXPECT_EQ(g_fake.cOpenProcesses, 0);
        ASSERT_EQ(g_fake.refreshArgs.size(), 1u);
        EXPECT_EQ(g_fake.refreshArgs[0], TRUE);  // computer policy, not user policy
    }
}

TEST(RefreshGroupPolicy, LaunchRequest)
{
    FakeReset();
    g_fake.dwChildExitCode = 0;
    ASSERT_EQ(RefreshGroupPolicy(), S_OK);
    const SHELLEXECUTEINFOW& sei = g_fake.lastLaunch;
    EXPECT_EQ(sei.cbSize, 112u);
    // The process handle back, and never a dialog that nobody could answer.
    EXPECT_EQ(sei.fMask, 0x440u);
    EXPECT_EQ(sei.hwnd, nullptr);
    EXPECT_EQ(sei.lpVerb, nullptr);
    // By full path: a bare name would be looked for in the current folder.
    EXPECT_EQ(g_fake.lastLaunchFile, u"C:\\Windows\\system32\\gpupdate.exe");
    EXPECT_EQ(g_fake.lastLaunchParameters, u"/force");
    EXPECT_EQ(sei.lpDirectory, nullptr);
    EXPECT_EQ(sei.nShow, SW_SHOWNORMAL);
    EXPECT_EQ(sei.hInstApp, nullptr);
    EXPECT_EQ(sei.lpClass, nullptr);
    EXPECT_EQ(sei.hkeyClass, nullptr);
    EXPECT_EQ(sei.dwHotKey, 0u);
    EXPECT_EQ(g_fake.dwWaitMilliseconds, 30000u);
    // The exit code is preset so that a query that fills nothing stands out.
    EXPECT_EQ(g_fake.dwExitCodeOnEntry, 0x87877887u);
}

// The System32 folder comes from the system on every run, wherever it is.
TEST(RefreshGroupPolicy, LaunchPathFollowsTheSystemFolder)
{
    struct PATH_CASE {
        const char* name;
        std::u16string systemDir;
        bool bQueryFails;
        HRESULT hrExpected;
        std::u16string launchFile;  // empty: nothing launched
        const char* pszOutput;
    };
    const PATH_CASE c_cases[] = {
        {"another drive", u"D:\\WINNT\\System32", false, S_OK, u"D:\\WINNT\\System32\\gpupdate.exe",
         "exit code:0x0\n"},
        {"the folder query fails: nothing is started", u"", true, static_cast<HRESULT>(0x80070005), u"",
         "Failed to update group policy. err:0x80070005\n"},
        {"a folder too long for the path: nothing is started", std::u16string(250, u'x'), false,
         static_cast<HRESULT>(0x800700CE), u"", "Failed to update group policy. err:0x800700CE\n"},
    };
    for (const PATH_CASE& testCase : c_cases) {
        SCOPED_TRACE(testCase.name);
        FakeReset();
        g_fake.systemDir = testCase.systemDir;
        if (testCase.bQueryFails) {
            FakeFailNamedCall("GetSystemDirectory", 1, 5);
        }
        EXPECT_EQ(RefreshGroupPolicy(), testCase.hrExpected);
        EXPECT_EQ(g_fake.lastLaunchFile, testCase.launchFile);
        EXPECT_EQ(g_fake.stdoutBytes, Crlf(testCase.pszOutput));
    }
}

TEST(RefreshGroupPolicy, CloseFailureChangesNothing)
{
    FakeReset();
    g_fake.dwChildExitCode = 3;
    FakeFailNamedCall("CloseHandle", 1, 6);
    EXPECT_EQ(RefreshGroupPolicy(), S_OK);
    EXPECT_EQ(g_fake.stdoutBytes, Crlf("exit code:0x3\n"));
}

}  // namespace
