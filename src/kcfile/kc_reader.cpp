#include "kcfile/kc_reader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace kcfile {

namespace {

std::string Printf(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

std::string Printf(const char* szFormat, ...) {
    char buffer[512];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buffer, sizeof(buffer), szFormat, args);
    va_end(args);
    return buffer;
}

crypto::Sha1Digest DigestAt(const BYTE* p) {
    crypto::Sha1Digest digest;
    std::copy(p, p + KC_DIGEST_SIZE, digest.begin());
    return digest;
}

// SHA-1 over bytes with the 20-byte digest field at nDigestOffset taken as zero.
bool DigestWithZeroField(std::span<const BYTE> bytes, std::size_t nDigestOffset, crypto::Sha1Digest& digest) {
    static constexpr BYTE ZEROS[KC_DIGEST_SIZE] = {};
    crypto::CSha1 sha;
    return sha.Update(bytes.first(nDigestOffset)) && sha.Update(ZEROS) &&
           sha.Update(bytes.subspan(nDigestOffset + KC_DIGEST_SIZE)) && sha.Final(digest);
}

class CProblems {
public:
    explicit CProblems(std::vector<KCProblem>& problems) : m_problems(problems) {}

    void File(EKCProblem eKind, std::string sText) {
        m_problems.push_back({eKind, false, 0, 0, std::move(sText)});
    }
    void Header(EKCProblem eKind, const std::string& sText) { File(eKind, "header: " + sText); }
    void Section(EKCProblem eKind, std::size_t nEntry, DWORD dwId, const std::string& sText) {
        m_problems.push_back(
            {eKind, true, nEntry, dwId, Printf("section 0x%X (entry %zu): ", dwId, nEntry) + sText});
    }

private:
    std::vector<KCProblem>& m_problems;
};

void ReadRecord(std::span<const BYTE> file, KCSection& section, const crypto::CBlowfish& cipher,
                bool bDecipher, CProblems& problems) {
    const std::span<const BYTE> record = file.subspan(section.dwOffset, section.dwRecordLength);
    const BYTE* p = record.data();
    section.bRecordRead = true;
    section.dwRecordId = ReadLE32(p + KC_RECORD_ID);
    section.dwDataLength = ReadLE32(p + KC_RECORD_DATA_LENGTH);
    section.storedDigest = DigestAt(p + KC_RECORD_DIGEST);

    if (section.dwRecordId != section.dwId) {
        problems.Section(
            EKCProblem::eRecordId, section.nEntry, section.dwId,
            Printf("record id is 0x%X, expected 0x%X as in the table", section.dwRecordId, section.dwId));
    }

    const std::uint64_t cbPadded = record.size() - KC_RECORD_HEADER_SIZE;
    const bool bLengthFits = PaddedLength(section.dwDataLength) == cbPadded;
    if (!bLengthFits) {
        problems.Section(
            EKCProblem::eDataLength, section.nEntry, section.dwId,
            Printf("record data length %u needs a padded length of %llu, the record holds %llu",
                   section.dwDataLength, static_cast<unsigned long long>(PaddedLength(section.dwDataLength)),
                   static_cast<unsigned long long>(cbPadded)));
    }

    if (!DigestWithZeroField(record, KC_RECORD_DIGEST, section.computedDigest)) {
        problems.Section(EKCProblem::eDigestFailed, section.nEntry, section.dwId,
                         "SHA-1 of the record failed");
        return;
    }
    const bool bRecordDigestOk = section.computedDigest == section.storedDigest;
    if (!bRecordDigestOk) {
        problems.Section(EKCProblem::eRecordDigest, section.nEntry, section.dwId,
                         "record digest is " + DigestToHex(section.storedDigest) + ", expected " +
                             DigestToHex(section.computedDigest));
    }
    const bool bTableCopyOk = section.tableDigest == section.storedDigest;
    if (!bTableCopyOk) {
        problems.Section(EKCProblem::eTableDigest, section.nEntry, section.dwId,
                         "table digest is " + DigestToHex(section.tableDigest) + ", expected " +
                             DigestToHex(section.storedDigest) + " as in the record");
    }
    section.bDigestValid = bRecordDigestOk && bTableCopyOk;

    // A data length beyond the padded length would read past the record; shorter lengths are
    // deciphered so that a dump can still show them.
    if (bDecipher && section.dwDataLength <= cbPadded) {
        section.data.assign(p + KC_RECORD_DATA, p + record.size());
        cipher.DecipherEcb(section.data.data(), section.data.size());
        section.data.resize(section.dwDataLength);
        section.bDataValid = true;
    }
}

}  // namespace

const char* ProblemName(EKCProblem eKind) {
    switch (eKind) {
        case EKCProblem::eFileTooShort:
            return "file-too-short";
        case EKCProblem::eBadMagic:
            return "bad-magic";
        case EKCProblem::eBadVersion:
            return "bad-version";
        case EKCProblem::eNoSections:
            return "no-sections";
        case EKCProblem::eTableTruncated:
            return "table-truncated";
        case EKCProblem::eHeaderDigest:
            return "header-digest";
        case EKCProblem::eSectionOrder:
            return "section-order";
        case EKCProblem::eRecordOffset:
            return "record-offset";
        case EKCProblem::eRecordLength:
            return "record-length";
        case EKCProblem::eRecordPastEnd:
            return "record-past-end";
        case EKCProblem::eRecordId:
            return "record-id";
        case EKCProblem::eDataLength:
            return "data-length";
        case EKCProblem::eRecordDigest:
            return "record-digest";
        case EKCProblem::eTableDigest:
            return "table-digest";
        case EKCProblem::eTrailingBytes:
            return "trailing-bytes";
        case EKCProblem::eDigestFailed:
            return "digest-failed";
    }
    return "unknown";
}

const KCSection* KCFileInfo::FindSection(DWORD dwId) const {
    for (const KCSection& section : sections) {
        if (section.dwId == dwId) {
            return &section;
        }
    }
    return nullptr;
}

const crypto::CBlowfish& SectionCipher() {
    static const crypto::CBlowfish cipher(crypto::BLOWFISH_ZERO_P_LE, KC_SECTION_KEY);
    return cipher;
}

std::string DigestToHex(const crypto::Sha1Digest& digest) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string s;
    for (BYTE b : digest) {
        s += HEX[b >> 4];
        s += HEX[b & 0xF];
    }
    return s;
}

KCFileInfo ReadKCFile(std::span<const BYTE> file, bool bDecipher) {
    return ReadKCFile(file, SectionCipher(), bDecipher);
}

KCFileInfo ReadKCFile(std::span<const BYTE> file, const crypto::CBlowfish& cipher, bool bDecipher) {
    KCFileInfo info;
    info.cbFile = file.size();
    CProblems problems(info.problems);

    if (file.size() < KC_HEADER_SIZE) {
        problems.File(EKCProblem::eFileTooShort,
                      Printf("file: size is %zu bytes, expected at least the %zu-byte header", file.size(),
                             KC_HEADER_SIZE));
        return info;
    }
    const BYTE* p = file.data();
    info.bHeaderRead = true;
    std::copy(p + KC_HEADER_MAGIC, p + KC_HEADER_MAGIC + 4, info.magic);
    info.dwVersion = ReadLE32(p + KC_HEADER_VERSION);
    info.storedHeaderDigest = DigestAt(p + KC_HEADER_DIGEST);
    info.dwSectionCount = ReadLE32(p + KC_HEADER_COUNT);

    if (!std::equal(info.magic, info.magic + 4, KC_MAGIC)) {
        problems.Header(EKCProblem::eBadMagic,
                        Printf("magic is %02X %02X %02X %02X, expected \"ZELB\"", info.magic[0],
                               info.magic[1], info.magic[2], info.magic[3]));
    }
    if (info.dwVersion != KC_FORMAT_VERSION) {
        problems.Header(EKCProblem::eBadVersion,
                        Printf("version is %u, expected %u", info.dwVersion, KC_FORMAT_VERSION));
    }
    if (info.dwSectionCount == 0) {
        problems.Header(EKCProblem::eNoSections, "section count is 0, expected at least 1");
    }
    const std::uint64_t cbTableEnd = TableEnd(info.dwSectionCount);
    if (cbTableEnd > file.size()) {
        problems.Header(
            EKCProblem::eTableTruncated,
            Printf("section count %u needs %llu bytes of header and table, the file has %zu",
                   info.dwSectionCount, static_cast<unsigned long long>(cbTableEnd), file.size()));
        return info;
    }

    if (!DigestWithZeroField(file.first(cbTableEnd), KC_HEADER_DIGEST, info.computedHeaderDigest)) {
        problems.Header(EKCProblem::eDigestFailed, "SHA-1 of header and table failed");
    } else if (info.computedHeaderDigest != info.storedHeaderDigest) {
        problems.Header(EKCProblem::eHeaderDigest, "digest is " + DigestToHex(info.storedHeaderDigest) +
                                                       ", expected " +
                                                       DigestToHex(info.computedHeaderDigest));
    } else {
        info.bHeaderDigestValid = true;
    }

    // The table fits in the file, so the count is bounded by the file's size.
    info.sections.reserve(info.dwSectionCount);
    std::uint64_t cbExpectedOffset = cbTableEnd;
    for (std::size_t i = 0; i < info.dwSectionCount; ++i) {
        const BYTE* pEntry = p + KC_HEADER_SIZE + i * KC_ENTRY_SIZE;
        KCSection section;
        section.nEntry = i;
        section.dwId = ReadLE32(pEntry + KC_ENTRY_ID);
        section.dwOffset = ReadLE32(pEntry + KC_ENTRY_OFFSET);
        section.dwRecordLength = ReadLE32(pEntry + KC_ENTRY_LENGTH);
        section.tableDigest = DigestAt(pEntry + KC_ENTRY_DIGEST);

        if (i > 0 && section.dwId <= info.sections.back().dwId) {
            problems.Section(EKCProblem::eSectionOrder, i, section.dwId,
                             Printf("id 0x%X follows 0x%X, expected ascending ids without repeats",
                                    section.dwId, info.sections.back().dwId));
        }
        if (section.dwOffset != cbExpectedOffset) {
            problems.Section(EKCProblem::eRecordOffset, i, section.dwId,
                             Printf("table offset is %u, expected %llu", section.dwOffset,
                                    static_cast<unsigned long long>(cbExpectedOffset)));
        }
        const bool bLengthOk = section.dwRecordLength >= KC_RECORD_HEADER_SIZE &&
                               (section.dwRecordLength - KC_RECORD_HEADER_SIZE) % KC_CIPHER_BLOCK == 0;
        if (!bLengthOk) {
            problems.Section(
                EKCProblem::eRecordLength, i, section.dwId,
                Printf("table record length is %u, expected 28 + a multiple of 8", section.dwRecordLength));
        }
        const std::uint64_t cbRecordEnd = std::uint64_t{section.dwOffset} + section.dwRecordLength;
        const bool bInside = section.dwOffset >= cbTableEnd && cbRecordEnd <= file.size();
        if (!bInside) {
            problems.Section(
                EKCProblem::eRecordPastEnd, i, section.dwId,
                Printf("record at offset %u, length %u, expected within bytes %llu to %zu of the file",
                       section.dwOffset, section.dwRecordLength, static_cast<unsigned long long>(cbTableEnd),
                       file.size()));
        } else if (bLengthOk) {
            ReadRecord(file, section, cipher, bDecipher, problems);
        }
        cbExpectedOffset += section.dwRecordLength;
        info.sections.push_back(std::move(section));
    }

    if (cbExpectedOffset < file.size()) {
        problems.File(EKCProblem::eTrailingBytes,
                      Printf("file: size is %zu bytes, expected %llu (the records end there)", file.size(),
                             static_cast<unsigned long long>(cbExpectedOffset)));
    }
    return info;
}

}  // namespace kcfile
