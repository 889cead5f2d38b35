// The KC file writer. The compiler opens a fresh file, adds one section per section id and commits
// it with Close; the records are enciphered and sealed as they are added and the whole file is
// written at commit, header last. The layout is in kcfile/kc_format.h and docs/kcfile.md.
#pragma once

#include <vector>

#include "compiler/file.h"
#include "crypto/blowfish.h"
#include "kcfile/kc_writer.h"
#include "platform/file.h"
#include "platform/types.h"

constexpr HRESULT KTDATAFILE_S_OK = 0x00010000;
constexpr HRESULT KTDATAFILE_E_OUTOFMEMORY = static_cast<HRESULT>(0x80010201);
constexpr HRESULT KTDATAFILE_E_NOTOPEN = static_cast<HRESULT>(0x80010204);
constexpr HRESULT KTDATAFILE_E_FAIL = static_cast<HRESULT>(0x8001FFFF);

class CKTDataFile : public CFile {
public:
    CKTDataFile();
    // Commits a file that is still open, then frees the records.
    ~CKTDataFile() override;

    // Creates the file for writing, unshared. By default an existing file is never replaced, so a
    // name taken (by the file the driver has loaded, say) fails and the caller tries another.
    HRESULT Open(const WCHAR* szPath, DWORD dwCreation = platform::CREATE_NEW);
    // Copies, enciphers and seals one section; the caller keeps its buffer.
    HRESULT AddSection(DWORD dwSectionId, const BYTE* pData, DWORD dwLength);
    // Writes the whole file, flushes it to stable storage and closes it.
    HRESULT Close();

protected:
    HRESULT WriteFile();

private:
    struct SectionRecord {
        DWORD dwSectionId;
        DWORD cbRecord;
        BYTE* pBytes;  // in one of m_Regions
    };

    // Room for a record: packed into regions of virtual memory that grow as the file does.
    BYTE* AllocateRecord(std::size_t cbRecord);

    crypto::CBlowfish m_Blowfish;
    kcfile::CRecordSealer m_Sealer;
    std::vector<SectionRecord> m_Records;
    std::vector<void*> m_Regions;
    BYTE* m_pFree = nullptr;
    std::size_t m_cbFree = 0;
    std::size_t m_cbNextRegion;
};
