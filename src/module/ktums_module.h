// The protection module: the service's application object and the owner of its components.
#pragma once

#include "service/service_app.h"

class CKTUMSModule : public CServiceApp {
public:
    CKTUMSModule();

    DWORD Start() override;
    // The service accepts no controls; a stop request of the service control manager is ignored.
    void OnStop() override;
};
