// Installer databases over libmsi. libmsi says nothing about threads, so every call into it runs under
// one lock of this facility; packages are read once, when they open, and answer from memory after.
#include "platform/msi.h"

#include <libmsi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <variant>

#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

template <class T>
struct GObjectUnref {
    void operator()(T* p) const { g_object_unref(p); }
};
template <class T>
using CGObject = std::unique_ptr<T, GObjectUnref<T>>;

// A GError the caller owns; freed on every path.
class CGError {
public:
    CGError() = default;
    CGError(const CGError&) = delete;
    CGError& operator=(const CGError&) = delete;
    ~CGError() {
        if (m_pError != nullptr) {
            g_error_free(m_pError);
        }
    }
    GError** Out() { return &m_pError; }
    bool IsSet() const { return m_pError != nullptr; }

private:
    GError* m_pError = nullptr;
};

using CDatabase = std::shared_ptr<LibmsiDatabase>;
using CProperties = std::map<std::u16string, std::u16string>;

class CMsiTable {
public:
    static CMsiTable& Instance() {
        static CMsiTable table;
        return table;
    }

    std::mutex& Lock() { return m_Mutex; }

    // The callers below hold Lock().
    MSIHANDLE Insert(std::variant<CDatabase, CProperties> object) {
        const MSIHANDLE hNew = m_hNext++;
        m_Objects.emplace(hNew, std::move(object));
        return hNew;
    }
    template <class T>
    const T* Find(MSIHANDLE h) const {
        const auto it = m_Objects.find(h);
        return it == m_Objects.end() ? nullptr : std::get_if<T>(&it->second);
    }
    bool Erase(MSIHANDLE h) { return m_Objects.erase(h) != 0; }

private:
    std::mutex m_Mutex;
    MSIHANDLE m_hNext = 1;
    std::map<MSIHANDLE, std::variant<CDatabase, CProperties>> m_Objects;
};

// Null when the file cannot be read as an installer database. Called with the table's lock held.
CDatabase OpenReadOnly(const std::string& sPosixPath) {
    CGError error;
    LibmsiDatabase* pDb =
        libmsi_database_new(sPosixPath.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, error.Out());
    if (pDb == nullptr) {
        return nullptr;
    }
    return CDatabase(pDb, GObjectUnref<LibmsiDatabase>());
}

std::u16string FieldText(LibmsiRecord* pRecord, guint nField) {
    gchar* szText = libmsi_record_get_string(pRecord, nField);
    if (szText == nullptr) {
        return {};
    }
    std::u16string sText = FromUtf8(szText);
    g_free(szText);
    return sText;
}

// The Property table, or false when the database has none that can be read. Called with the lock held.
bool ReadProperties(LibmsiDatabase* pDb, CProperties* pProperties) {
    CGError error;
    CGObject<LibmsiQuery> pQuery(
        libmsi_query_new(pDb, "SELECT `Property`, `Value` FROM `Property`", error.Out()));
    if (pQuery == nullptr || !libmsi_query_execute(pQuery.get(), nullptr, error.Out())) {
        return false;
    }
    for (;;) {
        CGError fetchError;
        CGObject<LibmsiRecord> pRecord(libmsi_query_fetch(pQuery.get(), fetchError.Out()));
        if (pRecord == nullptr) {
            break;
        }
        if (libmsi_record_get_field_count(pRecord.get()) < 2) {
            return false;
        }
        (*pProperties)[FieldText(pRecord.get(), 1)] = FieldText(pRecord.get(), 2);
    }
    libmsi_query_close(pQuery.get(), nullptr);
    return true;
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
    CMsiTable& table = CMsiTable::Instance();
    const std::lock_guard lock(table.Lock());
    CDatabase pDb = OpenReadOnly(sPosixPath);
    if (pDb == nullptr) {
        return ERROR_OPEN_FAILED;
    }
    *phDatabase = table.Insert(std::move(pDb));
    return ERROR_SUCCESS;
}

DWORD OpenPackage(const char16_t* szPackagePath, MSIHANDLE* phProduct) {
    if (szPackagePath == nullptr || phProduct == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    MSIHANDLE hDatabase = 0;
    const bool bByHandle = ParseHandleText(szPackagePath, &hDatabase);
    std::string sPosixPath;
    if (!bByHandle && !MapPath(szPackagePath, &sPosixPath)) {
        return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
    }
    CMsiTable& table = CMsiTable::Instance();
    // Held until the database reference below is dropped: its last release calls into libmsi.
    const std::lock_guard lock(table.Lock());
    CDatabase pDb;
    if (bByHandle) {
        const CDatabase* ppDb = table.Find<CDatabase>(hDatabase);
        if (ppDb == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        pDb = *ppDb;
    } else {
        pDb = OpenReadOnly(sPosixPath);
        if (pDb == nullptr) {
            return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
        }
    }
    CProperties properties;
    const bool bRead = ReadProperties(pDb.get(), &properties);
    pDb.reset();
    if (!bRead) {
        return ERROR_INSTALL_PACKAGE_INVALID;
    }
    *phProduct = table.Insert(std::move(properties));
    return ERROR_SUCCESS;
}

DWORD GetProperty(MSIHANDLE hInstall, const char16_t* szName, char16_t* szValueBuf, DWORD* pcchValueBuf) {
    if (szName == nullptr || (szValueBuf != nullptr && pcchValueBuf == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    CMsiTable& table = CMsiTable::Instance();
    std::u16string sValue;
    {
        const std::lock_guard lock(table.Lock());
        const CProperties* pProperties = table.Find<CProperties>(hInstall);
        if (pProperties == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        if (const auto it = pProperties->find(szName); it != pProperties->end()) {
            sValue = it->second;
        }
    }
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
    CMsiTable& table = CMsiTable::Instance();
    const std::lock_guard lock(table.Lock());
    return table.Erase(hAny) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace platform
