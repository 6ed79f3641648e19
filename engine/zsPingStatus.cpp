#include "zsPingStatus.h"

#include <array>

TPingStatus StatusFromIPStatus(std::int32_t IPStatus) {
    if (IPStatus == IP_SUCCESS) {
        return PING_STATUS_SUCCESS;
    }
    // 11004 (protocol unreachable) has no code of its own: the codes run on past it.
    if (IPStatus >= IP_BUF_TOO_SMALL && IPStatus <= IP_DEST_HOST_UNREACHABLE) {
        return static_cast<TPingStatus>(IPStatus - 11000);
    }
    if (IPStatus >= IP_DEST_PORT_UNREACHABLE && IPStatus <= IP_BAD_DESTINATION) {
        return static_cast<TPingStatus>(IPStatus - 11001);
    }
    return PING_STATUS_UNKNOWN_ERROR;
}

std::string StatusName(int Code) {
    static const std::array<const char*, 21> Names = {
        "SUCCESS",
        "BUF_TOO_SMALL",
        "DEST_NET_UNREACHABLE",
        "DEST_HOST_UNREACHABLE",
        "DEST_PORT_UNREACHABLE",
        "NO_RESOURCES",
        "BAD_OPTION",
        "HW_ERROR",
        "PACKET_TOO_BIG",
        "REQ_TIMED_OUT",
        "BAD_REQ",
        "BAD_ROUTE",
        "TTL_EXPIRED_TRANSIT",
        "TTL_EXPIRED_REASSEM",
        "PARAM_PROBLEM",
        "SOURCE_QUENCH",
        "OPTION_TOO_BIG",
        "BAD_DESTINATION",
        "Cannot Resolve IP Address",
        "UNKNOWN_ERROR",
        "INITIALIZING",
    };
    if (Code < 0 || Code >= static_cast<int>(Names.size())) {
        return "UNKNOWN_ERROR";
    }
    return Names[static_cast<std::size_t>(Code)];
}

std::string StatusWords(int Code) {
    static const std::array<const char*, 21> Words = {
        "Reply",
        "Buffer too small",
        "Destination network unreachable",
        "Destination host unreachable",
        "Destination port unreachable",
        "No resources",
        "Bad option",
        "Hardware error",
        "Packet too big",
        "Request timed out",
        "Bad request",
        "Bad route",
        "Time to live expired in transit",
        "Time to live expired during reassembly",
        "Parameter problem",
        "Source quench",
        "Option too big",
        "Bad destination",
        "Cannot Resolve IP Address",
        "Unknown error",
        "Initializing",
    };
    if (Code < 0 || Code >= static_cast<int>(Words.size())) {
        return "Unknown error";
    }
    return Words[static_cast<std::size_t>(Code)];
}
