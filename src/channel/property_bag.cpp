#include "channel/property_bag.h"

#include <cstring>
#include <new>
#include <string_view>

CKTUPropertyBag::~CKTUPropertyBag() = default;

DWORD CKTUPropertyBag::Set(DWORD dwId, LONG lType, const void* pValue, DWORD dwSize) {
    try {
        auto pProperty = std::make_unique<CKTUProperty>();
        pProperty->m_lType = lType;
        pProperty->m_dwSize = dwSize;
        pProperty->m_pValue.reset(new BYTE[dwSize == 0 ? 1 : dwSize]);
        if (dwSize != 0) {
            std::memcpy(pProperty->m_pValue.get(), pValue, dwSize);
        }
        m_Properties[dwId] = std::move(pProperty);
    } catch (const std::bad_alloc&) {
        return KTU_BAG_OUT_OF_MEMORY;
    }
    if (dwSize > m_dwMaxValueSize) {
        m_dwMaxValueSize = dwSize;
    }
    return KTU_BAG_SUCCESS;
}

const CKTUProperty* CKTUPropertyBag::Find(DWORD dwId, LONG lType, DWORD* pdwCode) const {
    const auto it = m_Properties.find(dwId);
    if (it == m_Properties.end()) {
        *pdwCode = KTU_BAG_NO_VALUE;
        return nullptr;
    }
    if (it->second->m_lType != lType) {
        *pdwCode = KTU_BAG_TYPE_MISMATCH;
        return nullptr;
    }
    *pdwCode = KTU_BAG_SUCCESS;
    return it->second.get();
}

DWORD CKTUPropertyBag::SetDword(DWORD dwId, DWORD dwValue) {
    BYTE bytes[4];
    WriteLE32(bytes, dwValue);
    return Set(dwId, KTU_PROPERTY_DWORD, bytes, sizeof(bytes));
}

DWORD CKTUPropertyBag::GetDword(DWORD dwId, DWORD* pdwValue) {
    DWORD dwCode;
    const CKTUProperty* pProperty = Find(dwId, KTU_PROPERTY_DWORD, &dwCode);
    if (pProperty == nullptr) {
        return dwCode;
    }
    // Anything but exactly four bytes is bad data: a shorter value must not be read past its end.
    if (pProperty->m_dwSize != 4) {
        return KTU_BAG_BAD_DATA;
    }
    if (pdwValue == nullptr) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    *pdwValue = ReadLE32(pProperty->m_pValue.get());
    return KTU_BAG_SUCCESS;
}

DWORD CKTUPropertyBag::SetString(DWORD dwId, const char16_t* szValue) {
    if (szValue == nullptr) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    const std::u16string_view sValue(szValue);
    if (sValue.size() > 0x7FFFFFFE) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    // UTF-16LE on the wire; this machine is little-endian like the platform.
    return Set(dwId, KTU_PROPERTY_STRING, sValue.data(), static_cast<DWORD>(sValue.size() * 2));
}

DWORD CKTUPropertyBag::GetString(DWORD dwId, char16_t* szBuffer, DWORD* pdwSize) {
    if (pdwSize == nullptr || (szBuffer == nullptr && *pdwSize != 0)) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    DWORD dwCode;
    const CKTUProperty* pProperty = Find(dwId, KTU_PROPERTY_STRING, &dwCode);
    if (pProperty == nullptr) {
        return dwCode;
    }
    const ULONGLONG ullNeeded = static_cast<ULONGLONG>(pProperty->m_dwSize) + 2;
    if (*pdwSize < ullNeeded) {
        *pdwSize = static_cast<DWORD>(ullNeeded);
        return KTU_BAG_BUFFER_TOO_SMALL;
    }
    std::memcpy(szBuffer, pProperty->m_pValue.get(), pProperty->m_dwSize);
    szBuffer[pProperty->m_dwSize / 2] = u'\0';
    return KTU_BAG_SUCCESS;
}

DWORD CKTUPropertyBag::SetBinary(DWORD dwId, const void* pValue, DWORD dwSize) {
    if (pValue == nullptr) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    return Set(dwId, KTU_PROPERTY_BINARY, pValue, dwSize);
}

DWORD CKTUPropertyBag::GetBinary(DWORD dwId, void* pBuffer, DWORD* pdwSize) {
    if (pdwSize == nullptr || (pBuffer == nullptr && *pdwSize != 0)) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    DWORD dwCode;
    const CKTUProperty* pProperty = Find(dwId, KTU_PROPERTY_BINARY, &dwCode);
    if (pProperty == nullptr) {
        return dwCode;
    }
    if (*pdwSize < pProperty->m_dwSize) {
        *pdwSize = pProperty->m_dwSize;
        return KTU_BAG_BUFFER_TOO_SMALL;
    }
    if (pProperty->m_dwSize != 0) {
        std::memcpy(pBuffer, pProperty->m_pValue.get(), pProperty->m_dwSize);
    }
    return KTU_BAG_SUCCESS;
}

DWORD CKTUPropertyBag::Remove(DWORD dwId) {
    m_Properties.erase(dwId);
    return KTU_BAG_SUCCESS;
}

DWORD CKTUPropertyBag::GetCount() {
    return static_cast<DWORD>(m_Properties.size());
}

DWORD CKTUPropertyBag::GetSerializedSize() {
    DWORD dwSize = KTU_PBAG_HEADER_SIZE;
    for (const auto& [dwId, pProperty] : m_Properties) {
        dwSize += KTU_PBAG_RECORD_HEADER_SIZE + pProperty->m_dwSize;
    }
    return dwSize;
}

DWORD CKTUPropertyBag::GetMaxValueSize() {
    return m_dwMaxValueSize;
}

DWORD CKTUPropertyBag::Serialize(BYTE* pBuffer, DWORD dwSize) {
    if (pBuffer == nullptr || dwSize == 0) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    if (dwSize < GetSerializedSize()) {
        return KTU_BAG_BUFFER_TOO_SMALL;
    }
    WriteLE32(pBuffer, KTU_PBAG_MAGIC);
    WriteLE32(pBuffer + 4, GetCount());
    WriteLE32(pBuffer + 8, m_dwMaxValueSize);
    DWORD dwTotal = 0;
    BYTE* pRecord = pBuffer + KTU_PBAG_HEADER_SIZE;
    for (const auto& [dwId, pProperty] : m_Properties) {
        WriteLE32(pRecord, dwId);
        WriteLE32(pRecord + 4, static_cast<DWORD>(pProperty->m_lType));
        WriteLE32(pRecord + 8, pProperty->m_dwSize);
        if (pProperty->m_dwSize != 0) {
            std::memcpy(pRecord + KTU_PBAG_RECORD_HEADER_SIZE, pProperty->m_pValue.get(),
                        pProperty->m_dwSize);
        }
        pRecord += KTU_PBAG_RECORD_HEADER_SIZE + pProperty->m_dwSize;
        dwTotal += KTU_PBAG_RECORD_HEADER_SIZE + pProperty->m_dwSize;
    }
    WriteLE32(pBuffer + 12, dwTotal);
    return KTU_BAG_SUCCESS;
}

DWORD CKTUPropertyBag::Deserialize(const BYTE* pBuffer, DWORD dwSize) {
    if (pBuffer == nullptr || dwSize < KTU_PBAG_HEADER_SIZE) {
        return KTU_BAG_INVALID_ARGUMENT;
    }
    m_Properties.clear();
    const DWORD dwTotal = ReadLE32(pBuffer + 12);
    if (ReadLE32(pBuffer) != KTU_PBAG_MAGIC || dwSize - KTU_PBAG_HEADER_SIZE < dwTotal) {
        return KTU_BAG_BAD_DATA;
    }
    m_dwMaxValueSize = ReadLE32(pBuffer + 8);
    const DWORD dwCount = ReadLE32(pBuffer + 4);
    // Records are read only inside the block the header declares.
    const BYTE* pEnd = pBuffer + KTU_PBAG_HEADER_SIZE + dwTotal;
    const BYTE* pRecord = pBuffer + KTU_PBAG_HEADER_SIZE;
    for (DWORD i = 0; i < dwCount; ++i) {
        if (static_cast<size_t>(pEnd - pRecord) < KTU_PBAG_RECORD_HEADER_SIZE) {
            m_Properties.clear();
            return KTU_BAG_BAD_DATA;
        }
        const DWORD dwId = ReadLE32(pRecord);
        const DWORD dwType = ReadLE32(pRecord + 4);
        const DWORD dwValueSize = ReadLE32(pRecord + 8);
        const BYTE* pValue = pRecord + KTU_PBAG_RECORD_HEADER_SIZE;
        const bool bOddString = dwType == KTU_PROPERTY_STRING && dwValueSize % 2 != 0;
        if (static_cast<size_t>(pEnd - pValue) < dwValueSize || dwType > KTU_PROPERTY_BINARY || bOddString) {
            m_Properties.clear();
            return KTU_BAG_BAD_DATA;
        }
        if (m_Properties.count(dwId) == 0) {  // a repeated id keeps the first record
            try {
                auto pProperty = std::make_unique<CKTUProperty>();
                pProperty->m_lType = static_cast<LONG>(dwType);
                pProperty->m_dwSize = dwValueSize;
                pProperty->m_pValue.reset(new BYTE[dwValueSize == 0 ? 1 : dwValueSize]);
                if (dwValueSize != 0) {
                    std::memcpy(pProperty->m_pValue.get(), pValue, dwValueSize);
                }
                m_Properties.emplace(dwId, std::move(pProperty));
            } catch (const std::bad_alloc&) {
                m_Properties.clear();
                return KTU_BAG_OUT_OF_MEMORY;
            }
        }
        pRecord = pValue + dwValueSize;
    }
    return KTU_BAG_SUCCESS;
}
