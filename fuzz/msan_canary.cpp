// Proves the msan build still sees what it is there to see, through the very paths whose reports the
// build marks as written: an uninitialised value kept in a tree or a list, formatted by a stream, or
// handed to OpenSSL, must be reported; the same paths with written values must stay quiet (and so must
// file names built by the file system library). scripts/msan runs every case.
//   krell_msan_canary CASE      CASE: quiet | heap | map | list | stream | digest
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/sha1.h"

namespace {

// Heap bytes never written: the compiler cannot see they are undefined, the sanitizer must.
unsigned char* Unwritten(std::size_t cb, bool bWrite) {
    auto* p = static_cast<unsigned char*>(std::malloc(cb));
    if (bWrite) {
        std::memset(p, 0x5A, cb);
    }
    return p;
}

volatile int g_nSeen = 0;

// A branch the compiler cannot turn into arithmetic: where the sanitizer must speak.
int Use(unsigned value) {
    if (value == 0x5A5A5A5Au) {
        g_nSeen = g_nSeen + 1;
        return 0;
    }
    return 1;
}

int ThroughTree(bool bWrite) {
    unsigned* pValue = reinterpret_cast<unsigned*>(Unwritten(sizeof(unsigned), bWrite));
    // Keys in a scattered order, so the inserts rebalance the tree.
    constexpr int KEPT = (20 * 37) % 64;
    std::map<int, unsigned> values;
    std::set<std::string> names;
    for (int i = 0; i < 64; ++i) {
        const int nKey = (i * 37) % 64;
        values.emplace(nKey, nKey == KEPT ? *pValue : 0u);
        names.insert(std::to_string(i));
    }
    values.erase(7);
    names.erase("7");
    unsigned total = 0;
    for (const auto& [key, value] : values) {
        total += key == KEPT ? value : 0u;
    }
    std::free(pValue);
    return Use(total) + static_cast<int>(names.size() - 63);
}

int ThroughList(bool bWrite) {
    unsigned* pValue = reinterpret_cast<unsigned*>(Unwritten(sizeof(unsigned), bWrite));
    std::list<unsigned> order;
    for (unsigned i = 0; i < 16; ++i) {
        order.push_back(i == 5 ? *pValue : i);
    }
    auto it = std::next(order.begin(), 5);
    order.splice(order.end(), order, it);
    order.pop_front();
    std::free(pValue);
    return Use(order.back());
}

// Numbers are formatted by the locale's facets: an unwritten value must come out as unwritten text.
int ThroughStream(bool bWrite) {
    unsigned* pValue = reinterpret_cast<unsigned*>(Unwritten(sizeof(unsigned), bWrite));
    std::ostringstream text;
    text << std::hex << *pValue << ' ' << 17;
    std::free(pValue);
    const std::string s = text.str();
    return Use(s.size() == 11 && s[0] == '5' ? 0x5A5A5A5Au : 0u);
}

// Paths are built in the C++ library; a directory listing of written names stays quiet.
bool FileNamesQuiet() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "krell-msan-canary";
    std::error_code ec;
    std::filesystem::create_directories(dir / "sub", ec);
    size_t nNames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        nNames += entry.path().filename().string() == "sub" ? 1 : 0;
    }
    std::filesystem::remove_all(dir, ec);
    return nNames == 1 && !ec;
}

int ThroughDigest(bool bWrite) {
    unsigned char* pBytes = Unwritten(64, bWrite);
    crypto::Sha1Digest digest{};
    const bool bDone = crypto::Sha1(std::span<const BYTE>(pBytes, 64), digest);
    std::free(pBytes);
    return bDone && digest[0] != 0x5A ? 0 : 1;
}

int ThroughHeap(bool bWrite) {
    unsigned* pValue = reinterpret_cast<unsigned*>(Unwritten(sizeof(unsigned), bWrite));
    const int n = Use(*pValue);
    std::free(pValue);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const char* szCase = argc > 1 ? argv[1] : "";
    if (std::strcmp(szCase, "quiet") == 0) {
        ThroughHeap(true);
        ThroughTree(true);
        ThroughList(true);
        ThroughStream(true);
        ThroughDigest(true);
        if (!FileNamesQuiet()) {
            std::puts("the file system case went wrong");
            return 1;
        }
        std::puts("quiet");
        return 0;
    }
    const struct {
        const char* szName;
        int (*pfnCase)(bool);
    } cases[] = {
        {"heap", ThroughHeap},     {"map", ThroughTree},      {"list", ThroughList},
        {"stream", ThroughStream}, {"digest", ThroughDigest},
    };
    for (const auto& c : cases) {
        if (std::strcmp(szCase, c.szName) == 0) {
            c.pfnCase(false);
            std::puts("not reported");
            return 0;
        }
    }
    std::fprintf(stderr, "usage: %s quiet|heap|map|list|stream|digest\n", argv[0]);
    return 2;
}
