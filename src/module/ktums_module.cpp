#include "module/ktums_module.h"

#include <optional>

#include "diagnostics/user_debug_output.h"

CKTUMSModule::CKTUMSModule() {
    m_bPumpMessages = true;
    m_eApartment = APARTMENT_MULTITHREADED;
}

DWORD CKTUMSModule::Start() {
    // The protection's start-up sequence comes with the settings store; until then the module
    // brings up its debug log from the registry options, runs until it is told to stop, and leaves.
    g_DebugOutput.Construct(ServiceName().c_str(), std::nullopt);
    ReportRunning();
    DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::Start() : running, waiting for the terminate event\n");
    WaitForTerminate(INFINITE);
    DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::Start() : terminate event set\n");
    return 0;
}

void CKTUMSModule::OnStop() {
    DebugOut2(DBG_CAT_MODULE, u"CKTUMSModule::OnStop(): Ignoring SCM stop request\n");
}
