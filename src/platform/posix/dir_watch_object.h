// The folder object that CreateFile makes for a directory opened with FILE_FLAG_BACKUP_SEMANTICS.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform::posix {

// INVALID_HANDLE_VALUE with the last error set when the folder does not exist.
HANDLE OpenDirectoryObject(const std::string& sPosixPath);

}  // namespace platform::posix
