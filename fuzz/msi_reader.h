// The installer package reader as the fuzz target and the corpus replay drive it: the input's bytes
// become a package file of the root, which is opened as a database and as a package through the seam,
// and whose ProductCode and UpgradeCode are read as the install authorization reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "module/install_identifier.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/msi.h"
#include "platform/sync.h"

namespace krellfuzz {

inline constexpr const char16_t* MSI_INPUT_PATH = u"C:\\Fuzz\\input.msi";

struct PackageReading {
    DWORD dwOpenDatabase = ERROR_INVALID_PARAMETER;
    DWORD dwOpenPackage = ERROR_INVALID_PARAMETER;
    bool bCodesRead = false;  // both codes read and converted, as the install authorization needs them
};

inline bool WriteInput(const std::uint8_t* pData, std::size_t nSize) {
    platform::CreateDirectory(u"C:\\Fuzz");
    const HANDLE hFile = platform::CreateFile(MSI_INPUT_PATH, GENERIC_WRITE, 0, platform::CREATE_ALWAYS,
                                              platform::FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD cbWritten = 0;
    const bool bWritten =
        platform::WriteFile(hFile, pData, static_cast<DWORD>(nSize), &cbWritten) && cbWritten == nSize;
    platform::CloseHandle(hFile);
    return bWritten;
}

// Every property read asks for its length first and then reads into a buffer of 39 characters.
inline void ReadProperties(MSIHANDLE hPackage) {
    for (const char16_t* szName : {u"ProductCode", u"UpgradeCode", u"ProductName", u""}) {
        DWORD cchValue = 0;
        platform::MsiGetProperty(hPackage, szName, nullptr, &cchValue);
        char16_t szValue[39];
        cchValue = 39;
        platform::MsiGetProperty(hPackage, szName, szValue, &cchValue);
    }
}

inline PackageReading ReadPackage(const std::uint8_t* pData, std::size_t nSize) {
    PackageReading reading;
    if (!WriteInput(pData, nSize)) {
        return reading;
    }
    MSIHANDLE hDatabase = 0;
    reading.dwOpenDatabase = platform::MsiOpenDatabase(MSI_INPUT_PATH, MSIDBOPEN_READONLY, &hDatabase);
    if (reading.dwOpenDatabase != ERROR_SUCCESS) {
        return reading;
    }
    MSIHANDLE hPackage = 0;
    const std::u16string sHandle = platform::Format(u"#%u", static_cast<unsigned>(hDatabase));
    reading.dwOpenPackage = platform::MsiOpenPackage(sHandle.c_str(), &hPackage);
    if (reading.dwOpenPackage == ERROR_SUCCESS) {
        ReadProperties(hPackage);
        platform::MsiCloseHandle(hPackage);
    }
    UUID productCode{};
    UUID upgradeCode{};
    reading.bCodesRead = CInstallIdentifier().GetGuids(hDatabase, &productCode, &upgradeCode);
    platform::MsiCloseHandle(hDatabase);
    return reading;
}

}  // namespace krellfuzz
