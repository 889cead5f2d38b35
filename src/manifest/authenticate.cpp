#include "manifest/authenticate.h"

#include "crypto/sha1.h"
#include "diagnostics/user_debug_output.h"
#include "platform/file.h"
#include "platform/strings.h"
#include "platform/sync.h"
#include "signature/signature_errors.h"

namespace {

// The ANSI code page of this machine is UTF-8; text that does not survive the trip has no ANSI form.
bool WideToAnsi(const char16_t* szWide, std::string* psAnsi) {
    const std::u16string_view sWide(szWide);
    *psAnsi = platform::ToUtf8(sWide);
    return platform::FromUtf8(*psAnsi) == sWide;
}

bool AnsiToWide(const std::string& sAnsi, std::u16string* psWide) {
    *psWide = platform::FromUtf8(sAnsi);
    return platform::ToUtf8(*psWide) == sAnsi;
}

bool FileExists(const std::string& sPath) {
    std::u16string sWide;
    if (!AnsiToWide(sPath, &sWide)) {
        return false;
    }
    const DWORD dwAttributes = platform::GetFileAttributes(sWide.c_str());
    return dwAttributes != platform::INVALID_FILE_ATTRIBUTES &&
           (dwAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The whole file; a file that cannot be read ends the attempt with an error of no particular kind.
std::vector<BYTE> ReadWholeFile(const std::u16string& sPath) {
    HANDLE hFile = platform::CreateFile(sPath.c_str(), GENERIC_READ, platform::FILE_SHARE_READ,
                                        platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL);
    if (hFile == INVALID_HANDLE_VALUE) {
        throw signature::error("cannot open " + platform::ToUtf8(sPath));
    }
    std::vector<BYTE> data;
    LONGLONG llSize = 0;
    bool bRead = platform::GetFileSizeEx(hFile, &llSize) && llSize >= 0 && llSize <= 0x7FFFFFFF;
    if (bRead) {
        data.resize(static_cast<std::size_t>(llSize));
        DWORD dwRead = 0;
        bRead = data.empty() ||
                (platform::ReadFile(hFile, data.data(), static_cast<DWORD>(data.size()), &dwRead) &&
                 dwRead == data.size());
    }
    platform::CloseHandle(hFile);
    if (!bRead) {
        throw signature::error("cannot read " + platform::ToUtf8(sPath));
    }
    return data;
}

std::vector<BYTE> ReadWholeFile(const std::string& sPath) {
    std::u16string sWide;
    if (!AnsiToWide(sPath, &sWide)) {
        throw signature::error("path without a wide form");
    }
    return ReadWholeFile(sWide);
}

bool EndsWithNoCase(const std::string& s, std::string_view sEnd) {
    if (s.size() < sEnd.size()) {
        return false;
    }
    for (std::size_t i = 0; i < sEnd.size(); ++i) {
        const char ch = s[s.size() - sEnd.size() + i];
        if ((ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch) != sEnd[i]) {
            return false;
        }
    }
    return true;
}

// The manifest path without its extension: up to the last "." of the file name.
std::string BaseName(const std::string& sPath) {
    const std::size_t nDot = sPath.rfind('.');
    const std::size_t nSeparator = sPath.find_last_of("\\/");
    if (nDot == std::string::npos || (nSeparator != std::string::npos && nDot < nSeparator)) {
        return sPath;
    }
    return sPath.substr(0, nDot);
}

}  // namespace

const char* AuthResultText(DWORD dwResult) {
    switch (dwResult) {
        case AUTH_SIGNATURE_VERIFIED:
            return "a signature of the guard file verified";
        case AUTH_NO_SIGNATURE_VERIFIED:
            return "signature files were found but none verified";
        case AUTH_BAD_DATA:
            return "a signature file held bad data";
        case AUTH_ERROR:
            return "the check was ended by an error";
        case AUTH_NO_SIGNATURE_FILE:
            return "the first signature file does not exist";
        default:
            return "unknown result";
    }
}

CAuthenticate::CAuthenticate() : m_anchors(signature::CompiledInTrustAnchors()) {}

CAuthenticate::CAuthenticate(const signature::TrustAnchors& anchors) : m_anchors(anchors) {}

CAuthenticate::~CAuthenticate() = default;

std::string CAuthenticate::GuardFileName(const std::string& sManifestPath) {
    return BaseName(sManifestPath) + ".grd";
}

std::string CAuthenticate::SignatureFileName(const std::string& sManifestPath, int nSlot) {
    std::string sName = BaseName(sManifestPath);
    if (nSlot >= 1) {
        sName += static_cast<char>('0' + nSlot);
    }
    return sName + ".sig";
}

bool CAuthenticate::IsAuthentic(const char16_t* szManifestPath, bool* pbAuthentic, DWORD* pdwResult) {
    *pbAuthentic = false;
    std::string sPath;
    DWORD dwResult = AUTH_ERROR;
    try {
        if (WideToAnsi(szManifestPath, &sPath)) {
            dwResult = IsAuthenticInternal(sPath.c_str(), pbAuthentic, 1);
        }
    } catch (...) {
        // Only the conversion can throw here (out of memory); IsAuthenticInternal catches its own.
        *pbAuthentic = false;
    }
    if (pdwResult) {
        *pdwResult = dwResult;
    }
    return dwResult < AUTH_FIRST_FAILURE;
}

DWORD CAuthenticate::IsAuthenticInternal(const char* szManifestPath, bool* pbAuthentic, int nMode) {
    *pbAuthentic = false;
    try {
        m_pVerifier = std::make_unique<signature::CGuardVerifier>(m_anchors);
        const std::string sPath(szManifestPath);
        const DWORD dwResult = AddGuardFileIfAuthentic(GuardFileName(sPath), BaseName(sPath));
        if (dwResult == AUTH_SIGNATURE_VERIFIED) {
            *pbAuthentic = IsTrustedCallback(szManifestPath);
        }
        m_pVerifier.reset();
        return dwResult;
    } catch (...) {
        m_pVerifier.reset();
        TraceOut2(
            u".\\src\\Authenticate.cpp(699) - CAuthenticate::IsAuthenticInternal: ManifestManager - "
            u"CAuthenticate::IsAuthenticInternal -  unknown Gfs exception thrown!");
        return AUTH_ERROR;
    }
}

DWORD CAuthenticate::AddGuardFileIfAuthentic(const std::string& sGuardPath,
                                             const std::string& sSignatureBase) {
    for (int i = 0; i < AUTH_MAX_SIGNATURE_FILES; ++i) {
        const std::string sSignaturePath = SignatureFileName(sSignatureBase, i);
        if (!FileExists(sSignaturePath)) {
            return i == 0 ? AUTH_NO_SIGNATURE_FILE : AUTH_NO_SIGNATURE_VERIFIED;
        }
        try {
            const std::vector<BYTE> signatureDer = ReadWholeFile(sSignaturePath);
            const std::vector<BYTE> guardData = ReadWholeFile(sGuardPath);
            m_pVerifier->AddGuardFile(guardData, signatureDer);
            return AUTH_SIGNATURE_VERIFIED;
        } catch (const signature::bad_data_error&) {
            return AUTH_BAD_DATA;
        } catch (const signature::bad_sig_error&) {
        } catch (const signature::bad_cert_error&) {
        } catch (const signature::bad_chain_error&) {
        } catch (...) {
            TraceOut2(
                u".\\src\\Authenticate.cpp(559) - AddGuardFileIfAuthentic: ManifestManager - "
                u"AddGuardFileIfAuthentic -  unknown Gfs exception thrown!");
        }
    }
    return AUTH_NO_SIGNATURE_VERIFIED;
}

bool CAuthenticate::IsTrustedCallback(const char* szPath) {
    const std::string sPath(szPath);
    if (EndsWithNoCase(sPath, ".grd") || EndsWithNoCase(sPath, ".sig")) {
        return true;
    }
    std::u16string sWide;
    if (!AnsiToWide(sPath, &sWide) || sWide.size() >= MAX_PATH) {
        return false;
    }
    try {
        if (!m_pVerifier) {
            throw signature::error("no guard file accepted");
        }
        crypto::Sha1Digest digest;
        if (!crypto::Sha1(ReadWholeFile(sWide), digest)) {
            throw signature::error("SHA-1 failed");
        }
        m_pVerifier->CheckTrusted(digest);
        return true;
    } catch (...) {
        TraceOut2(
            u".\\src\\Authenticate.cpp(614) - CAuthenticate::IsTrustedCallback: ManifestManager - "
            u"CAuthenticate::IsTrustedCallback -  isFileTrusted threw unknown exception!");
        return false;
    }
}
