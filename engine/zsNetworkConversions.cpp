#include "zsNetworkConversions.h"

#include <arpa/inet.h>

std::uint32_t AddrFromText(const std::string& Text) {
    // inet_addr stops at the first NUL; text with one inside is not an address.
    if (Text.find('\0') != std::string::npos)
        return INADDR_NONE;
    return ::inet_addr(Text.c_str());
}

std::uint32_t NetToHostLong(std::uint32_t Value) {
    return ntohl(Value);
}
