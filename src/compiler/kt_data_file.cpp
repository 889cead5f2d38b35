#include "compiler/kt_data_file.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "diagnostics/user_debug_output.h"
#include "kcfile/kc_format.h"
#include "kcfile/kc_writer.h"
#include "platform/memory.h"

using namespace kcfile;

namespace {

// Records are sealed once and written once, so they need no heap: they are packed into regions from
// VirtualAlloc, which come in whole huge pages where the system has them. The first region is small for
// the common small file; each further one doubles, up to a limit.
constexpr std::size_t FIRST_REGION = std::size_t{2} << 20;
constexpr std::size_t LARGEST_REGION = std::size_t{32} << 20;
constexpr std::size_t RECORD_ALIGNMENT = 64;

}  // namespace

CKTDataFile::CKTDataFile()
    : m_Blowfish(crypto::BLOWFISH_ZERO_P_LE, KC_SECTION_KEY), m_cbNextRegion(FIRST_REGION) {}

CKTDataFile::~CKTDataFile() {
    if (IsOpen()) {
        Close();
    }
    // The helper may still be digesting records in the regions.
    m_Sealer.Finish();
    for (void* pRegion : m_Regions) {
        platform::VirtualFree(pRegion, 0, platform::MEM_RELEASE);
    }
}

BYTE* CKTDataFile::AllocateRecord(std::size_t cbRecord) {
    const std::size_t cbAligned = (cbRecord + RECORD_ALIGNMENT - 1) / RECORD_ALIGNMENT * RECORD_ALIGNMENT;
    if (cbAligned > m_cbFree) {
        const std::size_t cbRegion =
            std::max(m_cbNextRegion, (cbAligned + FIRST_REGION - 1) / FIRST_REGION * FIRST_REGION);
        try {
            m_Regions.reserve(m_Regions.size() + 1);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        void* pRegion = platform::VirtualAlloc(
            nullptr, cbRegion, platform::MEM_COMMIT | platform::MEM_RESERVE, platform::PAGE_READWRITE);
        if (pRegion == nullptr) {
            return nullptr;
        }
        m_Regions.push_back(pRegion);
        m_pFree = static_cast<BYTE*>(pRegion);
        m_cbFree = cbRegion;
        m_cbNextRegion = std::min(LARGEST_REGION, m_cbNextRegion * 2);
    }
    BYTE* pRecord = m_pFree;
    m_pFree += cbAligned;
    m_cbFree -= cbAligned;
    return pRecord;
}

HRESULT CKTDataFile::Open(const WCHAR* szPath, DWORD dwCreation) {
    if (!CFile::Create(szPath, GENERIC_WRITE, 0, dwCreation, platform::FILE_ATTRIBUTE_NORMAL)) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTDataFile::Open(): Error opening \"%s\": GetLastError() returned 0x%08X.\n", szPath,
                  GetLastError());
        return KTDATAFILE_E_FAIL;
    }
    return KTDATAFILE_S_OK;
}

HRESULT CKTDataFile::AddSection(DWORD dwSectionId, const BYTE* pData, DWORD dwLength) {
    const std::uint64_t cbPadded = PaddedLength(dwLength);
    const std::uint64_t cbRecord = KC_RECORD_HEADER_SIZE + cbPadded;
    if (cbRecord > 0xFFFFFFFFu) {
        return KTDATAFILE_E_OUTOFMEMORY;
    }
    BYTE* pRecord = AllocateRecord(cbRecord);
    if (pRecord == nullptr) {
        return KTDATAFILE_E_OUTOFMEMORY;
    }
    m_Sealer.Seal(pRecord, dwSectionId, {pData, dwLength}, m_Blowfish);
    try {
        m_Records.push_back({dwSectionId, static_cast<DWORD>(cbRecord), pRecord});
    } catch (const std::exception& e) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTDataFile::AddSection(): Exception thrown: %S.\n", e.what());
        return KTDATAFILE_E_FAIL;
    }
    return KTDATAFILE_S_OK;
}

HRESULT CKTDataFile::WriteFile() {
    if (m_Records.empty()) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTDataFile::WriteFile(): No data sections added!\n");
        return KTDATAFILE_E_FAIL;
    }
    const std::size_t cbHeader = TableEnd(m_Records.size());
    std::unique_ptr<BYTE[]> pHeader(new (std::nothrow) BYTE[cbHeader]);
    if (!pHeader) {
        return KTDATAFILE_E_OUTOFMEMORY;
    }
    std::memset(pHeader.get(), 0, cbHeader);
    std::memcpy(pHeader.get() + KC_HEADER_MAGIC, KC_MAGIC, sizeof(KC_MAGIC));
    WriteLE32(pHeader.get() + KC_HEADER_VERSION, KC_FORMAT_VERSION);
    WriteLE32(pHeader.get() + KC_HEADER_COUNT, static_cast<DWORD>(m_Records.size()));

    // The records' digests go into the table.
    if (!m_Sealer.Finish()) {
        return KTDATAFILE_E_FAIL;
    }
    std::stable_sort(m_Records.begin(), m_Records.end(), [](const SectionRecord& a, const SectionRecord& b) {
        return a.dwSectionId < b.dwSectionId;
    });

    HRESULT hr = KTDATAFILE_S_OK;
    std::uint64_t nOffset = cbHeader;
    for (std::size_t i = 0; i < m_Records.size(); ++i) {
        const SectionRecord& record = m_Records[i];
        BYTE* pEntry = pHeader.get() + KC_HEADER_SIZE + i * KC_ENTRY_SIZE;
        WriteLE32(pEntry + KC_ENTRY_ID, record.dwSectionId);
        WriteLE32(pEntry + KC_ENTRY_OFFSET, static_cast<DWORD>(nOffset));
        WriteLE32(pEntry + KC_ENTRY_LENGTH, record.cbRecord);
        std::memcpy(pEntry + KC_ENTRY_DIGEST, record.pBytes + KC_RECORD_DIGEST, KC_DIGEST_SIZE);
        if (!Seek(nOffset) || !Write(record.pBytes, record.cbRecord)) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTDataFile::WriteFile(): section (%d) write operation failed (0x%08X).\n",
                      record.dwSectionId, GetLastError());
            hr = KTDATAFILE_E_FAIL;
            break;
        }
        nOffset += record.cbRecord;
    }

    if (hr == KTDATAFILE_S_OK) {
        if (!SealHeader(pHeader.get(), cbHeader)) {
            hr = KTDATAFILE_E_FAIL;
        } else if (!Seek(0) || !Write(pHeader.get(), static_cast<DWORD>(cbHeader))) {
            DebugOut1(DBG_CAT_COMPILER,
                      u"CKTDataFile::WriteFile(): data header write operation failed (0x%08X).\n",
                      GetLastError());
            hr = KTDATAFILE_E_FAIL;
        } else if (!Flush()) {
            // The driver may read the file as soon as Close returns; it must be on disk by then.
            DebugOut1(DBG_CAT_COMPILER, u"CKTDataFile::WriteFile(): flush to disk failed (0x%08X).\n",
                      GetLastError());
            hr = KTDATAFILE_E_FAIL;
        }
    }
    return hr;
}

HRESULT CKTDataFile::Close() {
    if (!IsOpen()) {
        return KTDATAFILE_E_NOTOPEN;
    }
    const HRESULT hr = WriteFile();
    if (hr < 0) {
        DebugOut1(DBG_CAT_COMPILER, u"CKTDataFile::Close(): WriteFile() failed (0x%08X).\n", hr);
        CFile::Close();
        return hr;
    }
    if (!CFile::Close()) {
        DebugOut1(DBG_CAT_COMPILER,
                  u"CKTDataFile::Close(): CFile::Close() failed. GetLastError() returned 0x%08X.\n",
                  GetLastError());
        return KTDATAFILE_E_FAIL;
    }
    return KTDATAFILE_S_OK;
}
