// The service's counters as another process reads them.
#include "module/service_counters.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/system.h"

namespace {

TEST(ServiceCounters, PublishedCountsAreReadExactlyAndEachRunStartsFromZero) {
    ULONGLONG values[SERVICE_COUNTER_COUNT];
    DWORD dwProcessId = 0;
    EXPECT_FALSE(CServiceCounters::ReadPublished(values, &dwProcessId)) << "nothing published in a new root";
    {
        CServiceCounters counters;
        counters.Add(COUNTER_ALERTS_SENT);  // before publishing: this process's own
        ASSERT_TRUE(counters.Publish());
        EXPECT_EQ(counters.Get(COUNTER_ALERTS_SENT), 0u);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&] {
                for (int n = 0; n < 10000; ++n) {
                    counters.Add(COUNTER_VIOLATIONS_RECEIVED);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        counters.Add(COUNTER_BACKLOG_STALLS);
        counters.Counter(COUNTER_INSTALL_REFUSED)->fetch_add(3);
        ASSERT_TRUE(CServiceCounters::ReadPublished(values, &dwProcessId));
        EXPECT_EQ(values[COUNTER_VIOLATIONS_RECEIVED], 40000u);
        EXPECT_EQ(values[COUNTER_BACKLOG_STALLS], 1u);
        EXPECT_EQ(values[COUNTER_INSTALL_REFUSED], 3u);
        EXPECT_EQ(values[COUNTER_ALERTS_SENT], 0u);
        EXPECT_EQ(dwProcessId, platform::GetCurrentProcessId());
    }
    // The last run's counts stay readable after it ended; the next run starts again from zero.
    ASSERT_TRUE(CServiceCounters::ReadPublished(values, &dwProcessId));
    EXPECT_EQ(values[COUNTER_VIOLATIONS_RECEIVED], 40000u);
    CServiceCounters next;
    ASSERT_TRUE(next.Publish());
    ASSERT_TRUE(CServiceCounters::ReadPublished(values, &dwProcessId));
    EXPECT_EQ(values[COUNTER_VIOLATIONS_RECEIVED], 0u);
}

}  // namespace
