// NoFactory.dll: a library registered as a server that lacks "GetFactory".
#include "platform/types.h"

extern "C" __attribute__((visibility("default"))) ULONG GetObjectCount() {
    return 0;
}
