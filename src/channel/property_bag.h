// Numbered properties (a 32-bit number, a wide string or bytes) and their one serialized form, the
// "pbag" block. Every number on the channel is a little-endian u32.
#pragma once

#include <map>
#include <memory>

#include "platform/types.h"

// Results of the bag's operations.
constexpr DWORD KTU_BAG_SUCCESS = 0;
constexpr DWORD KTU_BAG_NO_VALUE = 1;
// Memory for a value could not be obtained (folded into a message failure).
constexpr DWORD KTU_BAG_OUT_OF_MEMORY = 2;
constexpr DWORD KTU_BAG_BUFFER_TOO_SMALL = 3;
constexpr DWORD KTU_BAG_INVALID_ARGUMENT = 4;
constexpr DWORD KTU_BAG_BAD_DATA = 5;
constexpr DWORD KTU_BAG_TYPE_MISMATCH = 6;

constexpr LONG KTU_PROPERTY_NONE = -1;
constexpr LONG KTU_PROPERTY_DWORD = 0;
constexpr LONG KTU_PROPERTY_STRING = 1;
constexpr LONG KTU_PROPERTY_BINARY = 2;

constexpr DWORD KTU_PBAG_MAGIC = 0x67616270;  // "pbag"
constexpr DWORD KTU_PBAG_HEADER_SIZE = 16;
constexpr DWORD KTU_PBAG_RECORD_HEADER_SIZE = 12;

inline DWORD ReadLE32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}
inline void WriteLE32(BYTE* p, DWORD dwValue) {
    p[0] = static_cast<BYTE>(dwValue);
    p[1] = static_cast<BYTE>(dwValue >> 8);
    p[2] = static_cast<BYTE>(dwValue >> 16);
    p[3] = static_cast<BYTE>(dwValue >> 24);
}

class CKTUProperty {
public:
    CKTUProperty() = default;
    virtual ~CKTUProperty() = default;
    CKTUProperty(const CKTUProperty&) = delete;
    CKTUProperty& operator=(const CKTUProperty&) = delete;

    LONG m_lType = KTU_PROPERTY_NONE;
    DWORD m_dwSize = 0;
    std::unique_ptr<BYTE[]> m_pValue;
};

class CKTUPropertyBag {
public:
    CKTUPropertyBag() = default;
    virtual ~CKTUPropertyBag();
    CKTUPropertyBag(const CKTUPropertyBag&) = delete;
    CKTUPropertyBag& operator=(const CKTUPropertyBag&) = delete;

    virtual DWORD SetDword(DWORD dwId, DWORD dwValue);
    virtual DWORD GetDword(DWORD dwId, DWORD* pdwValue);
    virtual DWORD SetString(DWORD dwId, const char16_t* szValue);
    // pdwSize: the buffer's size in bytes; too small, it receives the size needed (terminator included).
    virtual DWORD GetString(DWORD dwId, char16_t* szBuffer, DWORD* pdwSize);
    virtual DWORD SetBinary(DWORD dwId, const void* pValue, DWORD dwSize);
    virtual DWORD GetBinary(DWORD dwId, void* pBuffer, DWORD* pdwSize);
    virtual DWORD Remove(DWORD dwId);
    virtual DWORD GetCount();
    virtual DWORD GetSerializedSize();
    virtual DWORD GetMaxValueSize();
    virtual DWORD Serialize(BYTE* pBuffer, DWORD dwSize);
    // Refuses (bad data) a block whose records run past the header's total or past the bytes given,
    // fewer records than the count, an unknown value type, or a string of an odd number of bytes.
    virtual DWORD Deserialize(const BYTE* pBuffer, DWORD dwSize);

private:
    DWORD Set(DWORD dwId, LONG lType, const void* pValue, DWORD dwSize);
    // Value of dwId when it has type lType; else null with the code in *pdwCode.
    const CKTUProperty* Find(DWORD dwId, LONG lType, DWORD* pdwCode) const;

    std::map<DWORD, std::unique_ptr<CKTUProperty>> m_Properties;
    DWORD m_dwMaxValueSize = 0;
};
