// Builders for PReg policy file bytes in tests: numbers and text in the
// file's own encoding (little-endian, UTF-16LE), the header, and records from
// their parts. The size field is given apart from the data, so that a test
// can write a record whose size field lies.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "policy/PolicySettings.h"

typedef std::vector<uint8_t> PREF_BYTES;

inline PREF_BYTES Cat(std::initializer_list<PREF_BYTES> parts)
{
    PREF_BYTES result;
    for (const PREF_BYTES& part : parts) {
        result.insert(result.end(), part.begin(), part.end());
    }
    return result;
}

inline PREF_BYTES Dword(uint32_t dw)
{
    return {static_cast<uint8_t>(dw), static_cast<uint8_t>(dw >> 8), static_cast<uint8_t>(dw >> 16),
            static_cast<uint8_t>(dw >> 24)};
}

// Code units of text, low byte first, without a terminating NUL.
inline PREF_BYTES Utf16(const std::u16string& text)
{
    PREF_BYTES result;
    for (char16_t ch : text) {
        result.push_back(static_cast<uint8_t>(ch));
        result.push_back(static_cast<uint8_t>(ch >> 8));
    }
    return result;
}

// REG_SZ data: the text and its terminating NUL.
inline PREF_BYTES Sz(const std::u16string& text)
{
    return Cat({Utf16(text), {0, 0}});
}

inline PREF_BYTES Header()
{
    return {0x50, 0x52, 0x65, 0x67, 0x01, 0x00, 0x00, 0x00};
}

// "[" key NUL ";" value name NUL ";" type ";" size ";" data "]"
inline PREF_BYTES Record(const std::u16string& key, const std::u16string& name, uint32_t dwType, uint32_t cbSize,
                         const PREF_BYTES& data)
{
    return Cat({Utf16(u"["), Sz(key), Utf16(u";"), Sz(name), Utf16(u";"), Dword(dwType), Utf16(u";"),
                Dword(cbSize), Utf16(u";"), data, Utf16(u"]")});
}

inline PREF_BYTES Record(const std::u16string& key, const std::u16string& name, uint32_t dwType,
                         const PREF_BYTES& data)
{
    return Record(key, name, dwType, static_cast<uint32_t>(data.size()), data);
}

// A row's record as the tool writes it: type, size and data from the row.
inline PREF_BYTES SettingRecord(const POLICY_SETTING& setting)
{
    return Record(setting.szKeyName, setting.szValueName, setting.dwType, setting.cbData, Dword(setting.dwData));
}
