// The pieces of the network port that need no network: the endpoint line of
// a ports/COM<n> file, and the Telnet codec of RFC 2217.

#include "serial/netendpoint.h"
#include "serial/telnetcodec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace telnet {
void PrintTo(const Event& e, std::ostream* out)
{
    *out << "{" << int(e.verb) << "," << int(e.option) << ", " << e.payload.size() << " bytes}";
}
} // namespace telnet

namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

TEST(NetEndpoint, ParsesWhatTheUserWrites)
{
    const struct {
        const char* line;
        bool ok;
        NetProtocol protocol;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"rfc2217://radio-pi:4001", true, NetProtocol::Rfc2217, "radio-pi", 4001},
        {"tcp://10.0.0.2:2000", true, NetProtocol::RawTcp, "10.0.0.2", 2000},
        {"  rfc2217://[::1]:7000\r\n", true, NetProtocol::Rfc2217, "::1", 7000},
        {"tcp://scanner.local:65535", true, NetProtocol::RawTcp, "scanner.local", 65535},
        {"", false, {}, "", 0},
        {"rfc2217://radio-pi", false, {}, "", 0},
        {"rfc2217://:4001", false, {}, "", 0},
        {"rfc2217://radio-pi:0", false, {}, "", 0},
        {"rfc2217://radio-pi:65536", false, {}, "", 0},
        {"rfc2217://radio-pi:40a1", false, {}, "", 0},
        {"rfc2217://radio-pi:4001 extra", false, {}, "", 0},
        {"rfc2217://radio pi:4001", false, {}, "", 0},
        {"rfc2217://[::1:4001", false, {}, "", 0},
        {"rfc2217://[radio]:4001", false, {}, "", 0},
        {"telnet://radio-pi:4001", false, {}, "", 0},
        {"RFC2217://radio-pi:4001", false, {}, "", 0},
        {"/dev/ttyUSB0", false, {}, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = ParseNetEndpoint(c.line);
        ASSERT_EQ(parsed.has_value(), c.ok);
        if (c.ok) {
            EXPECT_EQ(parsed->protocol, c.protocol);
            EXPECT_EQ(parsed->host, c.host);
            EXPECT_EQ(parsed->port, c.port);
            // The text shown in messages reads back as the same endpoint.
            const auto again = ParseNetEndpoint(parsed->Text());
            ASSERT_TRUE(again.has_value()) << parsed->Text();
            EXPECT_EQ(again->host, parsed->host);
        }
    }
}

TEST(NetEndpoint, OnlyARegularFileWithOneLineIsAnEndpoint)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ostrelle-endpoint-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto write = [&](const char* name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    };
    fs::create_symlink(write("one", "rfc2217://127.0.0.1:4001\n"), dir / "linked");
    const struct {
        std::string path;
        EndpointFile expected;
    } cases[] = {
        {(dir / "one").string(), EndpointFile::Endpoint},
        {(dir / "linked").string(), EndpointFile::Endpoint},
        {write("blank-after", "tcp://127.0.0.1:4001\n\n  \n"), EndpointFile::Endpoint},
        {write("two", "tcp://127.0.0.1:4001\ntcp://127.0.0.1:4002\n"), EndpointFile::Malformed},
        {write("text", "not a port"), EndpointFile::Malformed},
        {write("empty", ""), EndpointFile::Malformed},
        {write("huge", std::string(4096, 'x')), EndpointFile::Malformed},
        {(dir / "missing").string(), EndpointFile::NotAFile},
        {dir.string(), EndpointFile::NotAFile},
        {"/dev/null", EndpointFile::NotAFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        NetEndpoint endpoint;
        EXPECT_EQ(ReadNetEndpointFile(c.path, endpoint), c.expected);
    }
    fs::remove_all(dir);
}

TEST(TelnetCodec, DoublesIacInDataAndInCommandValues)
{
    const struct {
        Bytes data;
        Bytes escaped;
    } cases[] = {
        {{}, {}},
        {{1, 2, 3}, {1, 2, 3}},
        {{IAC}, {IAC, IAC}},
        {{IAC, IAC}, {IAC, IAC, IAC, IAC}},
        {{0, IAC, 1}, {0, IAC, IAC, 1}},
    };
    for (const auto& c : cases) {
        Bytes out;
        AppendEscaped(c.data.data(), c.data.size(), out);
        EXPECT_EQ(out, c.escaped);
    }
    EXPECT_EQ(ComPortFrame(SET_BAUDRATE, BaudValue(115200)), (Bytes{IAC, SB, COM_PORT, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE}));
    EXPECT_EQ(ComPortFrame(SET_BAUDRATE, BaudValue(0xFF00FF)),
              (Bytes{IAC, SB, COM_PORT, 1, 0x00, IAC, IAC, 0x00, IAC, IAC, IAC, SE}));
    EXPECT_EQ(ComPortFrame(PURGE_DATA, {PURGE_RECEIVE}), (Bytes{IAC, SB, COM_PORT, 12, 1, IAC, SE}));
}

struct DecodeCase {
    const char* name;
    Bytes stream;
    Bytes data;
    std::vector<Event> events;
};


// Every case is fed whole, cut in two at every place, and byte by byte: a
// sequence split across reads must decode exactly as one that is not.
TEST(TelnetCodec, DecodesTheSameHoweverTheStreamIsCut)
{
    const Bytes longSub = [] {
        Bytes b{IAC, SB, COM_PORT};
        b.insert(b.end(), Decoder::kMaxPayload + 10, 7);
        b.insert(b.end(), {IAC, SE, 42});
        return b;
    }();
    const DecodeCase cases[] = {
        {"plain data", {1, 2, 3}, {1, 2, 3}, {}},
        {"doubled IAC is one data byte", {1, IAC, IAC, 2}, {1, IAC, 2}, {}},
        {"negotiation between data", {1, IAC, WILL, SGA, 2}, {1, 2}, {{WILL, SGA, {}}}},
        {"ser2net's greeting",
         {IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, COM_PORT},
         {},
         {{WILL, SGA, {}}, {DO, SGA, {}}, {WILL, 1, {}}, {DONT, 1, {}}, {DO, BINARY, {}}, {WILL, BINARY, {}},
          {DO, COM_PORT, {}}}},
        {"baud confirmation",
         {IAC, SB, COM_PORT, 101, 0, 1, 0xC2, 0, IAC, SE, 9},
         {9},
         {{SB, COM_PORT, {101, 0, 1, 0xC2, 0}}}},
        {"IAC doubled inside a subnegotiation", {IAC, SB, COM_PORT, 101, IAC, IAC, IAC, SE}, {}, {{SB, COM_PORT, {101, IAC}}}},
        {"commands without an option vanish", {5, IAC, NOP, 6, IAC, SE, 7}, {5, 6, 7}, {}},
        {"an unended subnegotiation ends at the next command",
         {IAC, SB, COM_PORT, 106, 3, IAC, WILL, SGA, 8},
         {8},
         {{SB, COM_PORT, {106, 3}}, {WILL, SGA, {}}}},
        {"an overlong subnegotiation is cut", longSub, {42}, {{SB, COM_PORT, Bytes(Decoder::kMaxPayload, 7)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<size_t>> cuts{{}};
        for (size_t at = 1; at < c.stream.size(); ++at) {
            cuts.push_back({at});
        }
        std::vector<size_t> everyByte;
        for (size_t at = 1; at < c.stream.size(); ++at) {
            everyByte.push_back(at);
        }
        cuts.push_back(everyByte);
        for (const auto& cut : cuts) {
            Decoder decoder;
            Bytes data;
            std::vector<Event> events;
            size_t from = 0;
            for (size_t i = 0; i <= cut.size(); ++i) {
                const size_t to = i < cut.size() ? cut[i] : c.stream.size();
                decoder.Feed(c.stream.data() + from, to - from, data, events);
                from = to;
            }
            EXPECT_EQ(data, c.data) << "cut at " << (cut.empty() ? 0 : cut[0]) << " of " << cut.size();
            EXPECT_EQ(events, c.events) << "cut at " << (cut.empty() ? 0 : cut[0]) << " of " << cut.size();
        }
    }
}

} // namespace
