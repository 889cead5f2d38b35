// A framework thread is in the COM apartment its options name from InitInstance to ExitInstance.
#include <gtest/gtest.h>

#include "platform/sync.h"
#include "service/thread.h"

namespace ole32 {
extern "C" {
__declspec(dllimport) HRESULT __stdcall CoGetApartmentType(int* pType, int* pQualifier);
}
}  // namespace ole32

namespace {

constexpr int APTTYPE_STA = 0;
constexpr int APTTYPE_MTA = 1;
constexpr int APTTYPE_MAINSTA = 3;
constexpr int APTTYPEQUALIFIER_IMPLICIT_MTA = 1;
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);

// The calling thread's apartment type, or -1 when it has joined none itself (a thread of a process
// with a multi-threaded apartment belongs to it implicitly).
int ApartmentOfThisThread() {
    int nType = -1;
    int nQualifier = 0;
    const HRESULT hr = ole32::CoGetApartmentType(&nType, &nQualifier);
    if (hr == CO_E_NOTINITIALIZED || (hr == S_OK && nQualifier == APTTYPEQUALIFIER_IMPLICIT_MTA)) {
        return -1;
    }
    EXPECT_EQ(hr, S_OK);
    // The first single-threaded apartment of a process is its main one.
    return nType == APTTYPE_MAINSTA ? APTTYPE_STA : nType;
}

class CApartmentProbe : public CThread {
public:
    explicit CApartmentProbe(const COptions& options) : CThread(options) {}
    int m_nInInit = -2;
    int m_nInExit = -2;

protected:
    bool InitInstance() override {
        m_nInInit = ApartmentOfThisThread();
        return true;
    }
    DWORD Run() override { return 0; }
    void ExitInstance() override { m_nInExit = ApartmentOfThisThread(); }
};

TEST(ThreadApartment, ThreadsJoinTheApartmentTheirOptionsName) {
    const struct {
        CThread::eApartment eApartment;
        int nExpected;
    } cases[] = {{CThread::APARTMENT_NONE, -1},
                 {CThread::APARTMENT_MULTITHREADED, APTTYPE_MTA},
                 {CThread::APARTMENT_THREADED, APTTYPE_STA}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eApartment);
        CThread::COptions options;
        options.m_eApartment = c.eApartment;
        CApartmentProbe thread(options);
        ASSERT_TRUE(thread.Create());
        ASSERT_EQ(platform::WaitForSingleObject(thread.ThreadHandle(), 5000), WAIT_OBJECT_0);
        EXPECT_EQ(thread.m_nInInit, c.nExpected);
        EXPECT_EQ(thread.m_nInExit, c.nExpected);
    }
}

}  // namespace
