#include "platform/root.h"

namespace platform {

// The machine is the root: there is nothing to choose.
void UseRoot(const std::string&) {}

}  // namespace platform
