// The time a TCP connection takes to open: for hosts that drop ICMP but serve a port (the DynamoDB
// endpoints answer on 443 and not to echo requests). Needs no privilege.
#pragma once

#include <cstdint>
#include <optional>

// Opens a TCP connection to the address (network byte order) and port, and closes it at once without
// sending anything. The time from the SYN until the connection stood, in microseconds, or nothing: the
// port refused, an ICMP error, no connection within timeoutMs, or a time-out of 0 or less. A refusal
// counts as no answer because it says nothing of the service the port stands for.
std::optional<int64_t> TcpConnectUs(uint32_t address, uint16_t port, int32_t timeoutMs);
