#include "events/event_bridge_source.h"

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
