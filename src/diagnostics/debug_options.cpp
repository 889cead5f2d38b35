#include "diagnostics/debug_options.h"

#include <algorithm>
#include <vector>

#include "platform/registry.h"
#include "platform/strings.h"
#include "service/registry_key.h"

bool CDebugOptions::Load(const char16_t* szSubKey) {
    m_Values.clear();
    const std::u16string sPath = std::u16string(BASE_KEY) + u"\\" + szSubKey;
    CRegistryKey reg;
    if (!reg.Open(HKEY_LOCAL_MACHINE, sPath.c_str(), KEY_READ)) {
        return false;
    }
    std::vector<char16_t> name(256);
    std::vector<BYTE> data(1024);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = static_cast<DWORD>(data.size());
        DWORD dwType = REG_NONE;
        const LONG lResult = platform::RegEnumValue(reg.Handle(), dwIndex, name.data(), &cchName, &dwType,
                                                    data.data(), &cbData);
        if (lResult == static_cast<LONG>(ERROR_MORE_DATA)) {
            name.resize(name.size() * 2);
            data.resize(cbData > data.size() ? cbData : data.size() * 2);
            --dwIndex;
            continue;
        }
        if (lResult != static_cast<LONG>(ERROR_SUCCESS)) {
            break;
        }
        CValue value{dwType, {}, 0};
        if (dwType == REG_DWORD && cbData == sizeof(DWORD)) {
            value.dwNumber = *reinterpret_cast<const DWORD*>(data.data());
        } else if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) {
            value.sText.assign(reinterpret_cast<const char16_t*>(data.data()), cbData / sizeof(char16_t));
            value.sText.erase(std::min(value.sText.find(u'\0'), value.sText.size()));
        }
        m_Values[platform::ToUpper(std::u16string_view(name.data(), cchName))] = std::move(value);
    }
    return true;
}

std::optional<DWORD> CDebugOptions::GetDword(const std::u16string& sName) const {
    const auto it = m_Values.find(platform::ToUpper(sName));
    if (it == m_Values.end() || it->second.dwType != REG_DWORD) {
        return std::nullopt;
    }
    return it->second.dwNumber;
}

std::u16string CDebugOptions::GetString(const std::u16string& sName) const {
    const auto it = m_Values.find(platform::ToUpper(sName));
    if (it == m_Values.end() || (it->second.dwType != REG_SZ && it->second.dwType != REG_EXPAND_SZ)) {
        return {};
    }
    return it->second.sText;
}
