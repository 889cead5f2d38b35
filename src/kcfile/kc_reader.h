// Reads and checks a KC file held in memory. Every field is checked against the file's size before
// it is read, so any byte sequence is safe to hand in; each problem found is reported with the
// section and field it concerns and the value that was expected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "kcfile/kc_format.h"

namespace kcfile {

enum class EKCProblem {
    eFileTooShort,    // shorter than the header
    eBadMagic,        // header magic
    eBadVersion,      // header version
    eNoSections,      // header count is 0
    eTableTruncated,  // the count's table does not fit in the file
    eHeaderDigest,    // header digest does not match header and table
    eSectionOrder,    // table ids not strictly ascending
    eRecordOffset,    // table offset is not where the previous record ends
    eRecordLength,    // table length is not 28 + a multiple of 8
    eRecordPastEnd,   // the record runs past the end of the file
    eRecordId,        // record id differs from the table's
    eDataLength,      // record data length does not fit the padded length
    eRecordDigest,    // record digest does not match the record
    eTableDigest,     // the table's copy differs from the record's digest
    eTrailingBytes,   // bytes after the last record
    eDigestFailed,    // SHA-1 could not be computed
};

const char* ProblemName(EKCProblem eKind);

struct KCProblem {
    EKCProblem eKind;
    bool bHasSection;  // the problem concerns one table entry
    std::size_t nEntry;
    DWORD dwSectionId;
    std::string sText;  // the whole message, section and field included
};

struct KCSection {
    std::size_t nEntry = 0;
    DWORD dwId = 0;  // from the table
    DWORD dwOffset = 0;
    DWORD dwRecordLength = 0;
    crypto::Sha1Digest tableDigest{};

    bool bRecordRead = false;  // the record lies inside the file and its header was read
    DWORD dwRecordId = 0;
    DWORD dwDataLength = 0;
    crypto::Sha1Digest storedDigest{};
    crypto::Sha1Digest computedDigest{};
    bool bDigestValid = false;  // stored, computed and table copy all agree

    bool bDataValid = false;  // data holds the deciphered L bytes
    std::vector<BYTE> data;
};

struct KCFileInfo {
    std::size_t cbFile = 0;
    bool bHeaderRead = false;
    BYTE magic[4] = {};
    DWORD dwVersion = 0;
    DWORD dwSectionCount = 0;
    crypto::Sha1Digest storedHeaderDigest{};
    crypto::Sha1Digest computedHeaderDigest{};
    bool bHeaderDigestValid = false;

    std::vector<KCSection> sections;  // the table entries that lie inside the file
    std::vector<KCProblem> problems;

    bool IsValid() const { return problems.empty(); }
    const KCSection* FindSection(DWORD dwId) const;
};

// The cipher keyed for KC sections.
const crypto::CBlowfish& SectionCipher();

// bDecipher false leaves KCSection::data empty (for a check alone).
KCFileInfo ReadKCFile(std::span<const BYTE> file, bool bDecipher = true);
KCFileInfo ReadKCFile(std::span<const BYTE> file, const crypto::CBlowfish& cipher, bool bDecipher = true);

std::string DigestToHex(const crypto::Sha1Digest& digest);

}  // namespace kcfile
