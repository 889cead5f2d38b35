// The manifest loader's question "is this manifest authentic?": a manifest D\B.gwm is authentic when
// one of its signature files D\B.sig, D\B1.sig ... D\B9.sig is a valid signature of its guard file
// D\B.grd and that guard file lists the manifest's SHA-1 digest.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "signature/guard_verifier.h"

// Result codes of IsAuthenticInternal. Below AUTH_FIRST_FAILURE the check ran.
constexpr DWORD AUTH_SIGNATURE_VERIFIED = 0;
constexpr DWORD AUTH_NO_SIGNATURE_VERIFIED = 1;
constexpr DWORD AUTH_BAD_DATA = 0x22;
constexpr DWORD AUTH_ERROR = 0x31;
constexpr DWORD AUTH_NO_SIGNATURE_FILE = 0x33;
constexpr DWORD AUTH_FIRST_FAILURE = 32;

constexpr int AUTH_MAX_SIGNATURE_FILES = 10;

// What a result code means, for operators.
const char* AuthResultText(DWORD dwResult);

class CAuthenticate {
public:
    // Trusts the root compiled into the build.
    CAuthenticate();
    // Trusts other anchors; their bytes must outlive the object.
    explicit CAuthenticate(const signature::TrustAnchors& anchors);
    ~CAuthenticate();

    // True when the check ran (result code below 32); *pbAuthentic says whether the manifest is
    // authentic. pdwResult, when given, receives the result code.
    bool IsAuthentic(const char16_t* szManifestPath, bool* pbAuthentic, DWORD* pdwResult = nullptr);
    // The check on the path in the ANSI code page (UTF-8 on this machine). The loader passes mode 1,
    // the only mode there is.
    DWORD IsAuthenticInternal(const char* szManifestPath, bool* pbAuthentic, int nMode);
    // Tries the signature files of the guard file; the first that verifies has its digests accepted.
    DWORD AddGuardFileIfAuthentic(const std::string& sGuardPath, const std::string& sSignatureBase);
    // Whether the file's digest is listed in a guard file accepted by this check.
    bool IsTrustedCallback(const char* szPath);

    // The guard file's and the signature files' names of a manifest path.
    static std::string GuardFileName(const std::string& sManifestPath);
    static std::string SignatureFileName(const std::string& sManifestPath, int nSlot);

private:
    signature::TrustAnchors m_anchors;
    // The verification context of the running check; made anew by every IsAuthenticInternal.
    std::unique_ptr<signature::CGuardVerifier> m_pVerifier;
};
