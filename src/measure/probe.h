// The latency probe: one ICMP echo request to one IPv4 host, and the round-trip time of its answer.
// Callable from many threads at once; needs a datagram ICMP socket (net.ipv4.ping_group_range holding
// the user's group) or a raw one (CAP_NET_RAW).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The address of a host text in network byte order: the inet_addr forms first ("1.2.3.4", "1.2.3",
// "0x7f.1", …), otherwise the first IPv4 address the system resolver gives for the name.
std::optional<uint32_t> ResolveHost(std::string_view host);

// Sends one echo request without payload to the address (network byte order) and waits at most
// timeoutMs for its answer. The round-trip time in microseconds, or nothing: no answer in time, an
// ICMP error answering the request, no way to send, or a time-out of 0 or less.
std::optional<int64_t> EchoRoundTripUs(uint32_t address, int32_t timeoutMs);

// The round-trip time to the host in whole milliseconds rounded down, or -1 when there is none.
// Without a time-out the wait is 10000 ms; the name lookup is not counted in it.
int32_t PingHost(std::string_view host, std::optional<int32_t> timeoutMs = std::nullopt);

// Which socket kind the probe settled on; Fresh until the first probe decides.
enum class ProbeMode { Fresh, Datagram, Raw, Unavailable };
ProbeMode CurrentProbeMode();

// At process end. The probe holds nothing that a call still in flight could lose.
void ReleaseProbeState();

namespace probe_testing {
// Back to Fresh, so that a test can make the decision again under other permissions.
void ResetProbeState();
// How often the socket kind was decided since the last reset.
int InitialisationCount();
}  // namespace probe_testing
