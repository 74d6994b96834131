#include "serial/netendpoint.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kTcpScheme = "tcp://";
constexpr size_t kMaxLine = 512;

std::string_view Trimmed(std::string_view s)
{
    constexpr std::string_view blanks = " \t\r\n";
    const size_t first = s.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view()
                                           : s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool HostCharOk(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

std::optional<uint16_t> PortNumber(std::string_view digits)
{
    if (digits.empty() || digits.size() > 5) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

} // namespace

std::string NetEndpoint::Text() const
{
    const bool bracket = host.find(':') != std::string::npos;
    return std::string(protocol == NetProtocol::Rfc2217 ? kRfc2217Scheme : kTcpScheme) + (bracket ? "[" : "") +
           host + (bracket ? "]" : "") + ":" + std::to_string(port);
}

std::optional<NetEndpoint> ParseNetEndpoint(std::string_view line)
{
    std::string_view rest = Trimmed(line);
    NetEndpoint endpoint;
    if (rest.substr(0, kRfc2217Scheme.size()) == kRfc2217Scheme) {
        endpoint.protocol = NetProtocol::Rfc2217;
        rest.remove_prefix(kRfc2217Scheme.size());
    } else if (rest.substr(0, kTcpScheme.size()) == kTcpScheme) {
        endpoint.protocol = NetProtocol::RawTcp;
        rest.remove_prefix(kTcpScheme.size());
    } else {
        return std::nullopt;
    }
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        for (const char c : host) {
            const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.') {
                return std::nullopt;
            }
        }
        rest.remove_prefix(close + 2);
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        for (const char c : host) {
            if (!HostCharOk(c)) {
                return std::nullopt;
            }
        }
        rest.remove_prefix(colon + 1);
    }
    const auto port = PortNumber(rest);
    if (host.empty() || host.size() > 253 || !port) {
        return std::nullopt;
    }
    endpoint.host = std::string(host);
    endpoint.port = *port;
    return endpoint;
}

EndpointFile ReadNetEndpointFile(const std::string& path, NetEndpoint& endpoint)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || ec) {
        return EndpointFile::NotAFile;
    }
    std::ifstream in(path, std::ios::binary);
    std::string content(kMaxLine + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<size_t>(in.gcount()));
    const size_t newline = content.find('\n');
    // Only blanks may follow the one line; a longer file is not an endpoint.
    if (content.size() > kMaxLine || (newline != std::string::npos &&
                                      !Trimmed(std::string_view(content).substr(newline)).empty())) {
        return EndpointFile::Malformed;
    }
    const auto parsed = ParseNetEndpoint(content);
    if (!parsed) {
        return EndpointFile::Malformed;
    }
    endpoint = *parsed;
    return EndpointFile::Endpoint;
}
