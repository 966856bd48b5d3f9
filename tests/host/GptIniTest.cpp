#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PrefBuilder.h"
#include "TestSupport.h"
#include "policy/GptIni.h"

using namespace std::string_literals;

namespace {

const HRESULT c_hrNotIniText = static_cast<HRESULT>(0x8007000Du);
const HRESULT c_hrNoRoom = static_cast<HRESULT>(0x8007007Au);

const std::string c_cse = "{35378EAC-683F-11D2-A89A-00C04FBBCFA2}";
const std::string c_tool = "{D02B1F72-3407-48AE-BA88-E8213C6761F1}";
const std::string c_reg = "[" + c_cse + c_tool + "]";
const std::string c_scripts = "[{42B5FAAE-6536-11D2-AE5A-0000F87571E3}{40B6664F-4972-11D1-A7CA-0000F87571E3}]";
const std::string c_early = "[{0ACDD40C-75AC-47AB-BAA0-BF6DE7E7FE63}{2A8FDC61-2347-4C87-92F6-B05EB91A201A}]";
const std::string c_late = "[{827D319E-6EAC-11D2-A4EA-00C04F79F83A}{803E14A0-B4FB-11D0-A0D0-00A0C90F574B}]";
const std::string c_toolLow = "{0F6B957E-509E-11D1-A7CC-0000F87571E3}";
const std::string c_toolHigh = "{E437BC1C-AA7D-11D2-A382-00C04F991E27}";
const std::string c_toolHighest = "{F3CCC681-B74C-4060-9F26-CD84525DCA2A}";

PREF_BYTES Bytes(const std::string& text)
{
    return PREF_BYTES(text.begin(), text.end());
}

PREF_BYTES Utf8Bom(const std::string& text)
{
    return Cat({{0xEF, 0xBB, 0xBF}, Bytes(text)});
}

PREF_BYTES Utf16Bom(const std::u16string& text)
{
    return Cat({{0xFF, 0xFE}, Utf16(text)});
}

// The usual layout with CR LF: [General] with the list and the version.
PREF_BYTES General(const std::string& list, const std::string& version)
{
    return Bytes(Crlf("[General]\ngPCMachineExtensionNames=" + list + "\nVersion=" + version + "\n"));
}

// As the policy editor leaves it, other keys and a section of its own after.
PREF_BYTES EditorLayout(const std::string& version)
{
    return Bytes(Crlf("[General]\ngPCFunctionalityVersion=2\ngPCMachineExtensionNames=" + c_reg + c_scripts +
                      "\nVersion=" + version + "\ngPCUserExtensionNames=" + c_scripts + "\n\n[Extra]\nkey=value\n"));
}

// An in-step file padded with a comment to exactly cb bytes.
PREF_BYTES Padded(size_t cb)
{
    PREF_BYTES bytes = General(c_reg, "65537");
    PREF_BYTES comment = Bytes(";" + std::string(cb - bytes.size() - 3, 'x') + "\r\n");
    return Cat({bytes, comment});
}

struct GPT_CASE {
    const char* pszName;
    bool bExists;
    PREF_BYTES old;
    bool bPolicyChanged;
    HRESULT hr;
    bool bWrite;
    PREF_BYTES expected;  // the new image when written
};

struct GPT_RUN {
    HRESULT hr;
    bool bWrite;
    PREF_BYTES image;
};

// One edit into a heap buffer of exactly cbNewMax bytes, so that
// AddressSanitizer catches a write past it.
GPT_RUN RunEdit(const PREF_BYTES& old, bool bExists, bool bPolicyChanged, DWORD cbNewMax)
{
    std::unique_ptr<BYTE[]> pbNew(new BYTE[cbNewMax == 0 ? 1 : cbNewMax]);
    DWORD cbNew = 0xCCCCCCCCu;
    GPT_RUN run;
    run.bWrite = true;  // must be cleared when there is nothing to write
    run.hr = EditGptIni(old.data(), static_cast<DWORD>(old.size()), bExists, bPolicyChanged, pbNew.get(), cbNewMax,
                        &cbNew, &run.bWrite);
    EXPECT_TRUE(run.bWrite || cbNew == 0) << "nothing to write, yet a size of " << cbNew;
    if (run.bWrite) {
        run.image.assign(pbNew.get(), pbNew.get() + cbNew);
    }
    return run;
}

std::vector<GPT_CASE> GptCases()
{
    return {
        {"NoFile", false, {}, false, S_OK, true,
         Bytes(Crlf("[General]\ngPCFunctionalityVersion=2\ngPCMachineExtensionNames=" + c_reg + "\nVersion=1\n"))},
        {"EmptyFile", true, {}, false, S_OK, true,
         Bytes(Crlf("[General]\ngPCMachineExtensionNames=" + c_reg + "\nVersion=1\n"))},

        // Nothing to change, nothing written; a changed policy file bumps the version only.
        {"EditorLayoutInStep", true, EditorLayout("65537"), false, S_OK, false, {}},
        {"EditorLayoutPolicyChanged", true, EditorLayout("65537"), true, S_OK, true, EditorLayout("65538")},

        // The registry group in its place among the others, which are kept as they are.
        {"ScriptsOnly", true, General(c_scripts, "3"), false, S_OK, true, General(c_reg + c_scripts, "4")},
        {"GroupsBeforeAndAfter", true, General(c_early + c_scripts + c_late, "7"), false, S_OK, true,
         General(c_early + c_reg + c_scripts + c_late, "8")},
        {"OnlyEarlierGroup", true, General(c_early, "7"), false, S_OK, true, General(c_early + c_reg, "8")},
        {"GroupsOutOfOrderKept", true, General(c_late + c_early, "7"), false, S_OK, true,
         General(c_reg + c_late + c_early, "8")},
        {"LowerCaseGroupSortsByLetter", true, General("[{35378eab-0000-0000-0000-000000000000}" + c_toolLow + "]", "7"),
         false, S_OK, true, General("[{35378eab-0000-0000-0000-000000000000}" + c_toolLow + "]" + c_reg, "8")},

        // The tool added to a registry group that lacks it.
        {"ToolAfterLowerTool", true, General("[" + c_cse + c_toolLow + "]", "2"), false, S_OK, true,
         General("[" + c_cse + c_toolLow + c_tool + "]", "3")},
        {"ToolBetweenTools", true,
         General("[" + c_cse + c_toolLow + c_toolHigh + c_toolHighest + "]" + c_scripts, "2"), false, S_OK, true,
         General("[" + c_cse + c_toolLow + c_tool + c_toolHigh + c_toolHighest + "]" + c_scripts, "3")},
        {"LowerCaseToolSortsByLetter", true, General("[" + c_cse + "{a0000000-0000-0000-0000-000000000000}]", "2"),
         false, S_OK, true, General("[" + c_cse + "{a0000000-0000-0000-0000-000000000000}" + c_tool + "]", "3")},
        {"LowerCaseRegistryGroupInStep", true,
         General("[{35378eac-683f-11d2-a89a-00c04fbbcfa2}{d02b1f72-3407-48ae-ba88-e8213c6761f1}]", "65537"), false,
         S_OK, false, {}},

        // The version: user half kept, machine half never 0.
        {"MachineVersionZero", true, General(c_reg, "65536"), false, S_OK, true, General(c_reg, "65537")},
        {"MachineVersionWraps", true, General(c_reg, "65535"), true, S_OK, true, General(c_reg, "1")},
        {"MachineVersionWrapsKeepsUser", true, General(c_reg, "262143"), true, S_OK, true, General(c_reg, "196609")},
        {"AllBitsVersion", true, General(c_reg, "4294967295"), true, S_OK, true, General(c_reg, "4294901761")},
        {"VersionNotNumeric", true, General(c_reg, "abc"), false, S_OK, true, General(c_reg, "1")},
        {"VersionDigitsThenText", true, General(c_reg, "0012ab"), true, S_OK, true, General(c_reg, "13")},
        {"VersionPast32Bits", true, General(c_reg, "4294967297"), false, S_OK, true, General(c_reg, "1")},
        {"VersionQuoted", true, General(c_reg, "\"5\""), true, S_OK, true, General(c_reg, "6")},

        // Where new keys go, in the file's own line end and spelling.
        {"LfLineEnds", true, Bytes("[General]\ngPCFunctionalityVersion=2\n;Version=9\n\n[Other]\nx=1\n"), false, S_OK,
         true,
         Bytes("[General]\ngPCFunctionalityVersion=2\ngPCMachineExtensionNames=" + c_reg +
               "\nVersion=1\n;Version=9\n\n[Other]\nx=1\n")},
        {"KeysInOtherCase", true,
         Bytes(Crlf("[Other]\nVersion=9\ngPCMachineExtensionNames=" + c_reg +
                    "\n[ general ]\n  gpcmachineextensionnames = " + c_scripts + "  \n VERSION = 7 \n")),
         false, S_OK, true,
         Bytes(Crlf("[Other]\nVersion=9\ngPCMachineExtensionNames=" + c_reg +
                    "\n[ general ]\n  gpcmachineextensionnames = " + c_reg + c_scripts + "  \n VERSION = 8 \n"))},
        {"LastLineWithoutLineEnd", true, Bytes("[General]\r\nVersion=5"), true, S_OK, true,
         Bytes("[General]\r\nVersion=6\r\ngPCMachineExtensionNames=" + c_reg + "\r\n")},
        {"EmptyListEndsFile", true, Bytes("[General]\r\ngPCMachineExtensionNames="), false, S_OK, true,
         Bytes("[General]\r\ngPCMachineExtensionNames=" + c_reg + "\r\nVersion=1\r\n")},

        // Encodings.
        {"Utf16Bom", true,
         Utf16Bom(u"[General]\r\ndisplayName=Gr\u00F6\u00DFe \u4E2D\r\n"
                  u"gPCMachineExtensionNames=[{42B5FAAE-6536-11D2-AE5A-0000F87571E3}"
                  u"{40B6664F-4972-11D1-A7CA-0000F87571E3}]\r\nVersion=65537\r\n"),
         false, S_OK, true,
         Utf16Bom(u"[General]\r\ndisplayName=Gr\u00F6\u00DFe \u4E2D\r\n"
                  u"gPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}"
                  u"{D02B1F72-3407-48AE-BA88-E8213C6761F1}][{42B5FAAE-6536-11D2-AE5A-0000F87571E3}"
                  u"{40B6664F-4972-11D1-A7CA-0000F87571E3}]\r\nVersion=65538\r\n")},
        // The largest growth there is: a whole [General] in UTF-16.
        {"Utf16BomOnly", true, Utf16Bom(u""), false, S_OK, true,
         Utf16Bom(u"[General]\r\ngPCMachineExtensionNames=[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}"
                  u"{D02B1F72-3407-48AE-BA88-E8213C6761F1}]\r\nVersion=1\r\n")},
        {"Utf8BomNoGeneral", true, Utf8Bom("[Other]\nname=Größe\n"), false, S_OK, true,
         Utf8Bom("[General]\ngPCMachineExtensionNames=" + c_reg + "\nVersion=1\n[Other]\nname=Größe\n")},

        // No INI text, or a list we would have to guess at: left alone.
        {"NulByte", true, Bytes("[General]\r\nVer\0sion=1\r\n"s), true, c_hrNotIniText, false, {}},
        {"Exactly64KiB", true, Padded(GPT_INI_MAX_SIZE), false, S_OK, false, {}},
        {"Over64KiB", true, Padded(GPT_INI_MAX_SIZE + 1), false, c_hrNotIniText, false, {}},
        {"Utf16OddLength", true, Cat({Utf16Bom(u"[General]\r\n"), {'x'}}), true, c_hrNotIniText, false, {}},
        {"ListWithoutBrackets", true, General(c_cse + c_tool, "1"), true, c_hrNotIniText, false, {}},
        {"ListGroupUnclosed", true, General(c_scripts + "[" + c_cse + c_tool, "1"), true, c_hrNotIniText, false, {}},
        {"ListEmptyGroup", true, General(c_scripts + "[]", "1"), true, c_hrNotIniText, false, {}},
        {"ListBadHexDigit", true,
         General("[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761FG}]", "1"), true,
         c_hrNotIniText, false, {}},
        // Even when the file is otherwise in step.
        {"ListTextAfterGroups", true, General(c_reg + "x", "65537"), false, c_hrNotIniText, false, {}},
    };
}

TEST(GptIniTest, EditsAsTheTableSays)
{
    for (const GPT_CASE& row : GptCases()) {
        SCOPED_TRACE(row.pszName);
        DWORD cbNewMax = static_cast<DWORD>(row.old.size()) + GPT_INI_GROWTH_MAX;
        GPT_RUN run = RunEdit(row.old, row.bExists, row.bPolicyChanged, cbNewMax);
        EXPECT_EQ(run.hr, row.hr);
        EXPECT_EQ(run.bWrite, row.bWrite);
        EXPECT_EQ(std::string(run.image.begin(), run.image.end()),
                  std::string(row.expected.begin(), row.expected.end()));
        if (run.bWrite) {
            // What was written is in step: a check run asks for nothing more.
            GPT_RUN check = RunEdit(run.image, true, false, static_cast<DWORD>(run.image.size()) + GPT_INI_GROWTH_MAX);
            EXPECT_EQ(check.hr, S_OK);
            EXPECT_FALSE(check.bWrite);
        }
    }
}

TEST(GptIniTest, ImageLargerThanTheBufferFails)
{
    struct {
        const char* pszName;
        bool bExists;
        PREF_BYTES old;
    } rgCases[] = {
        {"NoFile", false, {}},
        {"Utf16BomOnly", true, Utf16Bom(u"")},
        {"EditedInTheMiddle", true, General(c_early + c_late, "7")},
    };
    for (const auto& row : rgCases) {
        SCOPED_TRACE(row.pszName);
        GPT_RUN full = RunEdit(row.old, row.bExists, true, static_cast<DWORD>(row.old.size()) + GPT_INI_GROWTH_MAX);
        ASSERT_TRUE(full.bWrite);
        const DWORD cbImage = static_cast<DWORD>(full.image.size());
        EXPECT_EQ(RunEdit(row.old, row.bExists, true, cbImage).image, full.image);
        for (DWORD cbNewMax = 0; cbNewMax < cbImage; ++cbNewMax) {
            GPT_RUN run = RunEdit(row.old, row.bExists, true, cbNewMax);
            ASSERT_EQ(run.hr, c_hrNoRoom) << "capacity " << cbNewMax;
            ASSERT_FALSE(run.bWrite) << "capacity " << cbNewMax;
        }
    }
}

}  // namespace
