// The order of a machine's boot: load-order groups, dependencies, cycles, worked out on service
// entries alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/strings.h"
#include "scm/scm_admin.h"

namespace {

// One service: "Name[:Group][>Dep,Dep][+Group,Group][*]" where * marks a service on demand.
scm::ServiceEntry Entry(const std::string& sSpec) {
    scm::ServiceEntry entry;
    entry.dwType = SERVICE_WIN32_OWN_PROCESS;
    entry.dwStartType = SERVICE_AUTO_START;
    std::string s = sSpec;
    if (s.ends_with('*')) {
        entry.dwStartType = SERVICE_DEMAND_START;
        s.pop_back();
    }
    const auto take = [&s](char chMark) {
        const std::size_t nPos = s.find(chMark);
        if (nPos == std::string::npos) {
            return std::string();
        }
        std::string sPart = s.substr(nPos + 1);
        s.erase(nPos);
        return sPart;
    };
    const auto list = [](const std::string& sItems) {
        std::vector<std::u16string> items;
        for (std::size_t nStart = 0; nStart < sItems.size();) {
            const std::size_t nEnd = std::min(sItems.find(',', nStart), sItems.size());
            items.push_back(platform::FromUtf8(sItems.substr(nStart, nEnd - nStart)));
            nStart = nEnd + 1;
        }
        return items;
    };
    entry.groupDependencies = list(take('+'));
    entry.dependencies = list(take('>'));
    entry.sGroup = platform::FromUtf8(take(':'));
    entry.sName = platform::FromUtf8(s);
    return entry;
}

bool IsAutomatic(const scm::ServiceEntry& entry) {
    return entry.dwStartType <= SERVICE_AUTO_START;
}

std::string Joined(const std::vector<std::u16string>& names) {
    std::string s;
    for (const auto& sName : names) {
        s += (s.empty() ? "" : " ") + platform::ToUtf8(sName);
    }
    return s;
}

TEST(StartOrder, GroupsThenDependencies) {
    const struct {
        const char* szCase;
        std::vector<std::string> services;
        std::vector<std::u16string> groups;
        const char* szOrder;
        const char* szCyclic;
    } cases[] = {
        {"no list: by name", {"b", "a:G", "c"}, {}, "a b c", ""},
        {"listed groups in the list's order, not by name",
         {"a:Late", "b:Early", "c:Middle"},
         {u"Early", u"Middle", u"Late"},
         "b c a",
         ""},
        {"group names compare without case", {"a:LATE", "b:early"}, {u"Early", u"Late"}, "b a", ""},
        {"ungrouped and unlisted groups after the listed ones",
         {"a", "b:Unlisted", "c:Listed", "d:Listed"},
         {u"Listed"},
         "c d a b",
         ""},
        {"a dependency in a later group comes first",
         {"a:Early>b", "b:Late"},
         {u"Early", u"Late"},
         "b a",
         ""},
        {"a dependency on demand is taken along", {"a>b", "b*", "c*"}, {}, "b a", ""},
        {"dependencies that are not installed are the system's", {"a>RPCSS"}, {}, "a", ""},
        {"dependency names compare without case", {"a>B", "b"}, {}, "b a", ""},
        {"chains across groups",
         {"app:Apps>mid", "mid:Apps>drv", "drv:Base", "other:Base"},
         {u"Base", u"Apps"},
         "drv other mid app",
         ""},
        {"a group dependency waits for the group's wanted members",
         {"a:Early+Store", "s1:Store", "s2:Store", "s3:Store*"},
         {u"Early", u"Store"},
         "s1 s2 a",
         ""},
        {"a cycle is reported, its dependents are not part of it",
         {"a>b", "b>c", "c>b", "d"},
         {},
         "c b a d",
         "c b"},
        {"a service depending on itself", {"a>a", "b"}, {}, "a b", "a"},
    };
    for (const auto& c : cases) {
        std::vector<scm::ServiceEntry> installed;
        for (const auto& sSpec : c.services) {
            installed.push_back(Entry(sSpec));
        }
        const scm::StartOrder order = scm::ComputeStartOrder(installed, c.groups, IsAutomatic);
        EXPECT_EQ(Joined(order.names), c.szOrder) << c.szCase;
        EXPECT_EQ(Joined(order.cyclic), c.szCyclic) << c.szCase;
    }
}

TEST(StartOrder, DriversComeBeforeServicesByStartType) {
    std::vector<scm::ServiceEntry> installed = {Entry("svc:First"), Entry("system"), Entry("boot"),
                                                Entry("demand:First")};
    installed[1].dwType = SERVICE_KERNEL_DRIVER;
    installed[1].dwStartType = SERVICE_SYSTEM_START;
    installed[2].dwType = SERVICE_FILE_SYSTEM_DRIVER;
    installed[2].dwStartType = SERVICE_BOOT_START;
    installed[3].dwType = SERVICE_KERNEL_DRIVER;
    installed[3].dwStartType = SERVICE_DEMAND_START;
    const auto any = [](const scm::ServiceEntry&) { return true; };
    EXPECT_EQ(Joined(scm::ComputeStartOrder(installed, {u"First"}, any).names), "boot system demand svc");
    // What a boot starts: the demand-start driver stays out.
    EXPECT_EQ(Joined(scm::ComputeStartOrder(installed, {u"First"}, IsAutomatic).names), "boot system svc");
}

}  // namespace
