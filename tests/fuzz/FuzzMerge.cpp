// libFuzzer target for MergePolicyFile. Each input is a Registry.pol. The
// merge gets a heap buffer of exactly the input and the 7 zero bytes it may
// read past it, so AddressSanitizer stops any read beyond them. After each
// call the result, the marks, the console text and every byte of the buffer
// are checked against a second, deliberately plain reading of the same file,
// written here from the format and sharing no code with the merge.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fake/FakePlatform.h"
#include "tests/host/TestSupport.h"
#include "policy/PolicyFile.h"

namespace {

const FAKE_PATH c_path = u"C:\\x\\Registry.pol";

// ---- the second reading ----

struct REFERENCE {
    uint64_t cbKept;                 // 0 when the file is to be given up
    std::vector<int> found;          // per row: 1 when a record of it was updated
    std::vector<uint64_t> fields;    // offsets of the 12 updated bytes of each matched record
    std::vector<int> fieldRows;      // the row of each of them
    bool bChanged;                   // some updated byte differs from the file's
    std::string messages;            // console text with bare "\n"
};

struct READER {
    const uint8_t* pb;
    uint64_t cb;

    // The bytes past the content read as zero.
    unsigned Byte(uint64_t o) const { return o < cb ? pb[o] : 0; }
    unsigned Unit(uint64_t o) const { return Byte(o) | (Byte(o + 1) << 8); }
    uint64_t Dword(uint64_t o) const
    {
        return Byte(o) | (Byte(o + 1) << 8) | (Byte(o + 2) << 16) | (static_cast<uint64_t>(Byte(o + 3)) << 24);
    }
    std::u16string Folded(uint64_t o, uint64_t oEnd) const
    {
        std::u16string text;
        for (; o < oEnd; o += 2) {
            unsigned u = Unit(o);
            text.push_back(static_cast<char16_t>(u >= u'A' && u <= u'Z' ? u + 32 : u));
        }
        return text;
    }
};

std::u16string FoldedText(const WCHAR* psz)
{
    std::u16string text;
    for (; *psz != 0; ++psz) {
        text.push_back(static_cast<char16_t>(*psz >= u'A' && *psz <= u'Z' ? *psz + 32 : *psz));
    }
    return text;
}

REFERENCE ReadReference(const uint8_t* pb, uint64_t cb, const POLICY_SETTING* pSettings, int cSettings)
{
    REFERENCE ref;
    ref.cbKept = 0;
    ref.bChanged = false;
    ref.found.assign(cSettings, 0);
    READER r = {pb, cb};
    static std::vector<std::u16string> rowKeys;
    static std::vector<std::u16string> rowNames;
    if (rowKeys.empty()) {
        for (int i = 0; i < cSettings; ++i) {
            rowKeys.push_back(FoldedText(pSettings[i].szKeyName));
            rowNames.push_back(FoldedText(pSettings[i].szValueName));
        }
    }
    auto giveUp = [&](const char* pszMessage) {
        ref.messages += pszMessage;
        ref.cbKept = 0;
        ref.found.assign(cSettings, 0);
        ref.fields.clear();
        ref.fieldRows.clear();
        ref.bChanged = false;
        return ref;
    };
    if (cb < 8) {
        return giveUp(("input file size " + std::to_string(cb) + " too small\n").c_str());
    }
    static const uint8_t c_header[8] = {'P', 'R', 'e', 'g', 1, 0, 0, 0};
    if (memcmp(pb, c_header, 8) != 0) {
        return giveUp("input file could not be recognized\n");
    }
    bool bFailed = false;
    uint64_t pos = 8;
    while (pos < cb) {
        if (r.Unit(pos) != '[') {
            return giveUp("prefix entity error\n");
        }
        uint64_t keyEnd = pos + 2;
        while (r.Unit(keyEnd) != 0) {
            keyEnd += 2;
        }
        if (r.Unit(keyEnd + 2) != ';') {
            return giveUp("prefix value name error\n");
        }
        uint64_t nameEnd = keyEnd + 4;
        while (r.Unit(nameEnd) != 0) {
            nameEnd += 2;
        }
        const uint64_t semi = nameEnd + 2;
        if (r.Unit(semi) != ';') {
            return giveUp("postfix path error\n");
        }
        const std::u16string key = r.Folded(pos + 2, keyEnd);
        const std::u16string name = r.Folded(keyEnd + 4, nameEnd);
        int iRow = -1;
        for (int i = 0; i < cSettings && iRow < 0; ++i) {
            if (key == rowKeys[i] && name == rowNames[i]) {
                iRow = i;
            }
        }
        if (iRow >= 0) {
            // Exactly ";" 4 bytes three times, then "]".
            uint64_t cur = semi;
            int cFields = 0;
            while (cFields < 3 && r.Unit(cur) == ';') {
                cur += 6;
                ++cFields;
            }
            if (cFields < 3) {
                ref.messages += "prefix param 0 error\n";
                bFailed = true;
            }
            if (r.Unit(cur) != ']') {
                return giveUp("postfix entity error\n");
            }
            if (cFields == 3) {
                ref.fields.push_back(semi + 2);
                ref.fieldRows.push_back(iRow);
                ref.found[iRow] = 1;
                const POLICY_SETTING& row = pSettings[iRow];
                if (r.Dword(semi + 2) != row.dwType || r.Dword(semi + 8) != row.cbData ||
                    r.Dword(semi + 14) != row.dwData) {
                    ref.bChanged = true;
                }
            }
            pos = cur + 2;
            continue;
        }
        // Another setting: where the size field points, when a record
        // boundary follows that "]" (the next "[", or the end of the file
        // within its two bytes); else the first 5D 00.
        const uint64_t close = semi + 14 + r.Dword(semi + 8);
        const bool bBoundary = close + 2 >= cb || r.Unit(close + 2) == '[';
        if (r.Unit(close) == ']' && bBoundary) {
            pos = close + 2;
            continue;
        }
        uint64_t o = semi;
        while (o < cb && !(r.Byte(o) == 0x5D && r.Byte(o + 1) == 0)) {
            ++o;
        }
        if (o == cb) {
            return giveUp("postfix entity error\n");
        }
        pos = o + 2;
    }
    if (bFailed) {
        return giveUp("");
    }
    ref.cbKept = pos;
    return ref;
}

// ---- the target ----

std::vector<POLICY_SETTING> s_pristine;

[[noreturn]] void Fail(const char* pszWhat, uint64_t o = 0)
{
    fprintf(stderr, "merge invariant broken: %s (offset %llu)\n", pszWhat, static_cast<unsigned long long>(o));
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData)
{
    // The update never merges an empty file, nor one of 4 GiB.
    if (cbData == 0 || cbData > 0x10000000) {
        return 0;
    }
    if (s_pristine.empty()) {
        s_pristine.assign(g_PolicySettings, g_PolicySettings + POLICY_SETTING_COUNT);
    }
    FakeReset();
    FakeAddDirectory(u"C:\\x");
    FakeSetFile(c_path, FAKE_BYTES(pbData, pbData + cbData));
    HANDLE hInput = PlatformOpenFileForRead(c_path.c_str());
    if (hInput == INVALID_HANDLE_VALUE) {
        Fail("the fake did not open the file");
    }

    const DWORD cbSize = static_cast<DWORD>(cbData);
    const size_t cbBuffer = cbData + PREG_READ_SLACK;
    std::unique_ptr<BYTE[]> pbBuffer(new BYTE[cbBuffer]());
    std::vector<POLICY_SETTING> settings = s_pristine;
    bool bChanged = true;
    const DWORD dwResult =
        MergePolicyFile(hInput, cbSize, pbBuffer.get(), settings.data(), POLICY_SETTING_COUNT, nullptr, &bChanged);
    PlatformCloseFile(hInput);

    // The invariants of any merge.
    if (dwResult != 0 && (dwResult < 8 || dwResult > static_cast<uint64_t>(cbSize) + 1)) {
        Fail("result is neither 0 nor between 8 and size + 1", dwResult);
    }
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        const POLICY_SETTING& row = settings[i];
        const POLICY_SETTING& original = s_pristine[i];
        if (dwResult == 0 && row.bFound != 0) {
            Fail("a row is still marked after a give-up", i);
        }
        if (row.bFound > 1 || row.dwType != original.dwType || row.cbData != original.cbData ||
            row.dwData != original.dwData || memcmp(row.szKeyName, original.szKeyName, sizeof(row.szKeyName)) != 0 ||
            memcmp(row.szValueName, original.szValueName, sizeof(row.szValueName)) != 0) {
            Fail("a row changed beyond its mark", i);
        }
    }
    for (size_t o = cbData; o < cbBuffer; ++o) {
        if (pbBuffer[o] != 0) {
            Fail("a byte past the content was written", o);
        }
    }

    // The same file read the plain way.
    const REFERENCE ref = ReadReference(pbData, cbData, s_pristine.data(), POLICY_SETTING_COUNT);
    if (dwResult != ref.cbKept) {
        Fail("kept length differs from the reference reading", dwResult);
    }
    for (int i = 0; i < POLICY_SETTING_COUNT; ++i) {
        if (settings[i].bFound != ref.found[i]) {
            Fail("marks differ from the reference reading", i);
        }
    }
    if (bChanged != ref.bChanged) {
        Fail("the changed flag differs from the reference reading");
    }
    if (g_fake.stdoutBytes != Crlf(ref.messages)) {
        Fail("messages differ from the reference reading");
    }
    if (dwResult != 0) {
        // Every byte outside the 12 field bytes of matched records is the
        // file's own; those 12 hold the row's type, size and data.
        std::vector<uint8_t> expected(pbData, pbData + cbData);
        expected.resize(cbBuffer, 0);
        for (size_t i = 0; i < ref.fields.size(); ++i) {
            const POLICY_SETTING& row = s_pristine[ref.fieldRows[i]];
            const DWORD rgdw[3] = {row.dwType, row.cbData, row.dwData};
            for (int iField = 0; iField < 3; ++iField) {
                for (int iByte = 0; iByte < 4; ++iByte) {
                    expected[ref.fields[i] + 6 * iField + iByte] = static_cast<uint8_t>(rgdw[iField] >> (8 * iByte));
                }
            }
        }
        for (size_t o = 0; o < cbBuffer; ++o) {
            if (pbBuffer[o] != expected[o]) {
                Fail("buffer byte differs from the file with the matched fields replaced", o);
            }
        }
    }
    return 0;
}
