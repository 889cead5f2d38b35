// krellctl stats [--json]: the service's counters (from the shared mapping it publishes them in) and,
// when the stand-in driver runs, the driver's own counts from its status.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "krellctl_commands.h"
#include "module/service_counters.h"

namespace {

struct CDriverCount {
    const char* szField;  // in the driver's status JSON
    const char* szText;
};
constexpr CDriverCount DRIVER_COUNTS[] = {
    {"judged", "driver accesses judged"},          {"violations", "driver violations"},
    {"installQueries", "driver install queries"},  {"installAuthorized", "driver installs authorized"},
    {"installRefused", "driver installs refused"}, {"installUnanswered", "driver installs unanswered"},
};

// The unsigned number of a top-level "field":N of the driver's status; false when it is absent.
bool JsonNumber(const std::string& sJson, const char* szField, unsigned long long* pullValue) {
    const std::string sKey = std::string("\"") + szField + "\":";
    const size_t nPos = sJson.find(sKey);
    if (nPos == std::string::npos) {
        return false;
    }
    size_t nDigit = nPos + sKey.size();
    if (nDigit >= sJson.size() || sJson[nDigit] < '0' || sJson[nDigit] > '9') {
        return false;
    }
    unsigned long long ullValue = 0;
    for (; nDigit < sJson.size() && sJson[nDigit] >= '0' && sJson[nDigit] <= '9'; ++nDigit) {
        ullValue = ullValue * 10 + static_cast<unsigned long long>(sJson[nDigit] - '0');
    }
    *pullValue = ullValue;
    return true;
}

int StatsUsage() {
    std::fprintf(stderr, "usage: krellctl stats [--json]\n");
    return 2;
}

}  // namespace

int RunStatsCommand(const std::vector<std::string>& args) {
    bool bJson = false;
    for (const std::string& sArg : args) {
        if (sArg != "--json") {
            return StatsUsage();
        }
        bJson = true;
    }
    ULONGLONG service[SERVICE_COUNTER_COUNT];
    DWORD dwProcessId = 0;
    const bool bService = CServiceCounters::ReadPublished(service, &dwProcessId);

    std::vector<std::pair<const CDriverCount*, unsigned long long>> driver;
    std::string sReply;
    const bool bDriver =
        AskDriver("status json", &sReply) == DriverAnswer::Answered && sReply.starts_with("ok ");
    if (bDriver) {
        for (const CDriverCount& count : DRIVER_COUNTS) {
            unsigned long long ullValue = 0;
            if (JsonNumber(sReply, count.szField, &ullValue)) {
                driver.emplace_back(&count, ullValue);
            }
        }
    }
    if (!bService && !bDriver) {
        std::fprintf(
            stderr,
            "krellctl: no counters: the service has not run in this root and the driver is not running\n");
        return 1;
    }

    if (bJson) {
        std::string sOut = "{\"service\":";
        if (bService) {
            sOut += "{";
            for (DWORD i = 0; i < SERVICE_COUNTER_COUNT; ++i) {
                sOut += (i == 0 ? "\"" : ",\"") + std::string(SERVICE_COUNTER_NAMES[i].szJson) +
                        "\":" + std::to_string(service[i]);
            }
            sOut += "}";
        } else {
            sOut += "null";
        }
        sOut += ",\"driver\":";
        if (bDriver) {
            sOut += "{";
            for (size_t i = 0; i < driver.size(); ++i) {
                sOut += (i == 0 ? "\"" : ",\"") + std::string(driver[i].first->szField) +
                        "\":" + std::to_string(driver[i].second);
            }
            sOut += "}";
        } else {
            sOut += "null";
        }
        std::printf("%s}\n", sOut.c_str());
        return 0;
    }
    if (bService) {
        for (DWORD i = 0; i < SERVICE_COUNTER_COUNT; ++i) {
            std::printf("%s %llu\n", SERVICE_COUNTER_NAMES[i].szText,
                        static_cast<unsigned long long>(service[i]));
        }
    }
    for (const auto& [pCount, ullValue] : driver) {
        std::printf("%s %llu\n", pCount->szText, ullValue);
    }
    return 0;
}
