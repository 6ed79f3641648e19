// Feeds arbitrary bytes to the echo service's packet parser and matcher. The first byte picks
// the socket kind (IP header or not) and whether checksums are verified.
#include "zsPingHelper.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

bool Inside(std::span<const std::uint8_t> Part, std::span<const std::uint8_t> Whole) {
    return Part.empty() || (Part.data() >= Whole.data() &&
                            Part.data() + Part.size() <= Whole.data() + Whole.size());
}

// A request that the parsed message would answer, if anything does: a reply or an error must
// complete it exactly once.
void CheckMatcher(const TIcmpMessage& Message) {
    const std::vector<std::uint8_t> Payload(Message.Data.begin(), Message.Data.end());
    TEchoMatcher Matcher;
    TEchoMatcher::TRequest Request;
    Request.Destination =
        Message.Kind == TIcmpMessage::EchoReply ? Message.Source : Message.Destination;
    Request.Payload = Payload;
    Matcher.Add(Message.Identifier, Message.Sequence, &Request);
    TEchoMatcher::TRequest* Done = Matcher.Deliver(Message);
    if (Message.Kind == TIcmpMessage::EchoReply && (Done != &Request || Request.IPStatus != 0))
        __builtin_trap();
    if (Done && (Matcher.Size() != 0 || Matcher.Deliver(Message) != nullptr))
        __builtin_trap();
    if (!Done && Matcher.Size() != 1)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0)
        return 0;
    const std::uint8_t Flags = Data[0];
    const std::span<const std::uint8_t> Packet(Data + 1, Size - 1);
    TIcmpMessage Message;
    if (ParseIcmpPacket(Packet, Flags & 1, Flags & 2, 0x0100007F, Message)) {
        if (!Inside(Message.Data, Packet))
            __builtin_trap();
        if (Message.Kind == TIcmpMessage::Error &&
            !IPStatusFromIcmpError(Message.Type, Message.Code) &&
            Message.Type != ICMP_TYPE_REDIRECT)
            __builtin_trap();
        CheckMatcher(Message);
    }
    if (ParseQueuedIcmpError(Packet, 0x0900007F, Flags >> 4, Flags & 15, 0x0100007F, Message))
        CheckMatcher(Message);
    (void)IcmpChecksum(Packet);
    return 0;
}
