#include "events/event_bridge_source.h"

#include <new>

namespace {

class CProductEventBridgeSource final : public IEventBridgeSource {
public:
    ZELRESULT CreateEventFactory(CObjectLoader* pLoader, IKTEventFactory** ppFactory) override {
        return Create(pLoader, CLSID_KTEventFactory, IID_IKTEventFactory,
                      reinterpret_cast<void**>(ppFactory));
    }
    ZELRESULT CreateProxyFactory(CObjectLoader* pLoader, IKTProxyFactory** ppFactory) override {
        return Create(pLoader, CLSID_KTProxyFactory, IID_IKTProxyFactory,
                      reinterpret_cast<void**>(ppFactory));
    }
    bool ConnectEventManager(CEventManagerHelper* pHelper, IKTEventFactory* pEventFactory,
                             IKTProxyFactory* pProxyFactory) override {
        return pHelper->Create(pEventFactory, pProxyFactory);
    }
    bool IsEventManagerRunning() override { return CEventManagerHelper::RunningMutexExists(); }

private:
    static ZELRESULT Create(CObjectLoader* pLoader, REFCLSID rclsid, REFIID riid, void** ppObject) {
        const ZELRESULT zr = pLoader->Load(KT_EVENT_LIBRARY);
        if (!ZEL_SUCCEEDED(zr)) {
            return zr;
        }
        return pLoader->CreateObject(rclsid, riid, ppObject);
    }
};

}  // namespace

IEventBridgeSource* ProductEventBridgeSource() {
    static CProductEventBridgeSource source;
    return &source;
}

CComPtr<CEventManagerHelper> ConnectEventManager(IEventBridgeSource* pSource, IKTEventFactory* pEventFactory,
                                                 IKTProxyFactory* pProxyFactory) {
    CComPtr<CEventManagerHelper> pHelper;
    try {
        pHelper = CComPtr<CEventManagerHelper>::Attach(new CEventManagerHelper());
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (!pSource->ConnectEventManager(pHelper.Get(), pEventFactory, pProxyFactory)) {
        pHelper.Release();
    }
    return pHelper;
}
