#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "PrefBuilder.h"
#include "platform/Text.h"
#include "policy/PolicySettings.h"

namespace {

// Taken before main, so before any test can set a found mark.
const std::vector<POLICY_SETTING> s_initialTable(g_PolicySettings, g_PolicySettings + POLICY_SETTING_COUNT);

#define TS u"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Services"

struct ROW_CASE {
    const char16_t* pszKey;
    const char16_t* pszName;
    DWORD dwData;
    size_t cbRecord;
};

const ROW_CASE c_rows[POLICY_SETTING_COUNT] = {
    {TS, u"KeepAliveEnable", 1, 170},
    {TS, u"KeepAliveInterval", 999998, 174},
    {TS, u"SelectTransport", 0, 170},
    {TS, u"fDisableCam", 0, 162},
    {TS, u"fDisableAudioCapture", 0, 180},
    {TS, u"fDisablePNPRedir", 0, 172},
    {TS, u"fEnableVirtualizedGraphics", 1, 192},
    {TS, u"VGOptimization_CaptureFrameRate", 1, 202},
    {TS, u"VGOptimization_CompressionRatio", 1, 202},
    {TS, u"VisualExperiencePolicy", 1, 184},
    {TS, u"ColorDepth", 999, 160},
    {TS, u"bEnumerateHWBeforeSW", 1, 180},
    {TS, u"fEnableRemoteFXAdvancedRemoteApp", 1, 204},
    {TS, u"MaxCompressionLevel", 0, 178},
    {TS, u"ImageQuality", 2, 164},
    {TS, u"GraphicsProfile", 1, 170},
    {TS, u"SecurityLayer", 1, 166},
    {TS u"\\Client", u"fUsbRedirectionEnableMode", 2, 204},
};

TEST(PolicySettings, EveryRowAsSpecified)
{
    for (size_t i = 0; i < POLICY_SETTING_COUNT; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const POLICY_SETTING& row = s_initialTable[i];
        EXPECT_EQ(std::u16string(row.szKeyName), c_rows[i].pszKey);
        EXPECT_EQ(std::u16string(row.szValueName), c_rows[i].pszName);
        EXPECT_EQ(row.dwType, 4u);
        EXPECT_EQ(row.cbData, 4u);
        EXPECT_EQ(row.dwData, c_rows[i].dwData);
        EXPECT_EQ(row.bFound, 0);
        EXPECT_EQ(SettingRecord(row).size(), c_rows[i].cbRecord);
    }
}

TEST(PolicySettings, RecordsFitTheReserve)
{
    PREF_BYTES file = Header();
    for (const POLICY_SETTING& row : s_initialTable) {
        file = Cat({file, SettingRecord(row)});
    }
    EXPECT_EQ(file.size(), 3242u);
    EXPECT_EQ(POLICY_BUFFER_RESERVE, 11808u);
    EXPECT_LE(file.size(), POLICY_BUFFER_RESERVE);
}

// The merge and the update copy type, size and data as one run of 12 bytes in
// the order of a record.
TEST(PolicySettings, NumbersLieInRecordOrder)
{
    EXPECT_EQ(offsetof(POLICY_SETTING, cbData), offsetof(POLICY_SETTING, dwType) + 4);
    EXPECT_EQ(offsetof(POLICY_SETTING, dwData), offsetof(POLICY_SETTING, dwType) + 8);
    const POLICY_SETTING& row = s_initialTable[1];
    BYTE rgb[12];
    memcpy(rgb, &row.dwType, sizeof(rgb));
    EXPECT_EQ(PREF_BYTES(rgb, rgb + 12), Cat({Dword(4), Dword(4), {0x3E, 0x42, 0x0F, 0x00}}));
}

// A record may match at most one row: no two rows agree in key and value
// name once ASCII letter case is set aside.
TEST(PolicySettings, NoTwoRowsMatchTheSameRecord)
{
    for (size_t i = 0; i < POLICY_SETTING_COUNT; ++i) {
        for (size_t j = i + 1; j < POLICY_SETTING_COUNT; ++j) {
            EXPECT_FALSE(EqualsNoCaseAscii(s_initialTable[i].szKeyName, s_initialTable[j].szKeyName) &&
                         EqualsNoCaseAscii(s_initialTable[i].szValueName, s_initialTable[j].szValueName))
                << "rows " << i << " and " << j;
        }
    }
}

}  // namespace
