// Installer packages are read by a program of their own, krellmsiread (over libmsi), so that a package
// that crashes or hangs the library cannot take the service with it.
#pragma once

#include <string>

#include "platform/posix/msi_properties.h"

namespace platform::posix {

enum class MsiReadOutcome {
    PROPERTIES,         // a database with its Property table
    NO_PROPERTY_TABLE,  // a database without a readable Property table
    NOT_A_DATABASE,     // missing, unreadable, no database, or the reader failed on it
    NO_READER,          // the reader program could not be started
};

// The reader is KRELL_MSI_READER when set, else krellmsiread beside this executable. It gets
// MSI_READER_TIMEOUT_MS and MSI_READER_MAX_OUTPUT bytes; beyond either it is killed.
constexpr int MSI_READER_TIMEOUT_MS = 30000;
constexpr std::size_t MSI_READER_MAX_OUTPUT = 16u << 20;

MsiReadOutcome ReadMsiProperties(const std::string& sPosixPath, CMsiProperties* pProperties);

}  // namespace platform::posix
