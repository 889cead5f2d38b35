// Whether the build embeds the development root, told from the certificate file itself, so that the
// Windows build, which has no OpenSSL, can ask too.
#include <span>
#include <string>

#include "signature/trusted_root.h"
#include "support/files.h"
#include "support/test_pki.h"

namespace krelltest {

bool BuildTrustsDevRoot() {
    const std::span<const BYTE> embedded = signature::CompiledInRootCertificate();
    const std::string sDev = ReadText(std::string(KRELL_DEV_CERT_DIR) + "/dev-root.der");
    return !sDev.empty() && std::string(embedded.begin(), embedded.end()) == sDev;
}

}  // namespace krelltest
