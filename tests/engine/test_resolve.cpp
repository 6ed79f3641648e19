#include "ping_funcs.h"
#include "zsNetworkConversions.h"
#include "zsPingErrors.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Only names that need no network: localhost, literals, and names the resolver refuses
// without asking a DNS server.
TEST(Resolve, NamesAndLiterals) {
    struct Case {
        std::string Target;
        const char* Address; // null: not resolved
    };
    const Case Cases[] = {
        {"localhost", "127.0.0.1"},
        {"127.0.0.1", "127.0.0.1"},
        {"200.129.255.1", "200.129.255.1"}, // bytes above 127 print unsigned
        {"10.1", "10.0.0.1"},               // the short forms inet_aton accepts
        {"0x0a.0.0.1", "10.0.0.1"},
        {"127.1", "127.0.0.1"},
        {"012.0.0.1", "10.0.0.1"}, // octal
        {"16909060", "1.2.3.4"},
        {"255.255.255.255", "255.255.255.255"},
        {"bad..name", nullptr},
        {"no such host", nullptr},
        {"", nullptr},
        {std::string(10000, 'a'), nullptr},
        {std::string(255, 'a'), nullptr}, // longer than any DNS name
        {"local\thost", nullptr},
        {"localhost\n", nullptr},
        {"localhost\x7f", nullptr},
        {"localhost\0evil"s, nullptr},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Target.substr(0, 40));
        std::string Address = "stale";
        std::string Error = "untouched";
        const bool Resolved = ResolveHost(C.Target, Address, Error);
        EXPECT_EQ(Resolved, C.Address != nullptr);
        if (C.Address) {
            EXPECT_EQ(Address, C.Address);
            EXPECT_EQ(Error, "untouched");
        } else {
            EXPECT_EQ(Address, "");
            EXPECT_EQ(Error, "IP Address could not be resolved");
        }
    }
}

TEST(Resolve, SendEchoRaisesBeforeAnyRequest) {
    struct Case {
        std::string Target;
        const char* Message;
        const char* AddressAfter;
    };
    const Case Cases[] = {
        {"", "IP Address could not be resolved", ""},
        {std::string(10000, 'x'), "IP Address could not be resolved", ""},
        {"\x01\x02\x03\r\n\t", "IP Address could not be resolved", ""},
        {"bad..name", "IP Address could not be resolved", ""},
        // Resolves, but inet_addr cannot tell it from its error value; the address text is
        // left as the caller had it.
        {"255.255.255.255", "Function call inet_addr failed.  The IP address is probably invalid.",
         "previous"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Target.substr(0, 40));
        TReplyBuffer Reply{};
        std::string Address = "previous";
        try {
            SendEcho(C.Target, "payload", Reply, 100, Address);
            ADD_FAILURE() << "no error raised";
        } catch (const EPingError& E) {
            EXPECT_STREQ(E.what(), C.Message);
        }
        EXPECT_EQ(Address, C.AddressAfter);
    }
}

TEST(Resolve, AddressConversions) {
    struct Case {
        std::string Text;
        std::uint32_t HostOrder;
    };
    const Case Cases[] = {
        {"10.0.0.2", 0x0A000002},
        {"200.129.255.1", 0xC881FF01},
        {"10.1", 0x0A000001},
        {"0x0a.0.0.1", 0x0A000001},
        {"012.0.0.1", 0x0A000001}, // octal
        {"1.2.65535", 0x0102FFFF},
        {"16909060", 0x01020304},
        {"1.2.3.4 trailing words", 0x01020304}, // inet_addr stops at white space
        {"0.0.0.0", 0},
        {"255.255.255.255", 0xFFFFFFFF},
        {"", 0xFFFFFFFF},
        {"256.0.0.1", 0xFFFFFFFF},
        {"1.2.3.4.5", 0xFFFFFFFF},
        {"1.2.3.4x", 0xFFFFFFFF},
        {"localhost", 0xFFFFFFFF},
        {"1.2.3.4\0junk"s, 0xFFFFFFFF},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        EXPECT_EQ(NetToHostLong(AddrFromText(C.Text)), C.HostOrder);
    }
    // Network byte order in, numeric order out.
    const std::uint32_t Loopback = AddrFromText("127.0.0.1");
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&Loopback)[0], 127);
    EXPECT_GT(NetToHostLong(AddrFromText("10.0.0.2")),
              NetToHostLong(AddrFromText("9.255.255.255")));
}
