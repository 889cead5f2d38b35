// The name of a service's terminate event: the one stop signal another process (the host's terminate
// switch, an operator's tool) may give the service. Named objects take "Global\" before it.
#pragma once

#include <string>
#include <string_view>

inline std::u16string TerminateEventName(std::u16string_view sServiceName) {
    return std::u16string(sServiceName) + u"_Terminate_Lock";
}
