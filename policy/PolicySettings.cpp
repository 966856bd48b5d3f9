#include "policy/PolicySettings.h"

#define TS_KEY WSTR("SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Services")

POLICY_SETTING g_PolicySettings[POLICY_SETTING_COUNT] = {
    {TS_KEY, WSTR("KeepAliveEnable"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("KeepAliveInterval"), REG_DWORD, 4, 999998, 0},
    {TS_KEY, WSTR("SelectTransport"), REG_DWORD, 4, 0, 0},
    {TS_KEY, WSTR("fDisableCam"), REG_DWORD, 4, 0, 0},
    {TS_KEY, WSTR("fDisableAudioCapture"), REG_DWORD, 4, 0, 0},
    {TS_KEY, WSTR("fDisablePNPRedir"), REG_DWORD, 4, 0, 0},
    {TS_KEY, WSTR("fEnableVirtualizedGraphics"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("VGOptimization_CaptureFrameRate"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("VGOptimization_CompressionRatio"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("VisualExperiencePolicy"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("ColorDepth"), REG_DWORD, 4, 999, 0},
    {TS_KEY, WSTR("bEnumerateHWBeforeSW"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("fEnableRemoteFXAdvancedRemoteApp"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("MaxCompressionLevel"), REG_DWORD, 4, 0, 0},
    {TS_KEY, WSTR("ImageQuality"), REG_DWORD, 4, 2, 0},
    {TS_KEY, WSTR("GraphicsProfile"), REG_DWORD, 4, 1, 0},
    {TS_KEY, WSTR("SecurityLayer"), REG_DWORD, 4, 1, 0},
    {TS_KEY WSTR("\\Client"), WSTR("fUsbRedirectionEnableMode"), REG_DWORD, 4, 2, 0},
};
