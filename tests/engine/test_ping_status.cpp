#include "zsPingStatus.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

TEST(PingStatus, MapsEveryIPStatusOfTheTable) {
    struct Case {
        std::int32_t IPStatus;
        int Code;
        const char* Name;
    };
    const Case Cases[] = {
        {0, 0, "SUCCESS"},
        {11001, 1, "BUF_TOO_SMALL"},
        {11002, 2, "DEST_NET_UNREACHABLE"},
        {11003, 3, "DEST_HOST_UNREACHABLE"},
        {11004, 19, "UNKNOWN_ERROR"}, // protocol unreachable has no code of its own
        {11005, 4, "DEST_PORT_UNREACHABLE"},
        {11006, 5, "NO_RESOURCES"},
        {11007, 6, "BAD_OPTION"},
        {11008, 7, "HW_ERROR"},
        {11009, 8, "PACKET_TOO_BIG"},
        {11010, 9, "REQ_TIMED_OUT"},
        {11011, 10, "BAD_REQ"},
        {11012, 11, "BAD_ROUTE"},
        {11013, 12, "TTL_EXPIRED_TRANSIT"},
        {11014, 13, "TTL_EXPIRED_REASSEM"},
        {11015, 14, "PARAM_PROBLEM"},
        {11016, 15, "SOURCE_QUENCH"},
        {11017, 16, "OPTION_TOO_BIG"},
        {11018, 17, "BAD_DESTINATION"},
        {11019, 19, "UNKNOWN_ERROR"},
        {11000, 19, "UNKNOWN_ERROR"},
        {11050, 19, "UNKNOWN_ERROR"},
        {11255, 19, "UNKNOWN_ERROR"},
        {1, 19, "UNKNOWN_ERROR"},
        {-1, 19, "UNKNOWN_ERROR"},
        {INT32_MIN, 19, "UNKNOWN_ERROR"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.IPStatus);
        EXPECT_EQ(StatusFromIPStatus(C.IPStatus), C.Code);
        EXPECT_EQ(StatusName(StatusFromIPStatus(C.IPStatus)), C.Name);
    }
}

TEST(PingStatus, NamesOfOurOwnCodesAndOutOfRange) {
    EXPECT_EQ(StatusName(18), "Cannot Resolve IP Address");
    EXPECT_EQ(StatusName(19), "UNKNOWN_ERROR");
    EXPECT_EQ(StatusName(20), "INITIALIZING");
    EXPECT_EQ(StatusName(21), "UNKNOWN_ERROR");
    EXPECT_EQ(StatusName(255), "UNKNOWN_ERROR");
    EXPECT_EQ(StatusName(-1), "UNKNOWN_ERROR");
}

// Words for people: every code has its own, none is a constant's name, and codes out of range
// read as the unknown error.
TEST(PingStatus, WordsForEveryCode) {
    std::set<std::string> Seen;
    for (int Code = 0; Code <= 20; ++Code) {
        SCOPED_TRACE(Code);
        const std::string Words = StatusWords(Code);
        EXPECT_TRUE(Seen.insert(Words).second) << Words;
        EXPECT_EQ(Words.find('_'), std::string::npos) << Words;
        EXPECT_NE(Words, StatusName(Code) == "Cannot Resolve IP Address" ? "" : StatusName(Code));
    }
    EXPECT_EQ(StatusWords(PING_STATUS_REQ_TIMED_OUT), "Request timed out");
    EXPECT_EQ(StatusWords(2), "Destination network unreachable");
    EXPECT_EQ(StatusWords(18), "Cannot Resolve IP Address");
    EXPECT_EQ(StatusWords(19), "Unknown error");
    EXPECT_EQ(StatusWords(21), "Unknown error");
    EXPECT_EQ(StatusWords(-1), "Unknown error");
}
