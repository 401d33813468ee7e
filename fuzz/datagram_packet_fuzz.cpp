// What a datagram ICMP socket hands over: an ICMP message without IP header, from an address, or an
// entry of the error queue. The input is the request (destination, identifier, sequence: 8 bytes), the
// address (4), a selector (bit 0: error queue; bits 1-3: its origin), the error's ICMP type, then the
// message or the quoted bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "measure/icmp_packet.h"

using icmp_packet::EchoRequest;
using icmp_packet::Verdict;

namespace {

Verdict Judge(bool queued, uint8_t origin, uint8_t type, const std::vector<uint8_t>& body, uint32_t address,
              const EchoRequest& request) {
  return queued ? icmp_packet::JudgeQueuedError(origin, type, body, address, request)
                : icmp_packet::JudgeIcmp(body, address, request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 14) {
    return 0;
  }
  EchoRequest request;
  std::memcpy(&request.address, data, 4);
  std::memcpy(request.identifier.data(), data + 4, 2);
  std::memcpy(request.sequence.data(), data + 6, 2);
  uint32_t address = 0;
  std::memcpy(&address, data + 8, 4);
  const bool queued = (data[12] & 1) != 0;
  const auto origin = static_cast<uint8_t>(data[12] >> 1 & 7);
  const uint8_t type = data[13];
  // A buffer of exactly the message's size: a read past it is the sanitizer's to catch.
  const std::vector<uint8_t> body(data + 14, data + size);

  const Verdict verdict = Judge(queued, origin, type, body, address, request);
  if (verdict == Verdict::Foreign) {
    return 0;
  }
  if (verdict == Verdict::Answer) {
    Require(!queued && address == request.address, "an answer comes from the destination");
    Require(std::memcmp(body.data() + 4, request.identifier.data(), 2) == 0 &&
                std::memcmp(body.data() + 6, request.sequence.data(), 2) == 0,
            "an answer carries the request's identifier and sequence");
  }
  if (verdict == Verdict::Refusal && queued) {
    Require(address == request.address, "a queued error quotes the destination");
  }
  // Bytes after what was judged cannot make it about another request.
  std::vector<uint8_t> longer = body;
  longer.insert(longer.end(), 16, 0xa5);
  Require(Judge(queued, origin, type, longer, address, request) == verdict, "trailing bytes change nothing");
  return 0;
}
