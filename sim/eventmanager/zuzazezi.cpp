// zuzazezi: the event manager's stand-in service. While it runs it holds "Global\zuZazEzi_Running",
// by which the protection module knows the event manager is there.
#include "platform/sync.h"
#include "running_service.h"

int main() {
    return sim::RunRunningMutexService(u"zuZazEzi", u"Global\\zuZazEzi_Running", [](HANDLE hStopEvent) {
        platform::WaitForSingleObject(hStopEvent, INFINITE);
    });
}
