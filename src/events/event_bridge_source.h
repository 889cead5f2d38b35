// Where the owners of an event bridge get the event library's two factories and their connection to
// the event manager. The product's source loads "KRELLEvt.dll" from the product directory and
// activates the running event manager, which is there while its running mutex is; an in-process
// source hands in objects of its own.
#pragma once

#include "events/event_interfaces.h"
#include "events/event_manager_helper.h"
#include "events/object_loader.h"

class IEventBridgeSource {
public:
    virtual ~IEventBridgeSource() = default;
    virtual ZELRESULT CreateEventFactory(CObjectLoader* pLoader, IKTEventFactory** ppFactory) = 0;
    virtual ZELRESULT CreateProxyFactory(CObjectLoader* pLoader, IKTProxyFactory** ppFactory) = 0;
    virtual bool ConnectEventManager(CEventManagerHelper* pHelper, IKTEventFactory* pEventFactory,
                                     IKTProxyFactory* pProxyFactory) = 0;
    // Whether the event manager is there to connect to; asked often, so it logs nothing.
    virtual bool IsEventManagerRunning() = 0;
};

constexpr const char16_t* KT_EVENT_LIBRARY = u"KRELLEvt.dll";

IEventBridgeSource* ProductEventBridgeSource();

// A new event manager helper connected through pSource, or none.
CComPtr<CEventManagerHelper> ConnectEventManager(IEventBridgeSource* pSource, IKTEventFactory* pEventFactory,
                                                 IKTProxyFactory* pProxyFactory);
