// A whole IPv4 packet as a raw ICMP socket hands it over. The input is the request (destination,
// identifier, sequence: 8 bytes) and then the packet.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "measure/icmp_packet.h"

using icmp_packet::EchoRequest;
using icmp_packet::JudgeRawPacket;
using icmp_packet::Verdict;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) {
    return 0;
  }
  EchoRequest request;
  std::memcpy(&request.address, data, 4);
  std::memcpy(request.identifier.data(), data + 4, 2);
  std::memcpy(request.sequence.data(), data + 6, 2);
  // A buffer of exactly the packet's size: a read past it is the sanitizer's to catch.
  const std::vector<uint8_t> packet(data + 8, data + size);
  const Verdict verdict = JudgeRawPacket(packet, request);
  if (verdict == Verdict::Foreign) {
    return 0;
  }

  const size_t header = static_cast<size_t>(packet[0] & 0x0f) * 4;
  const size_t total = static_cast<size_t>(packet[2]) << 8 | packet[3];
  if (verdict == Verdict::Answer) {
    Require(std::memcmp(packet.data() + 12, &request.address, 4) == 0,
            "an answer comes from the destination");
    Require(std::memcmp(packet.data() + header + 4, request.identifier.data(), 2) == 0 &&
                std::memcmp(packet.data() + header + 6, request.sequence.data(), 2) == 0,
            "an answer carries the request's identifier and sequence");
  }
  // The link may pad a packet; what lies past its total length changes nothing.
  std::vector<uint8_t> padded = packet;
  padded.insert(padded.end(), 16, 0xa5);
  Require(JudgeRawPacket(padded, request) == verdict, "padding past the total length is ignored");
  // A packet cut short of its total length is never read.
  for (const size_t cut : {total - 1, header + 7, size_t{19}}) {
    if (cut < packet.size()) {
      const std::vector<uint8_t> shorter(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(cut));
      Require(JudgeRawPacket(shorter, request) == Verdict::Foreign, "a cut packet is foreign");
    }
  }
  return 0;
}
