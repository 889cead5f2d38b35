// MemorySanitizer builds only, beside msan_stream_links.cpp: the file system library and the file
// streams' C files live in the uninstrumented shared C++ library, which builds paths, directory entries
// and file handles in our objects. Each definition here calls the library's own and marks what it
// made. Paths and file handles are names the tests chose, never bytes under test.
#include <dlfcn.h>
#include <sanitizer/msan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <string>

#include "msan_original.h"

namespace fs = std::filesystem;

namespace {

// libstdc++'s path: its text, then a tagged pointer to its components (an 8-byte count header, then
// each component, itself a path, followed by its position).
static_assert(sizeof(fs::path) == sizeof(std::string) + sizeof(std::uintptr_t));
constexpr std::size_t COMPONENT_SIZE = sizeof(fs::path) + sizeof(std::size_t);

void MarkString(const std::string& s) {
    __msan_unpoison(&s, sizeof(s));
    __msan_unpoison(s.data(), s.size() + 1);
}

void MarkPath(const fs::path& path) {
    __msan_unpoison(&path, sizeof(path));
    MarkString(path.native());
    std::uintptr_t components = 0;
    std::memcpy(&components, reinterpret_cast<const char*>(&path) + sizeof(std::string), sizeof(components));
    if (components == 0 || (components & 0x3) != 0) {
        return;  // A single name: no list.
    }
    auto* pHeader = reinterpret_cast<const int*>(components);
    __msan_unpoison(pHeader, 2 * sizeof(int));
    for (int i = 0; i < pHeader[0]; ++i) {
        const char* pComponent =
            reinterpret_cast<const char*>(components) + 2 * sizeof(int) + i * COMPONENT_SIZE;
        MarkPath(*reinterpret_cast<const fs::path*>(pComponent));
        __msan_unpoison(pComponent + sizeof(fs::path), sizeof(std::size_t));
    }
}

// A shared pointer's control block: its table pointer and two counts.
void MarkSharedOwner(const void* pSharedPtr) {
    void* pControl = nullptr;
    std::memcpy(&pControl, static_cast<const char*>(pSharedPtr) + sizeof(void*), sizeof(pControl));
    if (pControl != nullptr) {
        __msan_unpoison(pControl, sizeof(void*) + 2 * sizeof(int));
    }
}

void MarkIterator(const fs::directory_iterator& it) {
    __msan_unpoison(&it, sizeof(it));
    MarkSharedOwner(&it);
    if (it != fs::directory_iterator()) {
        const fs::directory_entry& entry = *it;
        __msan_unpoison(&entry, sizeof(entry));
        MarkPath(entry.path());
    }
}

void MarkError(std::error_code& ec) {
    __msan_unpoison(&ec, sizeof(ec));
}

}  // namespace

namespace std {
namespace filesystem {

inline namespace __cxx11 {

void path::_M_split_cmpts() {
    static const auto original =
        Original<void (*)(path*)>("_ZNSt10filesystem7__cxx114path14_M_split_cmptsEv");
    original(this);
    MarkPath(*this);
}

path& path::operator/=(const path& other) {
    static const auto original =
        Original<path& (*)(path*, const path*)>("_ZNSt10filesystem7__cxx114pathdVERKS1_");
    original(this, &other);
    MarkPath(*this);
    return *this;
}

path::_List::_List() {
    static const auto original = Original<void (*)(_List*)>("_ZNSt10filesystem7__cxx114path5_ListC1Ev");
    original(this);
    __msan_unpoison(this, sizeof(*this));
}

// The copy lives inside a path; the path's text is copied by our own string code.
path::_List::_List(const _List& other) {
    static const auto original =
        Original<void (*)(_List*, const _List*)>("_ZNSt10filesystem7__cxx114path5_ListC1ERKS2_");
    original(this, &other);
    __msan_unpoison(this, sizeof(*this));
    MarkPath(*reinterpret_cast<const path*>(reinterpret_cast<const char*>(this) - sizeof(std::string)));
}

directory_iterator::directory_iterator(const path& dir, directory_options options, error_code* pEc) {
    static const auto original = Original<void (*)(directory_iterator*, const path*, directory_options,
                                                   error_code*)>(
        "_ZNSt10filesystem7__cxx1118directory_iteratorC2ERKNS0_4pathENS_17directory_optionsEPSt10error_code");
    original(this, &dir, options, pEc);
    if (pEc != nullptr) {
        MarkError(*pEc);
    }
    MarkIterator(*this);
}

directory_iterator& directory_iterator::operator++() {
    static const auto original = Original<directory_iterator& (*)(directory_iterator*)>(
        "_ZNSt10filesystem7__cxx1118directory_iteratorppEv");
    original(this);
    MarkIterator(*this);
    return *this;
}

}  // namespace __cxx11

path temp_directory_path() {
    static const auto original = Original<void (*)(path*)>("_ZNSt10filesystem19temp_directory_pathB5cxx11Ev");
    alignas(path) unsigned char storage[sizeof(path)];
    auto* pResult = reinterpret_cast<path*>(storage);
    original(pResult);  // Returned in place.
    MarkPath(*pResult);
    path result = std::move(*pResult);
    pResult->~path();
    return result;
}

path read_symlink(const path& link, error_code& ec) {
    static const auto original = Original<void (*)(path*, const path*, error_code*)>(
        "_ZNSt10filesystem12read_symlinkERKNS_7__cxx114pathERSt10error_code");
    alignas(path) unsigned char storage[sizeof(path)];
    auto* pResult = reinterpret_cast<path*>(storage);
    original(pResult, &link, &ec);
    MarkError(ec);
    MarkPath(*pResult);
    path result = std::move(*pResult);
    pResult->~path();
    return result;
}

bool create_directories(const path& dir, error_code& ec) {
    static const auto original = Original<bool (*)(const path*, error_code*)>(
        "_ZNSt10filesystem18create_directoriesERKNS_7__cxx114pathERSt10error_code");
    const bool bCreated = original(&dir, &ec);
    MarkError(ec);
    return bCreated;
}

uintmax_t remove_all(const path& target, error_code& ec) {
    static const auto original = Original<uintmax_t (*)(const path*, error_code*)>(
        "_ZNSt10filesystem10remove_allERKNS_7__cxx114pathERSt10error_code");
    const uintmax_t n = original(&target, &ec);
    MarkError(ec);
    return n;
}

}  // namespace filesystem

__basic_file<char>::__basic_file(__c_lock* pLock) throw() {
    static const auto original =
        Original<void (*)(__basic_file<char>*, __c_lock*)>("_ZNSt12__basic_fileIcEC2EP15pthread_mutex_t");
    original(this, pLock);
    __msan_unpoison(this, sizeof(*this));
}

__basic_file<char>* __basic_file<char>::open(const char* szName, ios_base::openmode mode, int nProt) {
    static const auto original =
        Original<__basic_file<char>* (*)(__basic_file<char>*, const char*, ios_base::openmode, int)>(
            "_ZNSt12__basic_fileIcE4openEPKcSt13_Ios_Openmodei");
    __basic_file<char>* pResult = original(this, szName, mode, nProt);
    __msan_unpoison(this, sizeof(*this));
    return pResult;
}

__basic_file<char>* __basic_file<char>::close() {
    static const auto original =
        Original<__basic_file<char>* (*)(__basic_file<char>*)>("_ZNSt12__basic_fileIcE5closeEv");
    __basic_file<char>* pResult = original(this);
    __msan_unpoison(this, sizeof(*this));
    return pResult;
}

template <>
basic_istream<char>& getline(basic_istream<char>& in, string& s, char delimiter) {
    static const auto original = Original<basic_istream<char>& (*)(basic_istream<char>&, string&, char)>(
        "_ZSt7getlineIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_"
        "T1_EES4_");
    original(in, s, delimiter);
    MarkString(s);
    __msan_unpoison(&in, sizeof(in));
    return in;
}

template <>
basic_istream<char>& operator>>(basic_istream<char>& in, string& s) {
    static const auto original = Original<basic_istream<char>& (*)(basic_istream<char>&, string&)>(
        "_ZStrsIcSt11char_traitsIcESaIcEERSt13basic_istreamIT_T0_ES7_RNSt7__cxx1112basic_stringIS4_S5_T1_EE");
    original(in, s);
    MarkString(s);
    __msan_unpoison(&in, sizeof(in));
    return in;
}

}  // namespace std
