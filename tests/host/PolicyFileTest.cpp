#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PrefBuilder.h"
#include "TestSupport.h"
#include "platform/Platform.h"
#include "policy/PolicyFile.h"

namespace {

const std::u16string c_ts = u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Services";
const std::u16string c_client = c_ts + u"\\Client";
const FAKE_PATH c_path = u"C:\\x\\Registry.pol";

std::u16string KeyOf(int iRow)
{
    return g_PolicySettings[iRow].szKeyName;
}

std::u16string NameOf(int iRow)
{
    return g_PolicySettings[iRow].szValueName;
}

// Row iRow's record as the merge must leave it.
PREF_BYTES Row(int iRow)
{
    return SettingRecord(g_PolicySettings[iRow]);
}

// Row iRow's record as another program left it, with a value of its own.
PREF_BYTES Stale(int iRow)
{
    return Record(KeyOf(iRow), NameOf(iRow), 4, 4, Dword(0x5A5A0000u + iRow));
}

PREF_BYTES Without(const PREF_BYTES& bytes, size_t cbDrop)
{
    return PREF_BYTES(bytes.begin(), bytes.end() - cbDrop);
}

PREF_BYTES Repeat(uint8_t b, size_t cb)
{
    return PREF_BYTES(cb, b);
}

// One merge on a heap buffer of exactly the content and the 7 zero bytes the
// merge may read past it, so that AddressSanitizer or valgrind catch a read
// beyond them. The table is a copy of the built-in one.
struct MERGE_RUN {
    DWORD dwResult;
    DWORD cbSize;
    PREF_BYTES buffer;  // cbSize + PREG_READ_SLACK bytes after the merge
    bool bChanged;      // as the merge left it; the caller sets it first
    POLICY_SETTING rgSettings[POLICY_SETTING_COUNT];
};

void RunMerge(const PREF_BYTES& file, DWORD cbSize, MERGE_RUN* pRun, bool bFailRead = false, DWORD dwReadError = 0)
{
    FakeReset();
    FakeAddDirectory(u"C:\\x");
    FakeSetFile(c_path, file);
    if (bFailRead) {
        FakeFailNamedCall("ReadFile", 1, dwReadError);
    }
    memcpy(pRun->rgSettings, g_PolicySettings, sizeof(pRun->rgSettings));
    for (POLICY_SETTING& row : pRun->rgSettings) {
        row.bFound = 0;
    }
    HANDLE hInput = PlatformOpenFileForRead(c_path.c_str());
    ASSERT_NE(hInput, INVALID_HANDLE_VALUE);
    g_fake.dwLastError = ERROR_ALREADY_EXISTS;  // left over from an earlier call
    const size_t cbBuffer = static_cast<size_t>(cbSize) + PREG_READ_SLACK;
    std::unique_ptr<BYTE[]> pbBuffer(new BYTE[cbBuffer]());
    pRun->cbSize = cbSize;
    pRun->dwResult = MergePolicyFile(hInput, cbSize, pbBuffer.get(), pRun->rgSettings, POLICY_SETTING_COUNT, nullptr,
                                     &pRun->bChanged);
    pRun->buffer.assign(pbBuffer.get(), pbBuffer.get() + cbBuffer);
    PlatformCloseFile(hInput);
}

std::vector<int> MarkedRows(const MERGE_RUN& run)
{
    std::vector<int> rows;
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        if (run.rgSettings[i].bFound != 0) {
            rows.push_back(i);
        }
    }
    return rows;
}

// What every merge must hold to, whatever the file: the table keeps its
// numbers and texts, and nothing is written past the content.
void ExpectTableAndSlackIntact(const MERGE_RUN& run)
{
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        const POLICY_SETTING& row = run.rgSettings[i];
        const POLICY_SETTING& original = g_PolicySettings[i];
        EXPECT_TRUE(std::u16string(row.szKeyName) == original.szKeyName &&
                    std::u16string(row.szValueName) == original.szValueName && row.dwType == original.dwType &&
                    row.cbData == original.cbData && row.dwData == original.dwData)
            << "row " << i << " changed";
    }
    EXPECT_EQ(PREF_BYTES(run.buffer.begin() + run.cbSize, run.buffer.end()), Repeat(0, PREG_READ_SLACK));
}

struct MERGE_CASE {
    const char* pszName;
    PREF_BYTES file;
    PREF_BYTES kept;         // the content to keep; empty when the merge gives up
    std::vector<int> found;  // rows marked found
    std::string messages;
};

std::vector<MERGE_CASE> MergeCases()
{
    const PREF_BYTES all18Stale = [] {
        PREF_BYTES bytes = Header();
        for (int i = POLICY_SETTING_COUNT - 1; i >= 0; --i) {
            bytes = Cat({bytes, Stale(i)});
        }
        return bytes;
    }();
    const PREF_BYTES all18 = [] {
        PREF_BYTES bytes = Header();
        for (int i = POLICY_SETTING_COUNT - 1; i >= 0; --i) {
            bytes = Cat({bytes, Row(i)});
        }
        return bytes;
    }();
    const std::vector<int> allRows = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    // All 18 in table order and up to date, but for the field iField (type,
    // size, data; -1 for none) of one row, which differs in its last byte.
    auto all18OneOff = [](int iField) {
        PREF_BYTES bytes = Header();
        for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
            const POLICY_SETTING& row = g_PolicySettings[i];
            DWORD rgdw[3] = {row.dwType, row.cbData, row.dwData};
            if (i == 9 && iField >= 0) {
                rgdw[iField] ^= 0x01000000u;
            }
            bytes = Cat({bytes, Record(row.szKeyName, row.szValueName, rgdw[0], rgdw[1], Dword(rgdw[2]))});
        }
        return bytes;
    };
    const PREF_BYTES all18InOrder = all18OneOff(-1);

    // Records of other settings, each of which must pass through unchanged.
    const PREF_BYTES szWithClose = Record(c_ts, u"Banner", 1, Sz(u"[a];]"));
    const PREF_BYTES dword93 = Record(c_ts, u"Ninety-three", 4, Dword(93));
    const PREF_BYTES size93 = Record(u"SOFTWARE\\Other", u"Blob", 3, Cat({Repeat(0x5D, 1), Repeat(0, 92)}));
    const PREF_BYTES type93 = Record(c_ts, u"Odd type", 93, Dword(0x5D5D));
    const PREF_BYTES odd1 = Record(c_ts, u"One", 3, {0x41});
    const PREF_BYTES odd3With5D00 = Record(c_ts, u"Three", 3, {0x41, 0x5D, 0x00});
    const PREF_BYTES emptyKeyAndName = Record(u"", u"", 4, Dword(1));
    const PREF_BYTES emptyKey = Record(u"", NameOf(10), 4, Dword(1));

    // A record of another setting whose size field takes in the whole of the
    // next record, a row's, up to its "]": Windows reads them as one.
    auto swallowing = [](const PREF_BYTES& next) {
        return Cat({Record(c_ts, u"Swallow", 3, static_cast<uint32_t>(4 + next.size()), Dword(7)), next});
    };
    // A record of another setting whose size field leads 10 bytes past its
    // own "]", onto the 5D 00 of the DWORD 93 of the next record.
    const PREF_BYTES tooLongTo93 =
        Record(c_ts, u"Long", 3, static_cast<uint32_t>(Utf16(u"abcd]").size() + dword93.size() - 6), Utf16(u"abcd"));

    // Kelvin sign, long s and dotted capital I fold to ASCII letters in
    // Unicode; U+0143 has the low byte of "C".
    const PREF_BYTES nonAscii =
        Cat({Header(), Record(c_ts, u"\u212AeepAliveEnable", 4, Dword(7)),
             Record(u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Service\u017F", NameOf(3), 4, Dword(7)),
             Record(c_ts, u"\u0130mageQuality", 4, Dword(7)), Record(c_ts, u"\u0143olorDepth", 4, Dword(7))});
    // "\" and "_" lie 0x20 below "|" and DEL, just past the capitals.
    const PREF_BYTES pastCapitals =
        Cat({Header(), Record(u"SOFTWARE|Policies|Microsoft|Windows NT|Terminal Services", NameOf(10), 4, Dword(7)),
             Record(c_ts, u"VGOptimization\u007FCaptureFrameRate", 4, Dword(7))});
    const PREF_BYTES nearNames =
        Cat({Header(), Record(c_ts, u"ColorDept", 4, Dword(7)), Record(c_ts, u"ColorDepthX", 4, Dword(7)),
             Record(u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Service", NameOf(10), 4, Dword(7)),
             Record(c_ts + u"\\", NameOf(10), 4, Dword(7))});

    // A row's record cut short: the fields stop before the size or the data.
    const PREF_BYTES row5TypeOnly =
        Cat({Utf16(u"["), Sz(KeyOf(5)), Utf16(u";"), Sz(NameOf(5)), Utf16(u";"), Dword(4), Utf16(u"]")});
    const PREF_BYTES row6TypeAndSize = Cat({Utf16(u"["), Sz(KeyOf(6)), Utf16(u";"), Sz(NameOf(6)), Utf16(u";"),
                                            Dword(4), Utf16(u";"), Dword(4), Utf16(u"]")});
    const PREF_BYTES row7BadSeparator = Cat({Utf16(u"["), Sz(KeyOf(7)), Utf16(u";"), Sz(NameOf(7)), Utf16(u";"),
                                             Dword(4), Utf16(u","), Dword(4), Utf16(u";"), Dword(1), Utf16(u"]")});

    return {
        // Walks that succeed.
        {"header only", Header(), Header(), {}, ""},
        {"all 18 rows, in reverse order, are updated in place", all18Stale, all18, allRows, ""},
        {"all 18 rows already hold the table's values", all18InOrder, all18InOrder, allRows, ""},
        {"one row's type differs in its last byte", all18OneOff(0), all18InOrder, allRows, ""},
        {"one row's size differs in its last byte", all18OneOff(1), all18InOrder, allRows, ""},
        {"one row's data differs in its last byte", all18OneOff(2), all18InOrder, allRows, ""},
        {"letter case of ASCII letters is folded and kept",
         Cat({Header(), Record(u"software\\policies\\microsoft\\windows nt\\terminal services", u"FDISABLECAM", 4, 4,
                               Dword(7)),
              Record(u"SOFTWARE\\POLICIES\\MICROSOFT\\WINDOWS NT\\TERMINAL SERVICES\\cLIENT",
                     u"fusbredirectionenablemode", 4, 4, Dword(7))}),
         Cat({Header(),
              Record(u"software\\policies\\microsoft\\windows nt\\terminal services", u"FDISABLECAM", 4, 4, Dword(0)),
              Record(u"SOFTWARE\\POLICIES\\MICROSOFT\\WINDOWS NT\\TERMINAL SERVICES\\cLIENT",
                     u"fusbredirectionenablemode", 4, 4, Dword(2))}),
         {3, 17},
         ""},
        {"non-ASCII letters do not fold", nonAscii, nonAscii, {}, ""},
        {"only A to Z fold", pastCapitals, pastCapitals, {}, ""},
        {"a name or key that is a prefix or an extension of a row's does not match", nearNames, nearNames, {}, ""},
        {"a row's name under the other key matches nothing",
         Cat({Header(), Record(c_ts, NameOf(17), 4, Dword(7)), Record(c_client, NameOf(0), 4, Dword(7)), Stale(17)}),
         Cat({Header(), Record(c_ts, NameOf(17), 4, Dword(7)), Record(c_client, NameOf(0), 4, Dword(7)), Row(17)}),
         {17},
         ""},
        {"two records of one row are both updated", Cat({Header(), Stale(3), dword93, Stale(3)}),
         Cat({Header(), Row(3), dword93, Row(3)}), {3}, ""},
        {"a row's record with other type, size and data is overwritten whole",
         Cat({Header(), Record(KeyOf(10), NameOf(10), 1, 93, {0x5D, 0x00, 0x5B, 0x00})}), Cat({Header(), Row(10)}),
         {10}, ""},
        {"REG_SZ holding \"]\"", Cat({Header(), szWithClose, Stale(0)}), Cat({Header(), szWithClose, Row(0)}), {0},
         ""},
        {"DWORD of 93", Cat({Header(), dword93, Stale(1)}), Cat({Header(), dword93, Row(1)}), {1}, ""},
        {"size field of 93", Cat({Header(), size93, Stale(2)}), Cat({Header(), size93, Row(2)}), {2}, ""},
        {"type field of 93", Cat({Header(), type93, Stale(4)}), Cat({Header(), type93, Row(4)}), {4}, ""},
        {"one data byte: the next record starts at an odd offset", Cat({Header(), odd1, Stale(8), odd1, Stale(9)}),
         Cat({Header(), odd1, Row(8), odd1, Row(9)}), {8, 9}, ""},
        {"three data bytes holding 5D 00 at an odd offset", Cat({Header(), odd3With5D00, Stale(11)}),
         Cat({Header(), odd3With5D00, Row(11)}), {11}, ""},
        // The size field leads nowhere: the first 5D 00 ends the record.
        {"size field too small, too large, or near 2^32",
         Cat({Header(), Record(c_ts, u"Short", 3, 2, Utf16(u"abcd")), Stale(12),
              Record(c_ts, u"Long", 3, 1000, Utf16(u"abcd")), Stale(13),
              Record(c_ts, u"Huge", 3, 0xFFFFFFFFu, Utf16(u"abcd")), Stale(14)}),
         Cat({Header(), Record(c_ts, u"Short", 3, 2, Utf16(u"abcd")), Row(12),
              Record(c_ts, u"Long", 3, 1000, Utf16(u"abcd")), Row(13),
              Record(c_ts, u"Huge", 3, 0xFFFFFFFFu, Utf16(u"abcd")), Row(14)}),
         {12, 13, 14},
         ""},
        // Only the "]" is looked for where the size field points.
        {"size field leads to \"]\" past other separators",
         Cat({Header(), Cat({Utf16(u"["), Sz(c_ts), Utf16(u";"), Sz(u"Loose"), Utf16(u";"), Dword(93), Utf16(u":"),
                             Dword(4), Utf16(u":"), Dword(1), Utf16(u"]")}),
              Stale(15)}),
         Cat({Header(), Cat({Utf16(u"["), Sz(c_ts), Utf16(u";"), Sz(u"Loose"), Utf16(u";"), Dword(93), Utf16(u":"),
                             Dword(4), Utf16(u":"), Dword(1), Utf16(u"]")}),
              Row(15)}),
         {15},
         ""},
        // A size that leads to a "]" followed by "[" or the end is believed.
        {"a size field takes in a row's whole record",
         Cat({Header(), swallowing(Stale(0)), Stale(1), swallowing(Stale(2))}),
         Cat({Header(), swallowing(Stale(0)), Row(1), swallowing(Stale(2))}), {1}, ""},
        // Its "]" is followed by the rest of the DWORD: the first 5D 00 ends
        // the record instead.
        {"a size field leads onto a DWORD of 93 in the next record", Cat({Header(), tooLongTo93, dword93, Stale(5)}),
         Cat({Header(), tooLongTo93, dword93, Row(5)}), {5}, ""},
        {"empty key, empty value name", Cat({Header(), emptyKeyAndName, emptyKey, Stale(10)}),
         Cat({Header(), emptyKeyAndName, emptyKey, Row(10)}), {10}, ""},
        // The zero after the content stands in for the missing byte, and
        // the kept length is the size + 1.
        {"row's record lacks the last byte", Without(Cat({Header(), Stale(16)}), 1), Cat({Header(), Row(16)}), {16},
         ""},
        {"other record lacks the last byte", Without(Cat({Header(), Stale(2), dword93}), 1),
         Cat({Header(), Row(2), dword93}), {2}, ""},
        {"other record with a wrong size field lacks the last byte",
         Without(Cat({Header(), Record(c_ts, u"Short", 3, 2, Utf16(u"abcd"))}), 1),
         Cat({Header(), Record(c_ts, u"Short", 3, 2, Utf16(u"abcd"))}), {}, ""},

        // Give-ups: one message, result 0, no row marked.
        {"7 bytes", Without(Header(), 1), {}, {}, "input file size 7 too small\n"},
        {"version 2", {0x50, 0x52, 0x65, 0x67, 0x02, 0x00, 0x00, 0x00}, {}, {}, "input file could not be recognized\n"},
        {"signature PREG", Cat({{0x50, 0x52, 0x45, 0x47, 0x01, 0x00, 0x00, 0x00}, Row(0)}), {}, {},
         "input file could not be recognized\n"},
        {"second record does not begin with \"[\"", Cat({Header(), Stale(0), Utf16(u"x"), Row(1)}), {}, {},
         "prefix entity error\n"},
        {"a stray zero byte after the last record", Cat({Header(), Stale(0), {0x00}}), {}, {},
         "prefix entity error\n"},
        {"no \";\" after the key", Cat({Header(), Stale(0), Utf16(u"["), Sz(c_ts), Utf16(u","), Sz(u"x")}), {}, {},
         "prefix value name error\n"},
        {"key runs into the end", Cat({Header(), Stale(0), Utf16(u"[SOFTWARE")}), {}, {},
         "prefix value name error\n"},
        // A zero unit stands where the NUL of the key before stood, but the
        // key ends one unit earlier: ";" must follow that first NUL.
        {"key one unit shorter than the key before, then a second NUL",
         Cat({Header(), Stale(0), Utf16(u"["), Sz(c_ts.substr(0, c_ts.size() - 1)), Sz(u""), Utf16(u";"),
              Sz(u"Banner"), Utf16(u";"),
              Dword(4), Utf16(u";"), Dword(4), Utf16(u";"), Dword(1), Utf16(u"]")}),
         {}, {}, "prefix value name error\n"},
        {"no \";\" after the value name",
         Cat({Header(), Stale(0), Utf16(u"["), Sz(c_ts), Utf16(u";"), Sz(u"x"), Utf16(u"]")}), {}, {},
         "postfix path error\n"},
        {"value name runs into the end", Cat({Header(), Stale(0), Utf16(u"["), Sz(c_ts), Utf16(u";Color")}), {}, {},
         "postfix path error\n"},
        {"row's record ends after the type", Cat({Header(), Stale(0), row5TypeOnly, Stale(1)}), {}, {},
         "prefix param 0 error\n"},
        {"two rows' records end early: one message each",
         Cat({Header(), row6TypeAndSize, Stale(0), row5TypeOnly, dword93}), {}, {},
         "prefix param 0 error\nprefix param 0 error\n"},
        {"row's record ends early, then a malformed record", Cat({Header(), row5TypeOnly, Utf16(u"x")}), {}, {},
         "prefix param 0 error\nprefix entity error\n"},
        {"row's record has neither \";\" nor \"]\" after the type", Cat({Header(), Stale(0), row7BadSeparator}), {}, {},
         "prefix param 0 error\npostfix entity error\n"},
        {"row's record with 8 data bytes",
         Cat({Header(), Stale(0), Record(KeyOf(3), NameOf(3), 4, Cat({Dword(1), Dword(2)}))}), {}, {},
         "postfix entity error\n"},
        {"row's record lacks its \"]\"", Cat({Header(), Stale(0), Without(Stale(3), 2)}), {}, {},
         "postfix entity error\n"},
        // Kept, this record would make the written file unreadable.
        {"other record without a closing mark", Cat({Header(), Stale(0), Without(Record(c_ts, u"x", 4, Dword(7)), 2)}),
         {}, {},
         "postfix entity error\n"},
    };
}

TEST(MergePolicyFile, CraftedFiles)
{
    for (const MERGE_CASE& testCase : MergeCases()) {
        SCOPED_TRACE(testCase.pszName);
        // Changed when the merge succeeded and the kept bytes differ from the
        // file's (the zero kept past a file that lacks its last byte aside).
        const size_t cbCompared = std::min(testCase.kept.size(), testCase.file.size());
        const bool bExpectChanged = !testCase.kept.empty() && !std::equal(testCase.kept.begin(),
                                                                          testCase.kept.begin() + cbCompared,
                                                                          testCase.file.begin());
        MERGE_RUN run;
        run.bChanged = !bExpectChanged;
        RunMerge(testCase.file, static_cast<DWORD>(testCase.file.size()), &run);
        EXPECT_EQ(run.bChanged, bExpectChanged);
        EXPECT_EQ(run.dwResult, testCase.kept.size());
        if (!testCase.kept.empty()) {
            EXPECT_EQ(PREF_BYTES(run.buffer.begin(), run.buffer.begin() + testCase.kept.size()), testCase.kept);
        }
        EXPECT_EQ(MarkedRows(run), testCase.found);
        EXPECT_EQ(g_fake.stdoutBytes, Crlf(testCase.messages));
        // One read of the whole file, and nothing else of the platform.
        EXPECT_EQ(g_fake.calls, (std::vector<std::string>{"OpenFileForRead", "ReadFile", "CloseFile"}));
        ExpectTableAndSlackIntact(run);
    }
}

struct READ_CASE {
    const char* pszName;
    bool bFailRead;
    DWORD dwLastError;
    DWORD cbMissing;  // the size given is this much more than the file has
    const char* pszMessage;
};

const READ_CASE c_readCases[] = {
    {"read fails with access denied", true, ERROR_ACCESS_DENIED, 0, "failed to read input file. err:0x80070005\n"},
    {"read fails with last error 0", true, 0, 0, "failed to read input file. err:0x80004005\n"},
    // The file shrank since its size was taken; the last error is not the reason.
    {"read brings fewer bytes than the size", false, 0, 1, "failed to read input file. err:0x80070026\n"},
};

TEST(MergePolicyFile, FailedRead)
{
    const PREF_BYTES file = Cat({Header(), Row(0)});
    for (const READ_CASE& testCase : c_readCases) {
        SCOPED_TRACE(testCase.pszName);
        MERGE_RUN run;
        run.bChanged = true;
        RunMerge(file, static_cast<DWORD>(file.size()) + testCase.cbMissing, &run, testCase.bFailRead,
                 testCase.dwLastError);
        EXPECT_EQ(run.dwResult, 0u);
        EXPECT_FALSE(run.bChanged);
        EXPECT_EQ(MarkedRows(run), std::vector<int>());
        EXPECT_EQ(g_fake.stdoutBytes, Crlf(testCase.pszMessage));
        EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), "ReadFile"), 1);
    }
}

// ---- An independent reading: Samba's PReg codec ----

// Parses each file named on the command line with Samba's codec, which takes
// only a file that is whole records to its last byte, and prints each entry:
// key and value name as UTF-16LE hex, type, size and data as hex.
const char c_szSambaScript[] = R"(
import struct, sys
from samba.dcerpc import preg
from samba.ndr import ndr_unpack
for path in sys.argv[1:]:
    parsed = ndr_unpack(preg.file, open(path, 'rb').read())
    print('file', parsed.header.signature.encode('latin-1').hex(), parsed.header.version, len(parsed.entries))
    for e in parsed.entries:
        if isinstance(e.data, int):
            data = struct.pack('<I', e.data)
        elif isinstance(e.data, str):
            data = e.data.encode('utf-16-le') + b'\0\0'
        else:
            data = bytes(e.data)
        print(e.keyname.encode('utf-16-le').hex(), e.valuename.encode('utf-16-le').hex(), e.type, e.size, data.hex())
)";

struct PREG_ENTRY {
    std::u16string key;
    std::u16string name;
    DWORD dwType;
    PREF_BYTES data;
    int iRow;  // the row whose record this is, or -1
};

std::string Hex(const PREF_BYTES& bytes)
{
    static const char c_szDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += c_szDigits[b >> 4];
        text += c_szDigits[b & 15];
    }
    return text;
}

PREF_BYTES FileOf(const std::vector<PREG_ENTRY>& entries)
{
    PREF_BYTES bytes = Header();
    for (const PREG_ENTRY& entry : entries) {
        bytes = Cat({bytes, Record(entry.key, entry.name, entry.dwType, entry.data)});
    }
    return bytes;
}

// The entries after a merge: those of rows carry the row's type and data.
std::vector<PREG_ENTRY> Merged(std::vector<PREG_ENTRY> entries)
{
    for (PREG_ENTRY& entry : entries) {
        if (entry.iRow >= 0) {
            entry.dwType = g_PolicySettings[entry.iRow].dwType;
            entry.data = Dword(g_PolicySettings[entry.iRow].dwData);
        }
    }
    return entries;
}

std::string Listing(const std::vector<PREG_ENTRY>& entries)
{
    std::string text = "file " + Hex(Header()).substr(0, 8) + " 1 " + std::to_string(entries.size()) + "\n";
    for (const PREG_ENTRY& entry : entries) {
        text += Hex(Utf16(entry.key)) + " " + Hex(Utf16(entry.name)) + " " + std::to_string(entry.dwType) + " " +
                std::to_string(entry.data.size()) + " " + Hex(entry.data) + "\n";
    }
    return text;
}

bool WriteBytes(const std::string& path, const PREF_BYTES& bytes)
{
    FILE* pFile = fopen(path.c_str(), "wb");
    if (pFile == nullptr) {
        return false;
    }
    bool bWritten = fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
    return fclose(pFile) == 0 && bWritten;
}

TEST(MergePolicyFile, FilesParseWithSambaCodec)
{
    if (system("/usr/bin/python3 -c 'import samba.dcerpc.preg, samba.ndr' >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3-samba is missing (/usr/bin/python3 cannot import samba.dcerpc.preg); "
                        "the check against Samba's PReg codec is skipped";
    }

    std::vector<PREG_ENTRY> table;
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        table.push_back({KeyOf(i), NameOf(i), 4, Dword(g_PolicySettings[i].dwData), i});
    }
    const std::vector<PREG_ENTRY> mixed = {
        {c_ts, NameOf(0), 4, Dword(7), 0},
        {c_ts, u"Banner", 1, Sz(u"[a];]"), -1},
        {u"software\\policies\\microsoft\\windows nt\\terminal services", u"FDISABLECAM", 4, Dword(7), 3},
        {c_ts, u"Ninety-three", 4, Dword(93), -1},
        {u"SOFTWARE\\Other", u"Blob", 3, Cat({Repeat(0x5D, 1), Repeat(0, 92)}), -1},
        {c_ts, u"One", 3, {0x41}, -1},
        {c_ts, NameOf(10), 4, Dword(7), 10},
        {c_ts, u"Three", 3, {0x41, 0x5D, 0x00}, -1},
        {u"", u"", 4, Dword(1), -1},
        {c_ts, u"\u212AeepAliveEnable", 4, Dword(7), -1},
        {c_ts, NameOf(17), 4, Dword(7), -1},
        {c_client, NameOf(17), 4, Dword(7), 17},
    };

    // The merge's kept content, for the whole file and for the file without
    // its last byte (kept with the size + 1).
    std::vector<PREF_BYTES> kept;
    for (size_t cbDrop : {0, 1}) {
        const PREF_BYTES file = Without(FileOf(mixed), cbDrop);
        MERGE_RUN run;
        RunMerge(file, static_cast<DWORD>(file.size()), &run);
        ASSERT_EQ(run.dwResult, file.size() + cbDrop);
        kept.push_back(PREF_BYTES(run.buffer.begin(), run.buffer.begin() + run.dwResult));
    }

    const std::vector<std::pair<PREF_BYTES, std::vector<PREG_ENTRY>>> files = {
        {FileOf(table), table},
        {FileOf(mixed), mixed},
        {kept[0], Merged(mixed)},
        {kept[1], Merged(mixed)},
    };
    const std::string prefix = ::testing::TempDir() + "velmorast-preg-" + std::to_string(getpid());
    std::string command = "/usr/bin/python3 " + prefix + ".py";
    std::string expected;
    ASSERT_TRUE(WriteBytes(prefix + ".py", PREF_BYTES(c_szSambaScript, c_szSambaScript + strlen(c_szSambaScript))));
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = prefix + "-" + std::to_string(i) + ".pol";
        ASSERT_TRUE(WriteBytes(path, files[i].first));
        command += " " + path;
        expected += Listing(files[i].second);
    }

    std::string output;
    FILE* pPipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pPipe, nullptr);
    char rgch[4096];
    for (size_t cch; (cch = fread(rgch, 1, sizeof(rgch), pPipe)) != 0;) {
        output.append(rgch, cch);
    }
    int nStatus = pclose(pPipe);
    for (size_t i = 0; i < files.size(); ++i) {
        remove((prefix + "-" + std::to_string(i) + ".pol").c_str());
    }
    remove((prefix + ".py").c_str());
    EXPECT_EQ(nStatus, 0);
    EXPECT_EQ(output, expected);
}

}  // namespace
