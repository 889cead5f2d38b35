// What the driver-input fuzz target and its corpus replay feed: the stand-in driver reads: a KC file it is
// told to load (as raw bytes, and, so that the fuzzer reaches the section decoders past the digests, as
// sections the target packs into a valid file) and the access lines it judges. It checks what the readers
// promise: an accepted file lists the sections it holds, an access read writes back as the same access.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "driver_access.h"
#include "driver_config.h"
#include "kcfile/kc_writer.h"

namespace krellfuzz {

inline constexpr DWORD SECTION_IDS[] = {0x102, 0x201, 0x202, 0x203, 0x401};

inline bool DecodeFile(std::span<const BYTE> file) {
    krelldrv::CDriverConfiguration config;
    std::string sError;
    if (krelldrv::DecodeConfiguration(file, u"C:\\fuzz.kc", config, sError) != krelldrv::CONFIG_ACCEPTED) {
        return false;
    }
    if (config.sections.empty() || !config.IsLoaded()) {
        std::abort();
    }
    return true;
}

// Sections as [id selector, length (2 bytes), data], packed into a file with valid digests.
inline bool DecodePackedSections(std::span<const BYTE> input) {
    std::vector<kcfile::KCSectionInput> sections;
    std::size_t nPos = 0;
    while (nPos + 3 <= input.size() && sections.size() < 8) {
        const BYTE bSelector = input[nPos];
        const DWORD dwId =
            bSelector < 5 * 40 ? SECTION_IDS[bSelector % 5] : 0x100 + static_cast<DWORD>(bSelector);
        const std::size_t cbData =
            std::min<std::size_t>(input[nPos + 1] | (input[nPos + 2] << 8), input.size() - nPos - 3);
        sections.push_back({dwId, input.subspan(nPos + 3, cbData)});
        nPos += 3 + cbData;
    }
    std::sort(
        sections.begin(), sections.end(),
        [](const kcfile::KCSectionInput& a, const kcfile::KCSectionInput& b) { return a.dwId < b.dwId; });
    for (std::size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].dwId == sections[i - 1].dwId) {
            return false;  // a file never holds one id twice
        }
    }
    return DecodeFile(kcfile::BuildKCImage(sections));
}

inline bool ReadAccess(std::string_view sLine) {
    krelldrv::CAccess access;
    std::string sError;
    if (!krelldrv::ParseAccess(sLine, access, sError)) {
        return false;
    }
    krelldrv::CAccess again;
    const std::string sJson = krelldrv::AccessJson(access);
    if (!krelldrv::ParseAccess(sJson, again, sError) || krelldrv::AccessJson(again) != sJson) {
        std::abort();
    }
    return true;
}

// One input; whether the driver accepted the file or the access line.
inline bool FeedDriverInput(const std::uint8_t* pData, std::size_t cbData) {
    if (cbData == 0) {
        return false;
    }
    const std::span<const BYTE> rest(pData + 1, cbData - 1);
    switch (pData[0] % 3) {
        case 0:
            return DecodeFile(rest);
        case 1:
            return DecodePackedSections(rest);
        default:
            return ReadAccess(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    }
}

}  // namespace krellfuzz
