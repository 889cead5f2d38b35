// The process's command line as the platform hands it over: one string, the program path first,
// arguments separated by spaces, arguments with spaces in double quotes.
#pragma once

#include <string>

namespace platform {

std::u16string GetCommandLine();

}  // namespace platform
