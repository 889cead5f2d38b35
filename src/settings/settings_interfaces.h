// The settings store's interfaces, as the store's library (lcSet.dll) implements them. Keys are
// backslash-separated paths ("GATEWARDEN\PRIVATE"); a key holds named DWORD, string and binary
// values. Changes to a key become visible to others when the key is committed with PutSettings, as
// one transaction.
#pragma once

#include "platform/com.h"
#include "settings/zel_result.h"

// Value types of the store.
constexpr DWORD SETTINGS_TYPE_DWORD = 1;
constexpr DWORD SETTINGS_TYPE_STRING = 2;
constexpr DWORD SETTINGS_TYPE_BINARY = 3;

// An enumeration of names (the values of a key, or the sub-keys of a key).
struct ISettingsEnum : IUnknown {
    virtual ZELRESULT STDMETHODCALLTYPE GetCount(DWORD* pdwCount) = 0;
    // pcchName: in, the buffer's length in characters; out, the name's length without its terminator.
    // ZEL_E_BUFFER_TOO_SMALL with the length needed (terminator included) when the name does not fit.
    virtual ZELRESULT STDMETHODCALLTYPE GetItem(DWORD dwIndex, char16_t* szName, DWORD* pcchName,
                                                DWORD* pdwType) = 0;

protected:
    ~ISettingsEnum() = default;
};

// One key, opened for reading (GetSettings) or for writing (CreateSettings).
struct ISettings : IUnknown {
    virtual ZELRESULT STDMETHODCALLTYPE GetDword(const char16_t* szName, DWORD* pdwValue) = 0;
    // pcchText as for ISettingsEnum::GetItem.
    virtual ZELRESULT STDMETHODCALLTYPE GetString(const char16_t* szName, char16_t* szText,
                                                  DWORD* pcchText) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE PutDword(const char16_t* szName, DWORD dwValue) = 0;
    // pcbData: in, the buffer's size; out, the value's size (ZEL_E_BUFFER_TOO_SMALL when it does not fit).
    virtual ZELRESULT STDMETHODCALLTYPE GetBinary(const char16_t* szName, BYTE* pData, DWORD* pcbData) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE PutBinary(const char16_t* szName, const BYTE* pData,
                                                  DWORD cbData) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE DeleteValue(const char16_t* szName) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE PutString(const char16_t* szName, const char16_t* szText) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE GetValueType(const char16_t* szName, DWORD* pdwType) = 0;
    virtual ZELRESULT STDMETHODCALLTYPE GetValues(ISettingsEnum** ppValues) = 0;
    // The length, in characters, of the longest value name.
    virtual ZELRESULT STDMETHODCALLTYPE GetMaxValueNameLength(DWORD* pcchMax) = 0;

protected:
    ~ISettings() = default;
};

struct ISettingsManager : IUnknown {
    // Opens or creates a key for writing; nothing is stored until PutSettings.
    virtual ZELRESULT STDMETHODCALLTYPE CreateSettings(const char16_t* szKeyName, ISettings** ppSettings) = 0;
    // Opens an existing key; ZEL_E_NOT_FOUND when it is missing.
    virtual ZELRESULT STDMETHODCALLTYPE GetSettings(const char16_t* szKeyName, ISettings** ppSettings) = 0;
    // Commits the changes of a key opened with CreateSettings, whole or not at all.
    virtual ZELRESULT STDMETHODCALLTYPE PutSettings(ISettings* pSettings) = 0;
    // The sub-keys of a key; ZEL_E_NOT_FOUND when it is missing.
    virtual ZELRESULT STDMETHODCALLTYPE GetSubKeys(const char16_t* szKeyName, ISettingsEnum** ppSubKeys) = 0;
    // Deletes a key with its sub-keys.
    virtual ZELRESULT STDMETHODCALLTYPE DeleteSettings(const char16_t* szKeyName) = 0;
    // A number that grows with every committed change of the store, by any process.
    virtual ZELRESULT STDMETHODCALLTYPE GetChangeCount(ULONGLONG* pullCount) = 0;

protected:
    ~ISettingsManager() = default;
};

// The settings manager's identifiers in lcSet.dll.
inline constexpr CLSID CLSID_SettingsManager = {
    0x4f3e0be1, 0x5fe1, 0x4c22, {0x85, 0x9b, 0xa6, 0xfb, 0x75, 0x86, 0xb8, 0x28}};
inline constexpr IID IID_ISettingsManager = {
    0xb0a55002, 0xda4a, 0x473b, {0xae, 0xbb, 0x09, 0x79, 0x5f, 0x61, 0x8e, 0xdf}};
