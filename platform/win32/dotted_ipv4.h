#pragma once
// The text form of an IPv4 address that the platform accepts: exactly four
// decimal numbers 0..255 joined by dots, without signs, blanks or leading zeros
// ("127.0.0.2"). No host names and none of the short or octal forms that
// inet_addr reads ("127.1", "010.0.0.1"). Windows XP has no inet_pton.
#include <cstdint>
#include <string_view>

namespace axg::win32 {

// The address in host byte order, or false when the text is not such a literal.
bool ParseDottedIPv4(std::string_view text, std::uint32_t* address);

}  // namespace axg::win32
