// Installer databases, read through the reader program (msi_reader_process.h): opening a database
// reads its Property table once, and databases and packages answer from memory after that.
#include "platform/msi.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <variant>

#include "platform/paths.h"
#include "platform/posix/msi_reader_process.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

using posix::CMsiProperties;
using posix::MsiReadOutcome;

struct CDatabase {
    bool bHasPropertyTable;
    CMsiProperties properties;
};
using CDatabasePtr = std::shared_ptr<const CDatabase>;
using CPackagePtr = std::shared_ptr<const CMsiProperties>;

class CMsiTable {
public:
    static CMsiTable& Instance() {
        static CMsiTable table;
        return table;
    }

    MSIHANDLE Insert(std::variant<CDatabasePtr, CPackagePtr> object) {
        const std::lock_guard lock(m_Mutex);
        const MSIHANDLE hNew = m_hNext++;
        m_Objects.emplace(hNew, std::move(object));
        return hNew;
    }
    template <class T>
    T Find(MSIHANDLE h) const {
        const std::lock_guard lock(m_Mutex);
        const auto it = m_Objects.find(h);
        const T* pObject = it == m_Objects.end() ? nullptr : std::get_if<T>(&it->second);
        return pObject != nullptr ? *pObject : nullptr;
    }
    bool Erase(MSIHANDLE h) {
        const std::lock_guard lock(m_Mutex);
        return m_Objects.erase(h) != 0;
    }

private:
    mutable std::mutex m_Mutex;
    MSIHANDLE m_hNext = 1;
    std::map<MSIHANDLE, std::variant<CDatabasePtr, CPackagePtr>> m_Objects;
};

// The database a file holds, or null with the answer of MsiOpenDatabase.
CDatabasePtr ReadDatabase(const std::string& sPosixPath, DWORD* pdwError) {
    auto pDb = std::make_shared<CDatabase>();
    switch (posix::ReadMsiProperties(sPosixPath, &pDb->properties)) {
        case MsiReadOutcome::PROPERTIES:
            pDb->bHasPropertyTable = true;
            return pDb;
        case MsiReadOutcome::NO_PROPERTY_TABLE:
            pDb->bHasPropertyTable = false;
            return pDb;
        case MsiReadOutcome::NOT_A_DATABASE:
            *pdwError = ERROR_OPEN_FAILED;
            return nullptr;
        case MsiReadOutcome::NO_READER:
            break;
    }
    *pdwError = ERROR_INSTALL_SERVICE_FAILURE;
    return nullptr;
}

// "#N" with N a decimal handle value, nothing else.
bool ParseHandleText(std::u16string_view sText, MSIHANDLE* phDatabase) {
    if (sText.size() < 2 || sText.size() > 11 || sText.front() != u'#') {
        return false;
    }
    unsigned long long ullValue = 0;
    for (const char16_t ch : sText.substr(1)) {
        if (ch < u'0' || ch > u'9') {
            return false;
        }
        ullValue = ullValue * 10 + static_cast<unsigned>(ch - u'0');
    }
    if (ullValue > 0xFFFFFFFFull) {
        return false;
    }
    *phDatabase = static_cast<MSIHANDLE>(ullValue);
    return true;
}

DWORD OpenDatabase(const char16_t* szDatabasePath, const char16_t* szPersist, MSIHANDLE* phDatabase) {
    if (szDatabasePath == nullptr || phDatabase == nullptr || szPersist != MSIDBOPEN_READONLY) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string sPosixPath;
    if (!MapPath(szDatabasePath, &sPosixPath)) {
        return GetLastError();
    }
    DWORD dwError = ERROR_SUCCESS;
    CDatabasePtr pDb = ReadDatabase(sPosixPath, &dwError);
    if (pDb == nullptr) {
        return dwError;
    }
    *phDatabase = CMsiTable::Instance().Insert(std::move(pDb));
    return ERROR_SUCCESS;
}

DWORD OpenPackage(const char16_t* szPackagePath, MSIHANDLE* phProduct) {
    if (szPackagePath == nullptr || phProduct == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    CMsiTable& table = CMsiTable::Instance();
    MSIHANDLE hDatabase = 0;
    CDatabasePtr pDb;
    if (ParseHandleText(szPackagePath, &hDatabase)) {
        pDb = table.Find<CDatabasePtr>(hDatabase);
        if (pDb == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
    } else {
        std::string sPosixPath;
        DWORD dwError = ERROR_SUCCESS;
        if (!MapPath(szPackagePath, &sPosixPath) || (pDb = ReadDatabase(sPosixPath, &dwError)) == nullptr) {
            return dwError == ERROR_INSTALL_SERVICE_FAILURE ? dwError : ERROR_INSTALL_PACKAGE_OPEN_FAILED;
        }
    }
    if (!pDb->bHasPropertyTable) {
        return ERROR_INSTALL_PACKAGE_INVALID;
    }
    *phProduct = table.Insert(std::make_shared<const CMsiProperties>(pDb->properties));
    return ERROR_SUCCESS;
}

DWORD GetProperty(MSIHANDLE hInstall, const char16_t* szName, char16_t* szValueBuf, DWORD* pcchValueBuf) {
    if (szName == nullptr || (szValueBuf != nullptr && pcchValueBuf == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const CPackagePtr pPackage = CMsiTable::Instance().Find<CPackagePtr>(hInstall);
    if (pPackage == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const auto it = pPackage->find(szName);
    const std::u16string_view sValue = it != pPackage->end() ? std::u16string_view(it->second) : u"";
    if (pcchValueBuf == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD cchBuffer = *pcchValueBuf;
    *pcchValueBuf = static_cast<DWORD>(sValue.size());
    if (szValueBuf == nullptr) {
        return ERROR_SUCCESS;
    }
    if (cchBuffer == 0) {
        return ERROR_MORE_DATA;
    }
    const std::size_t cchCopy = std::min<std::size_t>(sValue.size(), cchBuffer - 1);
    sValue.copy(szValueBuf, cchCopy);
    szValueBuf[cchCopy] = u'\0';
    return cchCopy < sValue.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

// Nothing thrown leaves the seam: an allocation that fails is the platform's out-of-memory code.
template <class F>
DWORD Guarded(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

DWORD MsiOpenDatabase(const char16_t* szDatabasePath, const char16_t* szPersist, MSIHANDLE* phDatabase) {
    return Guarded([&] { return OpenDatabase(szDatabasePath, szPersist, phDatabase); });
}

DWORD MsiOpenPackage(const char16_t* szPackagePath, MSIHANDLE* phProduct) {
    return Guarded([&] { return OpenPackage(szPackagePath, phProduct); });
}

DWORD MsiGetProperty(MSIHANDLE hInstall, const char16_t* szName, char16_t* szValueBuf, DWORD* pcchValueBuf) {
    return Guarded([&] { return GetProperty(hInstall, szName, szValueBuf, pcchValueBuf); });
}

DWORD MsiCloseHandle(MSIHANDLE hAny) {
    if (hAny == 0) {
        return ERROR_SUCCESS;
    }
    return CMsiTable::Instance().Erase(hAny) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace platform
