// Accesses the stand-in driver is asked to judge: the action types it reports (each a target kind and
// the desired-access mask the driver would have seen), their JSON form, and the decision against the
// rule sets of the configuration in force.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "driver_config.h"
#include "platform/types.h"
#include "srtc/srtc.h"

namespace krelldrv {

struct CActionType {
    DWORD dwAction;
    srtc::TargetKind kind;
    DWORD dwDesiredAccess;
    bool bNeedsTargetPid;
    const char* szMeaning;
};

// The action types in number order; nullptr for a number that is none.
const CActionType* FindAction(DWORD dwAction);
constexpr DWORD ACTION_TYPE_COUNT = 12;

struct CAccess {
    std::u16string sActorPath;
    DWORD dwActorPid = 0;
    DWORD dwAction = 0;
    std::u16string sTargetPath;
    std::optional<DWORD> targetPid;
    DWORD dwSession = 0;
    std::u16string sActorSid;
    // The device the actor's image was installed from ("CDROM"), when known.
    std::u16string sActorDevice;
};

// {"actor":PATH,"pid":N,"action":N,"target":PATH[,"targetPid":N][,"session":N][,"sid":SID]
//  [,"device":KIND]}.
// Refuses unknown members, wrong types, numbers above 32 bits, empty paths, unknown actions and a
// process action without a target pid, saying which in sError.
bool ParseAccess(std::string_view sJson, CAccess& access, std::string& sError);
// The JSON form ParseAccess reads.
std::string AccessJson(const CAccess& access);

struct CJudgment {
    bool bViolation = false;
    // What decided, e.g. "deny by rule \"deny-protected-file\" (section 0x201)", "rule \"x\" (section
    // 0x202)", "default effect (section 0x201)", "no rules loaded".
    std::string sReason;
};

// An authorization rule set allowing the actor or an exclusion rule set allowing the access clears
// it; otherwise the first protected-resources rule set that denies makes it a violation. qwTime is the
// access's time as a FILETIME (UTC).
CJudgment Judge(const CDriverConfiguration& config, const CAccess& access, std::uint64_t qwTime);

// Now as a FILETIME (UTC).
std::uint64_t FileTimeNow();

}  // namespace krelldrv
