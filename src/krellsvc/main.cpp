// KRELLSvc: the service executable.
#include "module/ktums_module.h"

int main() {
    CKTUMSModule module;
    return module.Run(u"KRELLSvc", u"KRELLSvc 1.0 Type Library", u"Quillon KRELL Service", 0);
}
