// Feeds arbitrary bytes to the ICMP helper's request parser, as its connection would deliver
// them, for the helper of either family (the first byte picks it). Whatever it accepts must be
// within the limits and write back to the very bytes it came from; the answer matcher and the
// response parser get the same bytes.
#include "zsIcmpHelperProtocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0)
        return 0;
    const int Family = (Data[0] & 1) ? 6 : 4;
    const std::span<const std::uint8_t> Message(Data + 1, Size - 1);
    if (const auto Request = ParseHelperRequest(Message, Family)) {
        const std::size_t Limit = Family == 4 ? HelperMaxPayload4 : HelperMaxPayload6;
        if (Request->Family != Family || Request->HopLimit == 0 ||
            Request->Payload.size() > Limit || !HelperDestinationAllowed(Family, Request->Address))
            __builtin_trap();
        if (!std::ranges::equal(BuildHelperRequest(*Request), Message))
            __builtin_trap();
        const auto Packet = BuildHelperEchoPacket(*Request);
        if (Packet.size() != 8 + Request->Payload.size() || Packet[0] != (Family == 4 ? 8 : 128) ||
            Packet[1] != 0)
            __builtin_trap();
    }
    std::array<std::uint8_t, 16> From{};
    if (const auto Key = HelperAnswerKey(Family, Message, From)) {
        THelperPending Pending(4);
        Pending.Add(Key->Identifier, Key->Sequence, Key->About, 10, 0);
        if (!Pending.Take(*Key, 0) || Pending.Take(*Key, 0))
            __builtin_trap();
    }
    if (const auto Response = ParseHelperResponse(Message)) {
        const std::vector<std::uint8_t> Again = BuildHelperResponse(*Response);
        const auto Reread = ParseHelperResponse(Again);
        if (!Reread || Reread->Kind != Response->Kind ||
            !std::ranges::equal(Reread->Packet, Response->Packet))
            __builtin_trap();
    }
    return 0;
}
