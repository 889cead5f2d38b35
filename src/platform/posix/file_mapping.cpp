#include "platform/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/posix/handle_table.h"
#include "platform/root.h"
#include "platform/strings.h"
#include "platform/system.h"

namespace platform {
namespace {

class CMappingObject : public posix::KernelObject {
public:
    CMappingObject(int nFd, bool bWritable) : m_nFd(nFd), m_bWritable(bWritable) {}
    ~CMappingObject() override { close(m_nFd); }
    int Fd() const { return m_nFd; }
    bool IsWritable() const { return m_bWritable; }

private:
    int m_nFd;
    bool m_bWritable;
};

// Views by base address: munmap needs the length the platform's call does not pass.
struct CViews {
    std::mutex lock;
    std::map<const void*, std::size_t> sizes;
};
CViews& Views() {
    static CViews views;
    return views;
}

// The file of a mapping name, or empty for a name that cannot be one (empty, or with a separator).
std::string MappingPath(const char16_t* szName) {
    if (szName == nullptr) {
        return {};
    }
    std::u16string_view sName(szName);
    for (std::u16string_view sPrefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
        if (sName.starts_with(sPrefix)) {
            sName.remove_prefix(sPrefix.size());
        }
    }
    if (sName.empty() || sName.find_first_of(u"\\/") != std::u16string_view::npos || sName == u"." ||
        sName == u"..") {
        return {};
    }
    return RootSubdirectory("run") + "/" + ToUtf8(sName);
}

HANDLE Insert(int nFd, bool bWritable) {
    HANDLE hMapping = posix::InsertHandle(std::make_shared<CMappingObject>(nFd, bWritable));
    if (hMapping == nullptr) {
        close(nFd);
    }
    return hMapping;
}

}  // namespace

HANDLE CreateFileMapping(HANDLE hFile, const void* /*pAttributes*/, DWORD flProtect, DWORD dwMaximumSizeHigh,
                         DWORD dwMaximumSizeLow, const char16_t* szName) {
    const std::string sPath = MappingPath(szName);
    const std::size_t cb = (static_cast<std::size_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    if (hFile != INVALID_HANDLE_VALUE || sPath.empty() || cb == 0 ||
        (flProtect != PAGE_READWRITE && flProtect != PAGE_READONLY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool bWritable = flProtect == PAGE_READWRITE;
    int nFd = open(sPath.c_str(), (bWritable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    const bool bExisted = nFd >= 0;
    if (!bExisted && bWritable) {
        nFd = open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    struct stat st {};
    if (nFd < 0 || fstat(nFd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        if (nFd >= 0) {
            close(nFd);
        }
        return nullptr;
    }
    if (static_cast<std::size_t>(st.st_size) < cb) {
        if (!bWritable || ftruncate(nFd, static_cast<off_t>(cb)) != 0) {
            SetLastError(bWritable ? ErrorFromErrno(errno) : ERROR_ACCESS_DENIED);
            close(nFd);
            return nullptr;
        }
    }
    HANDLE hMapping = Insert(nFd, bWritable);
    if (hMapping != nullptr) {
        SetLastError(bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return hMapping;
}

HANDLE OpenFileMapping(DWORD dwDesiredAccess, bool /*bInheritHandle*/, const char16_t* szName) {
    const std::string sPath = MappingPath(szName);
    if (sPath.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool bWritable = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    const int nFd = open(sPath.c_str(), (bWritable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (nFd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    return Insert(nFd, bWritable);
}

void* MapViewOfFile(HANDLE hMapping, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                    std::size_t cb) {
    const auto pMapping = posix::LookupHandle<CMappingObject>(hMapping);
    if (pMapping == nullptr) {
        return nullptr;
    }
    const bool bWrite = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    const off_t nOffset =
        static_cast<off_t>((static_cast<ULONGLONG>(dwFileOffsetHigh) << 32) | dwFileOffsetLow);
    struct stat st {};
    if ((bWrite && !pMapping->IsWritable()) || fstat(pMapping->Fd(), &st) != 0 || nOffset > st.st_size) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (cb == 0) {
        cb = static_cast<std::size_t>(st.st_size - nOffset);
    }
    if (cb == 0 || nOffset + static_cast<off_t>(cb) > st.st_size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* pView =
        mmap(nullptr, cb, bWrite ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, pMapping->Fd(), nOffset);
    if (pView == MAP_FAILED) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    CViews& views = Views();
    std::lock_guard lock(views.lock);
    views.sizes[pView] = cb;
    return pView;
}

bool UnmapViewOfFile(const void* pBaseAddress) {
    CViews& views = Views();
    std::lock_guard lock(views.lock);
    const auto it = views.sizes.find(pBaseAddress);
    if (it == views.sizes.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    munmap(const_cast<void*>(pBaseAddress), it->second);
    views.sizes.erase(it);
    return true;
}

}  // namespace platform
