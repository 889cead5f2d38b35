// libFuzzer target for the KC reader and the section decoders. Besides crashes and over-reads it
// checks what a valid verdict promises: every section deciphered, ids ascending, and a file of the
// size the writer would produce for those sections.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "kcfile/kc_reader.h"
#include "kcfile/kc_sections.h"
#include "kcfile/kc_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::span<const BYTE> file(pData, cbData);
    const kcfile::KCFileInfo info = kcfile::ReadKCFile(file);

    std::string sError;
    for (const kcfile::KCSection& section : info.sections) {
        if (!section.bDataValid) {
            continue;
        }
        if (section.dwId == kcfile::KC_SECTION_PROTECTION_STATE) {
            kcfile::ProtectionStateData state;
            kcfile::DecodeProtectionState(section.data, state, sError);
        } else if (section.dwId == kcfile::KC_SECTION_LEGACY_INSTALL) {
            std::vector<kcfile::LegacyExecutable> executables;
            kcfile::DecodeLegacyInstall(section.data, executables, sError);
        }
    }
    // The decoders also take raw input, as they would from a file that is valid but odd.
    std::vector<kcfile::LegacyExecutable> executables;
    kcfile::DecodeLegacyInstall(file, executables, sError);

    if (info.IsValid()) {
        std::vector<kcfile::KCSectionInput> inputs;
        for (std::size_t i = 0; i < info.sections.size(); ++i) {
            const kcfile::KCSection& section = info.sections[i];
            if (!section.bDataValid || section.data.size() != section.dwDataLength ||
                (i > 0 && section.dwId <= info.sections[i - 1].dwId)) {
                std::abort();
            }
            inputs.push_back({section.dwId, section.data});
        }
        if (info.sections.size() != info.dwSectionCount || kcfile::BuildKCImage(inputs).size() != cbData) {
            std::abort();
        }
    }
    return 0;
}
