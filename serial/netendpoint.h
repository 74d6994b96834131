#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A radio served over the network (by ser2net, say) instead of a local
// device. A ports/COM<n> entry that is a regular file holding one line,
// "rfc2217://HOST:PORT" or "tcp://HOST:PORT", names such an endpoint.
enum class NetProtocol : uint8_t {
    Rfc2217 = 1, // Telnet with the com-port option: line settings travel too
    RawTcp = 2,  // plain bytes; the server's own line settings apply
};

struct NetEndpoint {
    NetProtocol protocol = NetProtocol::Rfc2217;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
    uint16_t port = 0;

    // The line as the user wrote it, for messages.
    std::string Text() const;
};

// Parses one line; surrounding blanks and a trailing CR are allowed, nothing
// else. IPv6 addresses go in brackets: rfc2217://[::1]:4001.
std::optional<NetEndpoint> ParseNetEndpoint(std::string_view line);

enum class EndpointFile : uint8_t {
    NotAFile = 0,  // absent, a device, a directory: not ours to judge
    Endpoint = 1,  // a regular file with a valid endpoint line
    Malformed = 2, // a regular file whose content is not an endpoint line
};

// Looks at `path` (links followed) and, for a regular file, reads its first
// line. Reads a bounded amount, so a large file put there by mistake costs
// nothing.
EndpointFile ReadNetEndpointFile(const std::string& path, NetEndpoint& endpoint);
