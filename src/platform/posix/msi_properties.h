// What the package reader program (krellmsiread) hands back: the Property table of one package, as
// records of a 32-bit length and UTF-8 text, name then value, in the table's order.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace platform::posix {

using CMsiProperties = std::map<std::u16string, std::u16string>;

// Exit codes of the reader besides 0 (the records follow on standard output).
constexpr int MSI_READER_NOT_A_DATABASE = 2;
constexpr int MSI_READER_NO_PROPERTY_TABLE = 3;

inline void AppendMsiRecordField(std::string* psOut, std::string_view sText) {
    const auto cb = static_cast<std::uint32_t>(sText.size());
    psOut->append(reinterpret_cast<const char*>(&cb), sizeof(cb));
    psOut->append(sText);
}

// False when the bytes are not whole records (the reader died while writing, or wrote something else).
bool ParseMsiProperties(std::string_view sBytes, CMsiProperties* pProperties);

}  // namespace platform::posix
