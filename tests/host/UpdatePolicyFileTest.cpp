#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "PrefBuilder.h"
#include "TestSupport.h"
#include "app/Options.h"
#include "policy/UpdatePolicyFile.h"

namespace {

// Taken before main, so before any run can set a found mark.
const std::vector<POLICY_SETTING> s_table(g_PolicySettings, g_PolicySettings + POLICY_SETTING_COUNT);

typedef std::map<FAKE_PATH, FAKE_BYTES> FILES;

const std::u16string c_dir = u"C:\\Windows\\system32\\GroupPolicy\\Machine";
const std::u16string c_pol = c_dir + u"\\Registry.pol";
const std::u16string c_bak = c_dir + u"\\Registry.pol.bak";
// Work files beside the policy file: the new image before it is in place,
// and the previous file or an older backup while the new one goes in.
const std::u16string c_new = c_dir + u"\\Registry.pol.new";
const std::u16string c_old = c_dir + u"\\Registry.pol.old";

const PREF_BYTES c_other1 = Record(u"Software\\Policies\\Contoso", u"Level", 1, Sz(u"high"));
const PREF_BYTES c_other2 = Record(u"Software\\Policies\\Contoso", u"Blob", 3, {0x01, 0x02, 0x03});
const PREF_BYTES c_olderBackup = Cat({Header(), c_other2});

// A file of the header and every row's record, in table order.
PREF_BYTES TableFile(const std::vector<POLICY_SETTING>& table)
{
    PREF_BYTES bytes = Header();
    for (const POLICY_SETTING& row : table) {
        bytes = Cat({bytes, SettingRecord(row)});
    }
    return bytes;
}

// The records of every row but the listed ones, in table order.
PREF_BYTES RecordsExcept(std::initializer_list<size_t> skipped)
{
    PREF_BYTES bytes;
    for (size_t i = 0; i < s_table.size(); ++i) {
        if (std::find(skipped.begin(), skipped.end(), i) == skipped.end()) {
            bytes = Cat({bytes, SettingRecord(s_table[i])});
        }
    }
    return bytes;
}

// Row 3 written in lower case with other data: the merge updates it in place.
const PREF_BYTES c_row3Stale =
    Record(u"software\\policies\\microsoft\\windows nt\\terminal services", u"FDISABLECAM", 4, Dword(999));
const PREF_BYTES c_row3Updated =
    Record(u"software\\policies\\microsoft\\windows nt\\terminal services", u"FDISABLECAM", 4, Dword(0));

const PREF_BYTES c_accepted = Cat({Header(), c_other1, c_row3Stale, c_other2});
const PREF_BYTES c_acceptedResult = Cat({Header(), c_other1, c_row3Updated, c_other2, RecordsExcept({3})});
const PREF_BYTES c_version2 = {0x50, 0x52, 0x65, 0x67, 0x02, 0x00, 0x00, 0x00};

// Runs the update over a fresh copy of the table, or over *pTable.
HRESULT RunUpdate(const std::u16string& dir, DWORD dwOptions, std::vector<POLICY_SETTING>* pTable = nullptr)
{
    std::vector<POLICY_SETTING> table = s_table;
    if (pTable == nullptr) {
        pTable = &table;
    }
    g_dwOptions = dwOptions;
    return UpdatePolicyFile(pTable->data(), static_cast<DWORD>(pTable->size()), dir.c_str(), POLICY_FILE_NAME);
}

void Reset(const std::u16string& dir = c_dir)
{
    FakeReset();
    FakeAddDirectory(dir);
}

std::string Hex(HRESULT hr)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08X", static_cast<unsigned>(hr));
    return sz;
}

HRESULT StatusOf(DWORD dwError)
{
    return dwError == 0 ? E_FAIL : HRESULT_FROM_WIN32(dwError);
}

FILES FilesOf(std::initializer_list<std::pair<std::u16string, FAKE_BYTES>> entries)
{
    FILES files;
    for (const auto& entry : entries) {
        files[FakeFold(entry.first)] = entry.second;
    }
    return files;
}

std::string Listing(const FILES& files)
{
    std::string text;
    for (const auto& entry : files) {
        text += std::string(entry.first.begin(), entry.first.end()) + " (" + std::to_string(entry.second.size()) +
                " bytes)\n";
    }
    return text;
}

#define EXPECT_FILES(expected) \
    EXPECT_TRUE(g_fake.files == (expected)) << "have:\n" << Listing(g_fake.files) << "want:\n" << Listing(expected)

long Count(const char* pszCall)
{
    return std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string(pszCall));
}

// The call log without the release of the buffer, which is not counted.
std::vector<std::string> CountedCalls()
{
    std::vector<std::string> calls;
    for (const std::string& call : g_fake.calls) {
        if (call != "Free") {
            calls.push_back(call);
        }
    }
    return calls;
}

// Every handle opened was closed, each by exactly one close; the buffer is free.
void ExpectReleased()
{
    EXPECT_TRUE(g_fake.openFiles.empty());
    EXPECT_EQ(Count("CloseFile"), g_fake.cFileOpens);
    EXPECT_EQ(g_fake.cFileCloses, g_fake.cFileOpens);
    EXPECT_EQ(g_fake.cLiveAllocations, 0);
}

TEST(UpdatePolicyFile, TableFileIs3242Bytes)
{
    EXPECT_EQ(TableFile(s_table).size(), 3242u);
}

struct OUTPUT_CASE {
    const char* name;
    bool bExists;
    PREF_BYTES before;
    PREF_BYTES after;
    std::string stdoutText;
};

const OUTPUT_CASE c_outputs[] = {
    {"no file", false, {}, TableFile(s_table), ""},
    {"empty file: no merge", true, {}, TableFile(s_table), ""},
    {"file holding all 18 among others: updated in place, nothing appended", true,
     Cat({Header(), c_other1, c_row3Stale, RecordsExcept({3}), c_other2}),
     Cat({Header(), c_other1, c_row3Updated, RecordsExcept({3}), c_other2}), ""},
    {"file holding none of the 18: the 18 appended", true, Cat({Header(), c_other1, c_other2}),
     Cat({Header(), c_other1, c_other2, RecordsExcept({})}), ""},
    {"file holding one of the 18", true, c_accepted, c_acceptedResult, ""},
    {"file of the header alone", true, Header(), TableFile(s_table), ""},
    {"file lacking the last byte of its last record", true,
     PREF_BYTES(c_accepted.begin(), c_accepted.end() - 1), c_acceptedResult, ""},
    {"merge gives up on the header", true, Cat({c_version2, c_other1}), TableFile(s_table),
     "input file could not be recognized\r\n"},
    {"merge gives up after updating a record", true, Cat({Header(), c_row3Stale, {0x41, 0x00}}),
     TableFile(s_table), "prefix entity error\r\n"},
    {"merge gives up on 5 bytes", true, {0x50, 0x52, 0x65, 0x67, 0x01}, TableFile(s_table),
     "input file size 5 too small\r\n"},
};

TEST(UpdatePolicyFile, Outputs)
{
    for (const OUTPUT_CASE& testCase : c_outputs) {
        for (DWORD dwOptions : {0u, OPTION_BACKUP}) {
            SCOPED_TRACE(std::string(testCase.name) + (dwOptions != 0 ? ", -bak 1" : ", -bak 0"));
            Reset();
            if (testCase.bExists) {
                FakeSetFile(c_pol, testCase.before);
            }
            std::vector<POLICY_SETTING> table = s_table;
            EXPECT_EQ(RunUpdate(c_dir, dwOptions, &table), S_OK);
            EXPECT_EQ(g_fake.stdoutBytes, testCase.stdoutText);
            for (const POLICY_SETTING& row : table) {
                EXPECT_EQ(row.bFound, 1);  // found by the merge or appended
            }
            // With -bak 1 the previous file, even an empty one, is the backup.
            FILES expected = FilesOf({{c_pol, testCase.after}});
            if (testCase.bExists && dwOptions == OPTION_BACKUP) {
                expected[FakeFold(c_bak)] = testCase.before;
            }
            EXPECT_FILES(expected);
            EXPECT_EQ(Count("ReadFile"), testCase.before.empty() ? 0 : 1);
            EXPECT_EQ(g_fake.cAllocations, 1);
            EXPECT_EQ(g_fake.cbLastAllocation, testCase.before.size() + 11808);
            EXPECT_EQ(Count("WriteFile"), 1);
            ExpectReleased();

            // A second run over its own output changes nothing in it.
            g_fake.stdoutBytes.clear();
            EXPECT_EQ(RunUpdate(c_dir, dwOptions), S_OK);
            EXPECT_EQ(FakeGetFile(c_pol), testCase.after);
            EXPECT_EQ(g_fake.stdoutBytes, "");
        }
    }
}

struct FOLDER_CASE {
    const char* name;
    size_t cchFolder;
    bool bTrailingSeparator;
    bool bFits;
};

const FOLDER_CASE c_folders[] = {
    {"242 characters", 242, false, true},
    {"243 characters", 243, false, false},
    {"242 characters, the last a separator", 241, true, true},
    {"243 characters, the last a separator", 242, true, false},
    {"a short folder ending in a separator", 9, true, true},
};

TEST(UpdatePolicyFile, FolderLength)
{
    for (const FOLDER_CASE& testCase : c_folders) {
        SCOPED_TRACE(testCase.name);
        std::u16string dir = u"C:\\" + std::u16string(testCase.cchFolder - 3, u'p');
        Reset(dir);
        FakeSetFile(dir + u"\\Registry.pol", c_accepted);
        FakeSetFile(dir + u"\\Registry.pol.bak", c_olderBackup);
        // The folder is taken unchanged, its trailing separator counted.
        std::u16string given = testCase.bTrailingSeparator ? dir + u"\\" : dir;
        HRESULT hr = RunUpdate(given, OPTION_BACKUP | OPTION_REGISTRY);
        if (testCase.bFits) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_FILES(FilesOf({{dir + u"\\Registry.pol", c_acceptedResult}, {dir + u"\\Registry.pol.bak", c_accepted}}));
        } else {
            EXPECT_EQ(hr, static_cast<HRESULT>(0x800700CE));
            EXPECT_EQ(g_fake.stdoutBytes, "policy folder path too long\r\n");
            EXPECT_TRUE(g_fake.calls.empty());  // nothing touched, not even the registry
            EXPECT_FILES(FilesOf({{dir + u"\\Registry.pol", c_accepted}, {dir + u"\\Registry.pol.bak", c_olderBackup}}));
        }
    }
}

// The registry gets every row, in table order, before the output file is
// created, so the values stand whatever happens to the file.
struct REGISTRY_CASE {
    const char* name;
    DWORD dwOptions;
    const char* pszFailCall;
    HRESULT hrExpected;
};

const REGISTRY_CASE c_registryCases[] = {
    {"-reg 1", OPTION_REGISTRY, nullptr, S_OK},
    {"-reg 1, output cannot be created", OPTION_REGISTRY, "CreateNewFile", static_cast<HRESULT>(0x80070005)},
    {"-reg 1, output cannot be written", OPTION_REGISTRY, "WriteFile", static_cast<HRESULT>(0x80070005)},
    {"-reg 0", 0, nullptr, S_OK},
};

TEST(UpdatePolicyFile, RegistryWritesComeBeforeTheOutputFile)
{
    for (const REGISTRY_CASE& testCase : c_registryCases) {
        SCOPED_TRACE(testCase.name);
        Reset();
        FakeSetFile(c_pol, c_accepted);  // one row updated in place, the others appended
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, 1, 5);
        }
        EXPECT_EQ(RunUpdate(c_dir, testCase.dwOptions), testCase.hrExpected);

        std::vector<std::string> sets;
        for (const std::string& entry : g_fake.regLog) {
            if (entry.compare(0, 4, "set ") == 0) {
                sets.push_back(entry.substr(4));
            }
        }
        std::vector<std::string> expected;
        if (testCase.dwOptions & OPTION_REGISTRY) {
            for (const POLICY_SETTING& row : s_table) {
                std::u16string name(row.szValueName);
                expected.push_back(std::string(name.begin(), name.end()));
            }
        }
        EXPECT_EQ(sets, expected);
        EXPECT_TRUE(g_fake.openKeys.empty());
        auto itCreate = std::find(g_fake.calls.begin(), g_fake.calls.end(), std::string("CreateNewFile"));
        ASSERT_NE(itCreate, g_fake.calls.end());
        EXPECT_EQ(std::count(itCreate, g_fake.calls.end(), std::string("RegSetValue")), 0);
    }
}

// For every starting state, option and error code, fail each counted
// platform call of the update in turn. Registry.pol must then hold either its
// previous bytes or the new ones, never anything else; a failure leaves
// every file as it was; success leaves the backup as -bak asks; no work
// file stays behind; every handle and the buffer are released.
struct SWEEP_START {
    const char* name;
    bool bExists;
    PREF_BYTES before;
    PREF_BYTES after;
};

const SWEEP_START c_sweepStarts[] = {
    {"no file", false, {}, TableFile(s_table)},
    {"empty file", true, {}, TableFile(s_table)},
    {"file the merge accepts", true, c_accepted, c_acceptedResult},
    {"file the merge gives up on", true, Cat({c_version2, c_other1}), TableFile(s_table)},
};

// The calls whose failure fails the update, and its message. Every other
// call (the input's close, the removal of work files, the registry) fails
// without failing the update.
enum FAULT_KIND { FAULT_TOLERATED, FAULT_OPEN_INPUT, FAULT_READ_INPUT, FAULT_ALLOCATE, FAULT_OPEN_OUTPUT, FAULT_WRITE_OUTPUT };

FAULT_KIND KindOfFault(const std::vector<std::string>& calls, size_t iCall)
{
    const std::string& call = calls[iCall];
    // Before the policy file is opened, the update settles what an
    // interrupted run may have left; only putting a previous file back (the
    // first move) must not fail, since it may be the only copy.
    const size_t iOpen = static_cast<size_t>(
        std::find(calls.begin(), calls.end(), std::string("OpenFileForRead")) - calls.begin());
    if (iCall < iOpen) {
        const size_t iFirstMove = static_cast<size_t>(
            std::find(calls.begin(), calls.end(), std::string("MoveFile")) - calls.begin());
        return iCall == iFirstMove ? FAULT_OPEN_INPUT : FAULT_TOLERATED;
    }
    if (call == "OpenFileForRead") {
        return FAULT_OPEN_INPUT;
    }
    if (call == "GetFileSize" || call == "ReadFile") {
        return FAULT_READ_INPUT;
    }
    if (call == "Allocate") {
        return FAULT_ALLOCATE;
    }
    if (call == "CreateNewFile") {
        return FAULT_OPEN_OUTPUT;
    }
    // Once the new file is in place, nothing fails the update: what is left
    // of the previous file is settled by the next run.
    if (std::find(calls.begin(), calls.begin() + static_cast<long>(iCall), std::string("ReplaceFile")) !=
        calls.begin() + static_cast<long>(iCall)) {
        return FAULT_TOLERATED;
    }
    if (call == "WriteFile" || call == "FlushFile" || call == "MoveFile" || call == "ReplaceFile") {
        return FAULT_WRITE_OUTPUT;
    }
    // The output is closed right after its flush; the input right after the merge.
    if (call == "CloseFile" && iCall > 0 && calls[iCall - 1] == "FlushFile") {
        return FAULT_WRITE_OUTPUT;
    }
    return FAULT_TOLERATED;
}

std::string FailureMessage(FAULT_KIND kind, HRESULT hr, size_t cbBuffer)
{
    switch (kind) {
    case FAULT_OPEN_INPUT:
        return "failed to open input file. err:" + Hex(hr) + "\r\n";
    case FAULT_READ_INPUT:
        return "failed to read input file. err:" + Hex(hr) + "\r\n";
    case FAULT_ALLOCATE:
        return "failed to open input file. size:" + std::to_string(cbBuffer) + "\r\n";
    case FAULT_OPEN_OUTPUT:
        return "failed to open output file. err:" + Hex(hr) + "\r\n";
    case FAULT_WRITE_OUTPUT:
        return "failed to write output file. err:" + Hex(hr) + "\r\n";
    default:
        return "";
    }
}

TEST(UpdatePolicyFile, FaultSweep)
{
    int cFaultPoints = 0;
    size_t cCallPositions = 0;
    for (const SWEEP_START& start : c_sweepStarts) {
        for (bool bBackup : {false, true}) {
            for (bool bOlderBackup : {false, true}) {
                std::string scenario = std::string(start.name) + (bBackup ? ", -bak 1" : ", -bak 0") +
                                       (bOlderBackup ? ", older .bak" : ", no .bak");
                SCOPED_TRACE(scenario);
                const DWORD dwOptions = OPTION_REGISTRY | (bBackup ? OPTION_BACKUP : 0);
                auto setUp = [&] {
                    Reset();
                    if (start.bExists) {
                        FakeSetFile(c_pol, start.before);
                    }
                    if (bOlderBackup) {
                        FakeSetFile(c_bak, c_olderBackup);
                    }
                };
                setUp();
                const FILES filesBefore = g_fake.files;

                // Success: the new bytes; the previous ones as .bak with -bak 1.
                FILES filesAfter = FilesOf({{c_pol, start.after}});
                if (bOlderBackup) {
                    filesAfter[FakeFold(c_bak)] = c_olderBackup;
                }
                if (bBackup && start.bExists) {
                    filesAfter[FakeFold(c_bak)] = start.before;
                }

                ASSERT_EQ(RunUpdate(c_dir, dwOptions), S_OK);
                EXPECT_FILES(filesAfter);
                ExpectReleased();
                const std::vector<std::string> baseline = CountedCalls();
                cCallPositions += baseline.size();
                const std::string baselineStdout = g_fake.stdoutBytes;
                auto itRead = std::find(baseline.begin(), baseline.end(), std::string("ReadFile"));
                const size_t iMerge = itRead == baseline.end() ? 0 : static_cast<size_t>(itRead - baseline.begin());

                for (DWORD dwError : {5u, 112u, 0u}) {
                    for (int n = 1;; ++n) {
                        setUp();
                        FakeFailCall(n, dwError);
                        HRESULT hr = RunUpdate(c_dir, dwOptions);
                        if (!g_fake.bFaultHit) {
                            EXPECT_EQ(static_cast<size_t>(n), baseline.size() + 1) << "a run ended early";
                            EXPECT_EQ(hr, S_OK);
                            break;
                        }
                        ASSERT_LE(static_cast<size_t>(n), baseline.size());
                        ++cFaultPoints;
                        const size_t iCall = static_cast<size_t>(n - 1);
                        SCOPED_TRACE("fault at call " + std::to_string(n) + " (" + baseline[iCall] + ") error " +
                                     std::to_string(dwError));
                        // Up to the fault, the run is the baseline run.
                        const std::vector<std::string> calls = CountedCalls();
                        ASSERT_GE(calls.size(), static_cast<size_t>(n));
                        EXPECT_TRUE(std::equal(baseline.begin(), baseline.begin() + n, calls.begin()));
                        ExpectReleased();

                        // Whatever the fault left, the next run completes the
                        // job and leaves no work file behind.
                        auto expectNextRunCompletes = [&] {
                            FakeFailCall(0, 0);
                            g_fake.stdoutBytes.clear();
                            FILES before = g_fake.files;
                            EXPECT_EQ(RunUpdate(c_dir, dwOptions), S_OK) << Listing(before);
                            EXPECT_EQ(FakeGetFile(c_pol), start.after);
                            for (const std::u16string& work : {c_new, c_old}) {
                                EXPECT_FALSE(FakeHasFile(work));
                            }
                            ExpectReleased();
                        };

                        const FAULT_KIND kind = KindOfFault(baseline, iCall);
                        const HRESULT hrFault = StatusOf(dwError);
                        if (kind != FAULT_TOLERATED) {
                            EXPECT_EQ(hr, kind == FAULT_ALLOCATE ? E_OUTOFMEMORY : hrFault);
                            std::string before = iCall > iMerge ? baselineStdout : "";
                            EXPECT_EQ(g_fake.stdoutBytes,
                                      before + FailureMessage(kind, hrFault, start.before.size() + 11808));
                            EXPECT_FILES(filesBefore);
                            expectNextRunCompletes();
                            continue;
                        }

                        EXPECT_EQ(hr, S_OK);
                        FILES expected = filesAfter;
                        std::string expectedStdout = baselineStdout;
                        bool bCheckStdout = true;
                        const std::string& call = baseline[iCall];
                        if (call.compare(0, 3, "Reg") == 0 && dwError == 0) {
                            // A registry call returns its error code, and 0
                            // is no failure: only the files are checked.
                            bCheckStdout = false;
                            --cFaultPoints;
                        } else if (call == "RegCreateKey") {
                            expectedStdout += "ERR: failed to open key.\r\n";
                        } else if (call == "RegSetValue") {
                            expectedStdout += "ERR: failed to set val.\r\n";
                        } else if (iCall > 0 && baseline[iCall - 1] == "ReplaceFile") {
                            // The new file is in place, and the previous one
                            // stays under its private name: without -bak, or
                            // with an older backup that could not give way,
                            // which -bak 1 reports.
                            if (!bBackup) {
                                expected[FakeFold(c_old)] = start.before;
                            } else if (bOlderBackup) {
                                expected[FakeFold(c_bak)] = c_olderBackup;
                                expected[FakeFold(c_old)] = start.before;
                                expectedStdout += "failed to keep backup file. err:" + Hex(hrFault) + "\r\n";
                            }
                        } else if (iCall > 1 && baseline[iCall - 2] == "ReplaceFile") {
                            // -bak 1: the older backup was removed, but the
                            // previous file could not take its name.
                            expected.erase(FakeFold(c_bak));
                            expected[FakeFold(c_old)] = start.before;
                            expectedStdout += "failed to keep backup file. err:" + Hex(hrFault) + "\r\n";
                        }
                        if (bCheckStdout) {
                            EXPECT_EQ(g_fake.stdoutBytes, expectedStdout);
                        }
                        EXPECT_FILES(expected);
                        expectNextRunCompletes();
                    }
                }
            }
        }
    }
    // The number of fault points is reported with the work.
    std::printf("fault sweep: %d fault points (%zu call positions, 3 error codes)\n", cFaultPoints,
                cCallPositions);
    EXPECT_GT(cFaultPoints, 0);
}

// ReplaceFileW's partial failures: the previous file goes back in place
// and an older backup is left as it was.
TEST(UpdatePolicyFile, ReplacePartialFailuresRestoreThePreviousFile)
{
    for (DWORD dwError : {1176u, 1177u}) {
        for (bool bBackup : {false, true}) {
            for (bool bOlderBackup : {false, true}) {
                SCOPED_TRACE("error " + std::to_string(dwError) + (bBackup ? ", -bak 1" : ", -bak 0") +
                             (bOlderBackup ? ", older .bak" : ""));
                Reset();
                FakeSetFile(c_pol, c_accepted);
                if (bOlderBackup) {
                    FakeSetFile(c_bak, c_olderBackup);
                }
                const FILES filesBefore = g_fake.files;
                FakeFailNamedCall("ReplaceFile", 1, dwError);
                HRESULT hr = RunUpdate(c_dir, bBackup ? OPTION_BACKUP : 0);
                EXPECT_EQ(hr, HRESULT_FROM_WIN32(dwError));
                EXPECT_EQ(g_fake.stdoutBytes, "failed to write output file. err:" + Hex(hr) + "\r\n");
                EXPECT_FILES(filesBefore);
                ExpectReleased();
            }
        }
    }
}

struct WRITE_CASE {
    const char* name;
    DWORD cbWriteLimit;
    bool bWriteZeroSucceeds;
    HRESULT hrExpected;
    long cWrites;
};

const WRITE_CASE c_writeCases[] = {
    {"short writes are continued until every byte is out", 1000, false, S_OK, 4},
    {"a write of one byte at a time", 1, false, S_OK, 3242},
    {"a successful write of no bytes is a full disk", 0, true, static_cast<HRESULT>(0x80070070), 1},
};

TEST(UpdatePolicyFile, ShortWrites)
{
    for (const WRITE_CASE& testCase : c_writeCases) {
        SCOPED_TRACE(testCase.name);
        Reset();
        FakeSetFile(c_pol, c_version2);
        g_fake.cbWriteLimit = testCase.cbWriteLimit;
        g_fake.bWriteZeroSucceeds = testCase.bWriteZeroSucceeds;
        EXPECT_EQ(RunUpdate(c_dir, 0), testCase.hrExpected);
        EXPECT_EQ(Count("WriteFile"), testCase.cWrites);
        if (SUCCEEDED(testCase.hrExpected)) {
            EXPECT_FILES(FilesOf({{c_pol, TableFile(s_table)}}));
        } else {
            EXPECT_EQ(g_fake.stdoutBytes,
                      "input file could not be recognized\r\nfailed to write output file. err:0x80070070\r\n");
            EXPECT_FILES(FilesOf({{c_pol, c_version2}}));
        }
        ExpectReleased();
    }
}

// Only absence means "no file"; any other failure to open it, or to learn
// its size, stops the update before anything is changed.
struct INPUT_CASE {
    const char* name;
    const char* pszFailCall;
    DWORD dwError;
    uint64_t cbReportedSize;
    HRESULT hrExpected;
    std::string stdoutText;
};

const INPUT_CASE c_inputCases[] = {
    {"access denied", "OpenFileForRead", 5, 0, static_cast<HRESULT>(0x80070005),
     "failed to open input file. err:0x80070005\r\n"},
    {"size query fails", "GetFileSize", 6, 0, static_cast<HRESULT>(0x80070006),
     "failed to read input file. err:0x80070006\r\n"},
    {"4 GiB - 11808 bytes: refused before allocating", nullptr, 0, 0x100000000ull - 11808,
     static_cast<HRESULT>(0x800700DF), "input file size too large\r\n"},
    {"6 GiB: refused, not wrapped", nullptr, 0, 0x180000000ull, static_cast<HRESULT>(0x800700DF),
     "input file size too large\r\n"},
    {"one byte less is tried: the allocation fails with the whole size", "Allocate", 8, 0x100000000ull - 11809,
     E_OUTOFMEMORY, "failed to open input file. size:4294967295\r\n"},
};

TEST(UpdatePolicyFile, UnreadableInputChangesNothing)
{
    for (const INPUT_CASE& testCase : c_inputCases) {
        SCOPED_TRACE(testCase.name);
        Reset();
        FakeSetFile(c_pol, c_accepted);
        FakeSetFile(c_bak, c_olderBackup);
        const FILES filesBefore = g_fake.files;
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, 1, testCase.dwError);
        }
        g_fake.cbReportedSize = testCase.cbReportedSize;
        EXPECT_EQ(RunUpdate(c_dir, OPTION_BACKUP | OPTION_REGISTRY), testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, testCase.stdoutText);
        EXPECT_FILES(filesBefore);
        EXPECT_EQ(g_fake.cAllocations, 0);
        EXPECT_EQ(Count("RegCreateKey"), 0);
        ExpectReleased();
    }
}

// The Group Policy service holds Registry.pol while it applies policy: an
// open or a replace that meets a sharing violation is tried again a few
// times over a few seconds. Every other error fails at once, as before.
struct SHARING_CASE {
    const char* name;
    const char* pszFailCall;
    int cFails;  // calls in a row that fail; FAKE_EVERY_CALL: all of them
    DWORD dwError;
    HRESULT hrExpected;
    std::string stdoutText;
    std::vector<DWORD> sleeps;
};

const std::vector<DWORD> c_allWaits = {100, 250, 500, 1000, 2000};

const SHARING_CASE c_sharingCases[] = {
    {"open: clears after two tries", "OpenFileForRead", 2, 32, S_OK, "", {100, 250}},
    {"open: persists", "OpenFileForRead", FAKE_EVERY_CALL, 32, static_cast<HRESULT>(0x80070020),
     "failed to open input file. err:0x80070020\r\n", c_allWaits},
    {"open: access denied is no sharing violation", "OpenFileForRead", FAKE_EVERY_CALL, 5,
     static_cast<HRESULT>(0x80070005), "failed to open input file. err:0x80070005\r\n", {}},
    {"replace: clears after two tries", "ReplaceFile", 2, 32, S_OK, "", {100, 250}},
    {"replace: a lock violation clears too", "ReplaceFile", 1, 33, S_OK, "", {100}},
    {"replace: persists", "ReplaceFile", FAKE_EVERY_CALL, 32, static_cast<HRESULT>(0x80070020),
     "failed to write output file. err:0x80070020\r\n", c_allWaits},
};

TEST(UpdatePolicyFile, SharingViolationsAreRetried)
{
    for (const SHARING_CASE& testCase : c_sharingCases) {
        SCOPED_TRACE(testCase.name);
        Reset();
        FakeSetFile(c_pol, c_accepted);
        const FILES filesBefore = g_fake.files;
        if (testCase.cFails == FAKE_EVERY_CALL) {
            FakeFailNamedCall(testCase.pszFailCall, FAKE_EVERY_CALL, testCase.dwError);
        } else {
            FakeFailNamedCalls(testCase.pszFailCall, 1, testCase.cFails, testCase.dwError);
        }
        EXPECT_EQ(RunUpdate(c_dir, OPTION_REGISTRY), testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, testCase.stdoutText);
        EXPECT_EQ(g_fake.sleeps, testCase.sleeps);
        EXPECT_FILES(SUCCEEDED(testCase.hrExpected) ? FilesOf({{c_pol, c_acceptedResult}}) : filesBefore);
        ExpectReleased();
    }
}

TEST(UpdatePolicyFile, MissingFolderIsNoFileThenTheCreateFails)
{
    FakeReset();  // the folder does not exist: the open reports path not found
    EXPECT_EQ(RunUpdate(c_dir, OPTION_REGISTRY), static_cast<HRESULT>(0x80070003));
    EXPECT_EQ(g_fake.stdoutBytes, "failed to open output file. err:0x80070003\r\n");
    EXPECT_EQ(Count("RegSetValue"), 18);
    EXPECT_TRUE(g_fake.files.empty());
    ExpectReleased();
}

// What a run cut short can leave under the work names, and what the next run
// makes of it: the previous file and an older backup go back where they
// belong when their place is empty, and are removed when it is taken.
struct LEFTOVER_CASE {
    const char* name;
    FILES before;
    DWORD dwOptions;
    const char* pszFailCall;  // fails the nth call of that name with error 5
    int nFailCall;
    HRESULT hrExpected;
    std::string stdoutText;
    FILES after;  // empty: the files as they were
};

const LEFTOVER_CASE c_leftoverCases[] = {
    {"stale work files beside a new Registry.pol and a backup are removed",
     FilesOf({{c_pol, c_accepted}, {c_bak, c_olderBackup}, {c_new, {0x01}}, {c_old, {0x02}}}), 0, nullptr, 0, S_OK,
     "", FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_olderBackup}})},
    {"the previous file beside a new Registry.pol becomes the missing backup",
     FilesOf({{c_pol, c_acceptedResult}, {c_old, c_accepted}}), 0, nullptr, 0, S_OK, "",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_accepted}})},
    {"the previous file without a Registry.pol is put back and merged", FilesOf({{c_old, c_accepted}}), 0,
     nullptr, 0, S_OK, "", FilesOf({{c_pol, c_acceptedResult}})},
    {"after a replace cut short with -bak 1: put back, and kept as the backup",
     FilesOf({{c_old, c_accepted}, {c_new, {0x01}}, {c_bak, c_olderBackup}}), OPTION_BACKUP, nullptr, 0, S_OK, "",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_accepted}})},
    {"all three names, -bak 1: the newer previous file replaces the older backup, then gives way to this run's",
     FilesOf({{c_pol, c_accepted}, {c_old, c_row3Stale}, {c_bak, c_olderBackup}}), OPTION_BACKUP, nullptr, 0, S_OK,
     "", FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_accepted}})},
    {"all three names, -bak 0: the previous file is deleted and the older backup kept",
     FilesOf({{c_pol, c_accepted}, {c_old, c_row3Stale}, {c_bak, c_olderBackup}}), 0, nullptr, 0, S_OK, "",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_olderBackup}})},
    {"-bak 1, an older backup that cannot be deleted: reported, the previous file kept under its work name",
     FilesOf({{c_pol, c_accepted}, {c_bak, c_olderBackup}}), OPTION_BACKUP, "DeleteFile", 2, S_OK,
     "failed to keep backup file. err:0x80070005\r\n",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_olderBackup}, {c_old, c_accepted}})},
    {"-bak 1, and the older backup still cannot go: reported again, this run's previous file in place of the one before",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_olderBackup}, {c_old, c_accepted}}), OPTION_BACKUP, "DeleteFile",
     FAKE_EVERY_CALL, S_OK, "failed to keep backup file. err:0x80070005\r\n",
     FilesOf({{c_pol, c_acceptedResult}, {c_bak, c_olderBackup}, {c_old, c_acceptedResult}})},
    {"a previous file that cannot be put back stops the run", FilesOf({{c_old, c_accepted}}), 0, "MoveFile", 1,
     static_cast<HRESULT>(0x80070005), "failed to open input file. err:0x80070005\r\n", {}},
    {"a temporary file that cannot be removed is not written through, nor deleted",
     FilesOf({{c_pol, c_accepted}, {c_new, {0x01}}}), 0, "DeleteFile", 1, static_cast<HRESULT>(0x80070050),
     "failed to open output file. err:0x80070050\r\n", {}},
};

TEST(UpdatePolicyFile, LeftoversOfAnInterruptedRun)
{
    for (const LEFTOVER_CASE& testCase : c_leftoverCases) {
        SCOPED_TRACE(testCase.name);
        Reset();
        for (const auto& entry : testCase.before) {
            FakeSetFile(entry.first, entry.second);
        }
        const FILES filesBefore = g_fake.files;
        if (testCase.pszFailCall != nullptr) {
            FakeFailNamedCall(testCase.pszFailCall, testCase.nFailCall, 5);
        }
        EXPECT_EQ(RunUpdate(c_dir, testCase.dwOptions), testCase.hrExpected);
        EXPECT_EQ(g_fake.stdoutBytes, testCase.stdoutText);
        EXPECT_FILES(testCase.after.empty() ? filesBefore : testCase.after);
        ExpectReleased();
    }
}

TEST(UpdatePolicyFile, LongerTableGetsRoomForEveryRecord)
{
    std::vector<POLICY_SETTING> table = s_table;
    for (size_t i = 0; i < table.size(); ++i) {
        std::u16string key(255, u'k');
        std::u16string name = std::u16string(62, u'n') + static_cast<char16_t>(u'a' + i);
        std::copy(key.begin(), key.end(), table[i].szKeyName);
        table[i].szKeyName[255] = 0;
        std::copy(name.begin(), name.end(), table[i].szValueName);
        table[i].szValueName[63] = 0;
    }
    Reset();
    EXPECT_EQ(RunUpdate(c_dir, 0, &table), S_OK);
    EXPECT_EQ(FakeGetFile(c_pol), TableFile(table));
    EXPECT_GT(TableFile(table).size(), 11808u);
    ExpectReleased();
}

}  // namespace
