// The root certificate this build trusts, in DER form, embedded at build time from the file that the
// CMake option KRELL_TRUSTED_ROOT_DER names (by default the development root, certs/dev).
#pragma once

#include <span>

#include "platform/types.h"

namespace signature {

std::span<const BYTE> CompiledInRootCertificate();

}  // namespace signature
