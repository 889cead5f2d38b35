// MemorySanitizer builds only. They compile the C++ library's templates into the program
// (cmake/msan.cmake), so streams and strings are instrumented there; what stays in the uninstrumented
// shared library is the locale and ios_base machinery, which stores into our objects without the
// sanitizer seeing it. These definitions take the place of those few functions: each calls the
// library's own and marks what it just wrote. None of it holds bytes a test or an input put there.
// The number facets, which format into buffers of their own, are replaced by instrumented instances
// before anything else runs, so formatted numbers carry their real state.
#include <dlfcn.h>
#include <sanitizer/msan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <ios>
#include <locale>

#include "msan_original.h"

namespace {

// The library's lazy tables are filled by code that compares its own stack, whose shadow the
// sanitizer never set: libc's checks would report the library, not us.
template <typename Function, typename... Args>
void CallUnchecked(Function pfn, Args... args) {
    __msan_scoped_disable_interceptor_checks();
    pfn(args...);
    __msan_scoped_enable_interceptor_checks();
}

}  // namespace

namespace std {

locale::locale() noexcept {
    static const auto original = Original<void (*)(locale*)>("_ZNSt6localeC2Ev");
    original(this);
    __msan_unpoison(this, sizeof(locale));
}

locale::locale(const locale& other) noexcept {
    static const auto original = Original<void (*)(locale*, const locale*)>("_ZNSt6localeC2ERKS_");
    original(this, &other);
    __msan_unpoison(this, sizeof(locale));
}

const locale& locale::operator=(const locale& other) noexcept {
    static const auto original = Original<const locale& (*)(locale*, const locale*)>("_ZNSt6localeaSERKS_");
    original(this, &other);
    __msan_unpoison(this, sizeof(locale));
    return *this;
}

// Members of the library's own: the locale's facet and cache tables.
void locale::_Impl::_M_install_facet(const locale::id* pId, const facet* pFacet) {
    static const auto original = Original<void (*)(_Impl*, const locale::id*, const facet*)>(
        "_ZNSt6locale5_Impl16_M_install_facetEPKNS_2idEPKNS_5facetE");
    original(this, pId, pFacet);
    __msan_unpoison(this, sizeof(*this));
    __msan_unpoison(_M_facets, _M_facets_size * sizeof(*_M_facets));
    __msan_unpoison(_M_caches, _M_facets_size * sizeof(*_M_caches));
    __msan_unpoison(_M_names, _S_categories_size * sizeof(*_M_names));
}

void locale::_Impl::_M_install_cache(const facet* pCache, size_t index) {
    static const auto original = Original<void (*)(_Impl*, const facet*, size_t)>(
        "_ZNSt6locale5_Impl16_M_install_cacheEPKNS_5facetEm");
    original(this, pCache, index);
    __msan_unpoison(_M_caches, _M_facets_size * sizeof(*_M_caches));
}

locale::_Impl::_Impl(const _Impl& other, size_t refs) {
    static const auto original =
        Original<void (*)(_Impl*, const _Impl*, size_t)>("_ZNSt6locale5_ImplC2ERKS0_m");
    original(this, &other, refs);
    __msan_unpoison(this, sizeof(*this));
    __msan_unpoison(_M_facets, _M_facets_size * sizeof(*_M_facets));
    __msan_unpoison(_M_caches, _M_facets_size * sizeof(*_M_caches));
    __msan_unpoison(_M_names, _S_categories_size * sizeof(*_M_names));
}

ios_base::ios_base() throw() {
    static const auto original = Original<void (*)(ios_base*)>("_ZNSt8ios_baseC2Ev");
    original(this);
    __msan_unpoison(this, sizeof(ios_base));
}

void ios_base::_M_init() throw() {
    static const auto original = Original<void (*)(ios_base*)>("_ZNSt8ios_base7_M_initEv");
    original(this);
    __msan_unpoison(this, sizeof(ios_base));
}

void ctype<char>::_M_widen_init() const {
    static const auto original = Original<void (*)(const ctype<char>*)>("_ZNKSt5ctypeIcE13_M_widen_initEv");
    CallUnchecked(original, this);
    __msan_unpoison(_M_widen, sizeof(_M_widen));
    __msan_unpoison(&_M_widen_ok, sizeof(_M_widen_ok));
}

void ctype<char>::_M_narrow_init() const {
    static const auto original = Original<void (*)(const ctype<char>*)>("_ZNKSt5ctypeIcE14_M_narrow_initEv");
    CallUnchecked(original, this);
    __msan_unpoison(_M_narrow, sizeof(_M_narrow));
    __msan_unpoison(&_M_narrow_ok, sizeof(_M_narrow_ok));
}

// The punctuation table points at the library's constant strings.
template <>
void __cxx11::numpunct<char>::_M_initialize_numpunct(__c_locale c) {
    static const auto original = Original<void (*)(numpunct<char>*, __c_locale)>(
        "_ZNSt7__cxx118numpunctIcE22_M_initialize_numpunctEP15__locale_struct");
    original(this, c);
    __msan_unpoison(&_M_data, sizeof(_M_data));
    __msan_unpoison(_M_data, sizeof(*_M_data));
}

}  // namespace std

namespace {

// Before any other static constructor (gtest's build streams).
struct CInstrumentedNumbers {
    CInstrumentedNumbers() {
        std::locale numbers(std::locale::classic(), new std::numpunct<char>);
        numbers = std::locale(numbers, new std::num_put<char>);
        numbers = std::locale(numbers, new std::num_get<char>);
        std::locale::global(numbers);
    }
};
__attribute__((init_priority(101))) CInstrumentedNumbers g_instrumentedNumbers;

}  // namespace
