// Address conversions used to sort addresses numerically:
//   NetToHostLong(AddrFromText("10.0.0.2")) > NetToHostLong(AddrFromText("9.255.255.255"))
#pragma once

#include <cstdint>
#include <string>

// inet_addr of the text: network byte order; an invalid text gives INADDR_NONE (0xFFFFFFFF).
std::uint32_t AddrFromText(const std::string& Text);

// ntohl.
std::uint32_t NetToHostLong(std::uint32_t Value);
