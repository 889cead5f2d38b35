// The event library as its users see it: KRELLEvt.dll loaded by file, its factories, event objects
// of every type, the transported form and the proxies.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_transport.h"
#include "events/event_interfaces.h"
#include "support/test_root.h"

namespace {

using PFN_GET_FACTORY = LONG (*)(const CLSID*, IClassFactory**);
using PFN_GET_OBJECT_COUNT = ULONG (*)();

template <class I>
CComPtr<I> As(IUnknown* pObject, const IID& iid) {
    CComPtr<I> p;
    pObject->QueryInterface(iid, reinterpret_cast<void**>(&p));
    return p;
}

class EventLibrary : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_hLibrary = dlopen(krelltest::ProgramPath("KRELLEvt.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(s_hLibrary, nullptr) << dlerror();
        s_pfnGetFactory = reinterpret_cast<PFN_GET_FACTORY>(dlsym(s_hLibrary, "GetFactory"));
        s_pfnGetObjectCount = reinterpret_cast<PFN_GET_OBJECT_COUNT>(dlsym(s_hLibrary, "GetObjectCount"));
    }

    void SetUp() override {
        ASSERT_NE(s_pfnGetFactory, nullptr);
        ASSERT_NE(s_pfnGetObjectCount, nullptr);
        m_nObjectsBefore = s_pfnGetObjectCount();
        m_pFactory = Create<IKTEventFactory>(CLSID_KTEventFactory, IID_IKTEventFactory);
        m_pProxyFactory = Create<IKTProxyFactory>(CLSID_KTProxyFactory, IID_IKTProxyFactory);
        ASSERT_TRUE(m_pFactory);
        ASSERT_TRUE(m_pProxyFactory);
    }
    void TearDown() override {
        m_pFactory.Release();
        m_pProxyFactory.Release();
        // Every object handed out was given back.
        EXPECT_EQ(s_pfnGetObjectCount(), m_nObjectsBefore);
    }

    template <class I>
    static CComPtr<I> Create(const CLSID& clsid, const IID& iid) {
        CComPtr<IClassFactory> pClassFactory;
        CComPtr<I> pObject;
        if (s_pfnGetFactory(&clsid, &pClassFactory) >= 0 && pClassFactory) {
            pClassFactory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&pObject));
        }
        return pObject;
    }

    CComPtr<IKTEvent> NewEvent(ULONG nType) {
        CComPtr<IKTEvent> pEvent;
        EXPECT_EQ(m_pFactory->NewEvent(nType, &pEvent), CError::eNoError);
        return pEvent;
    }

    std::vector<BYTE> Transport(IKTEvent* pEvent) {
        KT_TRANSPORTED_EVENT transported{};
        EXPECT_EQ(m_pFactory->ToTransported(pEvent, &transported), CError::eNoError);
        std::vector<BYTE> bytes(transported.pData, transported.pData + transported.cbData);
        EXPECT_EQ(m_pFactory->FreeTransported(&transported), CError::eNoError);
        EXPECT_EQ(transported.pData, nullptr);
        return bytes;
    }

    CComPtr<IKTEvent> FromBytes(std::vector<BYTE> bytes, LONG* pnResult = nullptr) {
        const KT_TRANSPORTED_EVENT transported{bytes.data(), static_cast<ULONG>(bytes.size())};
        CComPtr<IKTEvent> pEvent;
        const LONG nResult = m_pFactory->FromTransported(&transported, &pEvent);
        if (pnResult != nullptr) {
            *pnResult = nResult;
        }
        return pEvent;
    }

    static void* s_hLibrary;
    static PFN_GET_FACTORY s_pfnGetFactory;
    static PFN_GET_OBJECT_COUNT s_pfnGetObjectCount;
    ULONG m_nObjectsBefore = 0;
    CComPtr<IKTEventFactory> m_pFactory;
    CComPtr<IKTProxyFactory> m_pProxyFactory;
};

void* EventLibrary::s_hLibrary = nullptr;
PFN_GET_FACTORY EventLibrary::s_pfnGetFactory = nullptr;
PFN_GET_OBJECT_COUNT EventLibrary::s_pfnGetObjectCount = nullptr;

// A readable copy of an event's properties, for comparisons.
std::vector<std::string> Describe(IKTEvent* pEvent) {
    std::vector<std::string> lines;
    ULONG nCount = 0;
    pEvent->GetPropertyCount(&nCount);
    for (ULONG i = 0; i < nCount; ++i) {
        KT_PROPERTY property{};
        EXPECT_EQ(pEvent->GetProperty(i, &property), S_OK);
        std::string sLine;
        for (const char16_t* p = property.szName; *p != 0; ++p) {
            sLine += static_cast<char>(*p);
        }
        sLine += "/" + std::to_string(property.type) + "=" + std::to_string(property.ulValue) + "," +
                 std::to_string(property.ullValue) + ",";
        for (const char16_t* p = property.szValue; p != nullptr && *p != 0; ++p) {
            sLine += std::to_string(*p) + ".";
        }
        lines.push_back(sLine);
    }
    return lines;
}

TEST_F(EventLibrary, EachTypeOffersItsOwnInterfacesOnly) {
    struct Case {
        ULONG nType;
        bool bNotify, bAlert, bConfig;
    };
    const Case cases[] = {
        {KT_EVENT_GATEWARDEN_ALERT, false, true, false}, {KT_EVENT_MANIFEST_CHANGE, false, false, false},
        {KT_EVENT_CONFIG_CHANGE, false, false, true},    {KT_EVENT_SETTINGS_REFRESH, false, false, false},
        {KT_EVENT_NOTIFY, true, false, false},           {4711, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nType);
        CComPtr<IKTEvent> pEvent = NewEvent(c.nType);
        ASSERT_TRUE(pEvent);
        ULONG nType = 0;
        LONG nId = -1;
        LONG nState = -1;
        EXPECT_EQ(pEvent->GetType(&nType), S_OK);
        EXPECT_EQ(nType, c.nType);
        EXPECT_EQ(pEvent->GetId(&nId), S_OK);
        EXPECT_EQ(nId, 0);
        EXPECT_EQ(pEvent->GetState(&nState), S_OK);
        EXPECT_EQ(nState, KT_EVENT_STATE_CREATED);
        EXPECT_EQ(bool(As<IKTNotifyEvent>(pEvent.Get(), IID_IKTNotifyEvent)), c.bNotify);
        EXPECT_EQ(bool(As<IKTGatewardenAlertEvent>(pEvent.Get(), IID_IKTGatewardenAlertEvent)), c.bAlert);
        EXPECT_EQ(bool(As<IKTConfigEvent>(pEvent.Get(), IID_IKTConfigEvent)), c.bConfig);
        EXPECT_EQ(bool(As<IKTErrorStackContainer>(pEvent.Get(), IID_IKTErrorStackContainer)), c.bConfig);
        EXPECT_TRUE(As<IKTEvent>(pEvent.Get(), IID_IKTEvent));
    }
}

TEST_F(EventLibrary, NotificationDataIsAbsentUntilSetAndTimeKeepsItsFields) {
    CComPtr<IKTEvent> pEvent = NewEvent(KT_EVENT_NOTIFY);
    CComPtr<IKTNotifyEvent> pNotify = As<IKTNotifyEvent>(pEvent.Get(), IID_IKTNotifyEvent);
    ASSERT_TRUE(pNotify);
    const char16_t* szData = u"x";
    EXPECT_EQ(pNotify->GetData(&szData), S_OK);
    EXPECT_EQ(szData, nullptr);
    const SYSTEMTIME time{2024, 2, 4, 29, 23, 59, 58, 987};
    ASSERT_EQ(pNotify->SetCode(7), S_OK);
    ASSERT_EQ(pNotify->SetTime(&time), S_OK);
    ULONG nProperties = 0;
    pEvent->GetPropertyCount(&nProperties);
    EXPECT_EQ(nProperties, 2u);
    ASSERT_EQ(pNotify->SetData(u"Gatewarden is enabled"), S_OK);
    CComPtr<IKTEvent> pCopy = FromBytes(Transport(pEvent.Get()));
    ASSERT_TRUE(pCopy);
    CComPtr<IKTNotifyEvent> pCopyNotify = As<IKTNotifyEvent>(pCopy.Get(), IID_IKTNotifyEvent);
    ULONG nCode = 0;
    SYSTEMTIME copyTime{};
    EXPECT_EQ(pCopyNotify->GetCode(&nCode), S_OK);
    EXPECT_EQ(nCode, 7u);
    EXPECT_EQ(pCopyNotify->GetTime(&copyTime), S_OK);
    EXPECT_EQ(std::vector<WORD>({copyTime.wYear, copyTime.wMonth, copyTime.wDayOfWeek, copyTime.wDay,
                                 copyTime.wHour, copyTime.wMinute, copyTime.wSecond, copyTime.wMilliseconds}),
              std::vector<WORD>({2024, 2, 4, 29, 23, 59, 58, 987}));
    EXPECT_EQ(pCopyNotify->GetData(&szData), S_OK);
    EXPECT_EQ(std::u16string(szData), u"Gatewarden is enabled");
}

TEST_F(EventLibrary, ErrorStackFoldsTheWorstSeverity) {
    struct Case {
        std::vector<LONG> severities;
        LONG nFold;  // folded without an entry, -1 for none
        LONG nStatus;
    };
    const Case cases[] = {
        {{}, -1, 2},     {{2, 2}, -1, 2}, {{2, 1, 2}, -1, 1}, {{1, 0, 1}, -1, 0},
        {{0, 2}, -1, 0}, {{2}, 1, 1},     {{1}, 2, 1},        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        CComPtr<IKTEvent> pEvent = NewEvent(KT_EVENT_CONFIG_CHANGE);
        CComPtr<IKTErrorStackContainer> pContainer =
            As<IKTErrorStackContainer>(pEvent.Get(), IID_IKTErrorStackContainer);
        CComPtr<IKTErrorStack> pStack;
        ASSERT_EQ(pContainer->GetErrorStack(&pStack), S_OK);
        for (const LONG nSeverity : c.severities) {
            ASSERT_EQ(pStack->Add(nSeverity, u"entry"), S_OK);
        }
        if (c.nFold >= 0) {
            ASSERT_EQ(pStack->FoldStatus(c.nFold), S_OK);
        }
        LONG nStatus = -1;
        ULONG nCount = 0;
        EXPECT_EQ(pStack->GetStatus(&nStatus), S_OK);
        EXPECT_EQ(pStack->GetCount(&nCount), S_OK);
        EXPECT_EQ(nStatus, c.nStatus) << testing::PrintToString(c.severities) << " fold " << c.nFold;
        EXPECT_EQ(nCount, c.severities.size());
    }
    CComPtr<IKTEvent> pEvent = NewEvent(KT_EVENT_CONFIG_CHANGE);
    CComPtr<IKTErrorStack> pStack;
    As<IKTErrorStackContainer>(pEvent.Get(), IID_IKTErrorStackContainer)->GetErrorStack(&pStack);
    EXPECT_EQ(pStack->Add(3, u"no such severity"), E_INVALIDARG);
    EXPECT_EQ(pStack->FoldStatus(-1), E_INVALIDARG);
}

// Events of every type with every property their interfaces set, as the service fills them.
std::vector<CComPtr<IKTEvent>> FilledEvents(IKTEventFactory* pFactory) {
    std::vector<CComPtr<IKTEvent>> events;
    const SYSTEMTIME time{2026, 12, 0, 6, 23, 5, 9, 120};
    for (const ULONG nType : {KT_EVENT_GATEWARDEN_ALERT, KT_EVENT_MANIFEST_CHANGE, KT_EVENT_CONFIG_CHANGE,
                              KT_EVENT_SETTINGS_REFRESH, KT_EVENT_NOTIFY, 0xFFFFFFFFu}) {
        CComPtr<IKTEvent> pEvent;
        pFactory->NewEvent(nType, &pEvent);
        pEvent->SetId(0x7FFFFFF0);
        pEvent->SetState(KT_EVENT_STATE_COMMITTED);
        CComPtr<IKTNotifyEvent> pNotify;
        CComPtr<IKTGatewardenAlertEvent> pAlert;
        CComPtr<IKTConfigEvent> pConfig;
        if (SUCCEEDED(pEvent->QueryInterface(IID_IKTNotifyEvent, reinterpret_cast<void**>(&pNotify)))) {
            pNotify->SetCode(8);
            pNotify->SetTime(&time);
            pNotify->SetData(u"\"C:\\a.exe\"(12) accessed protected resource \"C:\\\u00e9\"");
        }
        if (SUCCEEDED(
                pEvent->QueryInterface(IID_IKTGatewardenAlertEvent, reinterpret_cast<void**>(&pAlert)))) {
            pAlert->SetAlert(&time, u"C:\\Windows\\actor.exe", 4242, 3, u"HKLM\\Software\\Target", 0xFFFFFFFF,
                             1, true);
        }
        if (SUCCEEDED(pEvent->QueryInterface(IID_IKTConfigEvent, reinterpret_cast<void**>(&pConfig)))) {
            pConfig->SetResult(static_cast<HRESULT>(0x80070102));
            CComPtr<IKTErrorStack> pStack;
            As<IKTErrorStackContainer>(pEvent.Get(), IID_IKTErrorStackContainer)->GetErrorStack(&pStack);
            pStack->Add(KT_SEVERITY_INFO, u"No configuration changes--using cached configuration");
            pStack->Add(KT_SEVERITY_WARNING, u"");
            pStack->Add(KT_SEVERITY_ERROR, u"Failed to create configuration data");
        }
        events.push_back(pEvent);
    }
    return events;
}

TEST_F(EventLibrary, TransportedFormRoundTripsEveryTypeAndProperty) {
    for (const CComPtr<IKTEvent>& pEvent : FilledEvents(m_pFactory.Get())) {
        ULONG nType = 0;
        pEvent->GetType(&nType);
        SCOPED_TRACE(nType);
        const std::vector<BYTE> bytes = Transport(pEvent.Get());
        LONG nResult = 0;
        CComPtr<IKTEvent> pBack = FromBytes(bytes, &nResult);
        ASSERT_EQ(nResult, CError::eNoError);
        ASSERT_TRUE(pBack);
        ULONG nBackType = 0;
        LONG nId = 0;
        LONG nState = 0;
        pBack->GetType(&nBackType);
        pBack->GetId(&nId);
        pBack->GetState(&nState);
        EXPECT_EQ(nBackType, nType);
        EXPECT_EQ(nId, 0x7FFFFFF0);
        EXPECT_EQ(nState, KT_EVENT_STATE_COMMITTED);
        EXPECT_EQ(Describe(pBack.Get()), Describe(pEvent.Get()));
        // The same event encodes to the same bytes, so nothing was lost on the way.
        EXPECT_EQ(Transport(pBack.Get()), bytes);
        CComPtr<IKTEvent> pCopy;
        ASSERT_EQ(m_pFactory->CopyEvent(pBack.Get(), &pCopy), CError::eNoError);
        EXPECT_EQ(Transport(pCopy.Get()), bytes);
        if (nType == KT_EVENT_CONFIG_CHANGE) {
            HRESULT hr = S_OK;
            bool bCommitted = false;
            CComPtr<IKTConfigEvent> pConfig = As<IKTConfigEvent>(pBack.Get(), IID_IKTConfigEvent);
            EXPECT_EQ(pConfig->GetResult(&hr), S_OK);
            EXPECT_EQ(static_cast<ULONG>(hr), 0x80070102u);
            EXPECT_EQ(pConfig->IsCommitted(&bCommitted), S_OK);
            EXPECT_TRUE(bCommitted);
            CComPtr<IKTErrorStack> pStack;
            As<IKTErrorStackContainer>(pBack.Get(), IID_IKTErrorStackContainer)->GetErrorStack(&pStack);
            ULONG nCount = 0;
            LONG nStatus = 2;
            LONG nSeverity = -1;
            const char16_t* szText = nullptr;
            pStack->GetCount(&nCount);
            pStack->GetStatus(&nStatus);
            ASSERT_EQ(nCount, 3u);
            EXPECT_EQ(nStatus, KT_SEVERITY_ERROR);
            pStack->GetEntry(2, &nSeverity, &szText);
            EXPECT_EQ(nSeverity, KT_SEVERITY_ERROR);
            EXPECT_EQ(std::u16string(szText), u"Failed to create configuration data");
        }
    }
}

TEST_F(EventLibrary, EveryTruncationIsRefused) {
    for (const CComPtr<IKTEvent>& pEvent : FilledEvents(m_pFactory.Get())) {
        const std::vector<BYTE> bytes = Transport(pEvent.Get());
        for (std::size_t cb = 0; cb < bytes.size(); ++cb) {
            LONG nResult = 0;
            // A copy of exactly cb bytes, so an over-read is caught by the sanitizers.
            EXPECT_FALSE(FromBytes(std::vector<BYTE>(bytes.begin(), bytes.begin() + cb), &nResult)) << cb;
            EXPECT_EQ(nResult, CError::eFailure);
        }
        std::vector<BYTE> longer = bytes;
        longer.push_back(0);
        EXPECT_FALSE(FromBytes(longer));
    }
}

TEST_F(EventLibrary, InconsistentBytesAreRefused) {
    using krellevt::CEventRecord;
    CEventRecord alert;
    alert.nType = KT_EVENT_GATEWARDEN_ALERT;
    alert.properties = {{u"Blocked", KT_PROPERTY_BOOL, 1, {}},
                        {u"ActorPath", KT_PROPERTY_STRING, 0, u"C:\\x"}};
    CEventRecord config;
    config.nType = KT_EVENT_CONFIG_CHANGE;
    config.bHasErrorStack = true;
    config.nStackStatus = KT_SEVERITY_WARNING;
    config.stack = {{KT_SEVERITY_WARNING, u"w"}};
    ASSERT_TRUE(FromBytes(krellevt::EncodeEvent(alert)));
    ASSERT_TRUE(FromBytes(krellevt::EncodeEvent(config)));

    struct Case {
        const char* szName;
        CEventRecord record;
        void (*pfnBreak)(std::vector<BYTE>&);
    };
    auto with = [](CEventRecord record, auto fnChange) {
        fnChange(record);
        return record;
    };
    const Case cases[] = {
        {"magic", alert, [](std::vector<BYTE>& b) { b[0] ^= 1; }},
        {"version", alert, [](std::vector<BYTE>& b) { b[4] = 2; }},
        {"unknown flag", alert, [](std::vector<BYTE>& b) { b[6] |= 2; }},
        {"state", alert, [](std::vector<BYTE>& b) { b[16] = 3; }},
        {"length field", alert, [](std::vector<BYTE>& b) { b[20] -= 1; }},
        {"property count", alert, [](std::vector<BYTE>& b) { b[24] += 1; }},
        {"property kind", alert, [](std::vector<BYTE>& b) { b[28 + 2 + 14] = 9; }},
        {"boolean not 0 or 1", alert, [](std::vector<BYTE>& b) { b[28 + 2 + 14 + 1] = 2; }},
        {"empty name", with(alert, [](CEventRecord& r) { r.properties[0].sName.clear(); }), nullptr},
        {"duplicate name", with(alert, [](CEventRecord& r) { r.properties[1].sName = u"Blocked"; }), nullptr},
        {"error stack on an alert", with(alert, [](CEventRecord& r) { r.bHasErrorStack = true; }), nullptr},
        {"configuration event without its stack",
         with(config, [](CEventRecord& r) { r.bHasErrorStack = false; }), nullptr},
        {"entry worse than the status", with(config, [](CEventRecord& r) { r.stack[0].nSeverity = 0; }),
         nullptr},
        {"severity out of range", with(config, [](CEventRecord& r) { r.nStackStatus = 3; }), nullptr},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bytes = krellevt::EncodeEvent(c.record);
        if (c.pfnBreak != nullptr) {
            c.pfnBreak(bytes);
        }
        krellevt::CEventRecord decoded;
        EXPECT_FALSE(krellevt::DecodeEvent(bytes.data(), bytes.size(), &decoded)) << c.szName;
        EXPECT_FALSE(FromBytes(bytes)) << c.szName;
    }
}

TEST_F(EventLibrary, ForeignEventsAreNotCopiedOrTransported) {
    CComPtr<IKTEvent> pCopy;
    KT_TRANSPORTED_EVENT transported{};
    EXPECT_EQ(m_pFactory->CopyEvent(nullptr, &pCopy), CError::eFailure);
    EXPECT_EQ(m_pFactory->ToTransported(nullptr, &transported), CError::eFailure);
    EXPECT_EQ(m_pFactory->FromTransported(nullptr, &pCopy), CError::eFailure);
}

class RecordingCallback final : public IKTEventProviderCallback, public IKTEventSubscriberCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_nRefs; }
    LONG STDMETHODCALLTYPE OnEvent(LONG nId, IKTEvent* pEvent) override {
        m_ids.push_back(nId);
        pEvent->GetType(&m_nLastType);
        return CError::eNoError;
    }
    LONG STDMETHODCALLTYPE OnEvent(LONG nId, IKTEvent* pEvent, LONG* pnAction) override {
        OnEvent(nId, pEvent);
        if (m_nAction >= 0) {
            *pnAction = m_nAction;
        }
        return CError::eNoError;
    }

    ULONG m_nRefs = 1;
    std::vector<LONG> m_ids;
    ULONG m_nLastType = 0;
    LONG m_nAction = -1;  // -1: leave the action as the proxy set it
};

TEST_F(EventLibrary, ProxiesRebuildTheEventForTheirCallback) {
    RecordingCallback callback;
    CComPtr<IKTProviderProxy> pProvider;
    CComPtr<IKTSubscriberProxy> pSubscriber;
    ASSERT_EQ(m_pProxyFactory->CreateProviderProxy(&callback, &pProvider), CError::eNoError);
    ASSERT_EQ(m_pProxyFactory->CreateSubscriberProxy(&callback, &pSubscriber), CError::eNoError);
    EXPECT_EQ(callback.m_nRefs, 3u);

    CComPtr<IKTEvent> pEvent = NewEvent(KT_EVENT_MANIFEST_CHANGE);
    std::vector<BYTE> bytes = Transport(pEvent.Get());
    const KT_TRANSPORTED_EVENT transported{bytes.data(), static_cast<ULONG>(bytes.size())};
    EXPECT_EQ(pProvider->Deliver(11, &transported), CError::eNoError);
    LONG nAction = 5;
    // A callback that says nothing keeps the event.
    EXPECT_EQ(pSubscriber->Deliver(12, &transported, &nAction), CError::eNoError);
    EXPECT_EQ(nAction, 0);
    callback.m_nAction = 1;
    EXPECT_EQ(pSubscriber->Deliver(13, &transported, &nAction), CError::eNoError);
    EXPECT_EQ(nAction, 1);
    EXPECT_EQ(callback.m_ids, (std::vector<LONG>{11, 12, 13}));
    EXPECT_EQ(callback.m_nLastType, KT_EVENT_MANIFEST_CHANGE);

    // Bytes that do not decode reach no callback and are refused.
    bytes.pop_back();
    const KT_TRANSPORTED_EVENT broken{bytes.data(), static_cast<ULONG>(bytes.size())};
    nAction = 0;
    EXPECT_EQ(pProvider->Deliver(14, &broken), CError::eFailure);
    EXPECT_EQ(pSubscriber->Deliver(15, &broken, &nAction), CError::eFailure);
    EXPECT_EQ(nAction, 1);
    EXPECT_EQ(callback.m_ids.size(), 3u);

    EXPECT_EQ(m_pProxyFactory->DeleteProviderProxy(pProvider.Detach()), CError::eNoError);
    EXPECT_EQ(m_pProxyFactory->DeleteSubscriberProxy(pSubscriber.Detach()), CError::eNoError);
    EXPECT_EQ(callback.m_nRefs, 1u);
}

TEST_F(EventLibrary, UnknownClassesAreRefused) {
    CComPtr<IClassFactory> pClassFactory;
    EXPECT_LT(s_pfnGetFactory(&CLSID_KTEventManager, &pClassFactory), 0);
    EXPECT_FALSE(pClassFactory);
    EXPECT_FALSE((Create<IKTEventFactory>(CLSID_KTEventFactory, IID_IKTProxyFactory)));
}

}  // namespace
