#include "serial/netport.h"

#include "serial/posixwait.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace posixwait;
using telnet::IAC;

// What may wait unread before the socket is left to hold the rest; a server
// that floods must not grow memory without limit.
constexpr size_t kReceiveCap = size_t{64} * 1024;
// A Telnet frame that has to go out (a purge, an answer) gets this long.
constexpr int kFrameSendLimitMs = 100;
constexpr size_t kShownServerText = 80;

// getaddrinfo() has no time limit of its own; a name server that never
// answers would hold START for as long as the resolver cares to retry. The
// look-up runs on a thread of its own that is left to finish alone when the
// limit passes.
struct Lookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    int rc = 0;
    addrinfo* list = nullptr;
};

int Resolve(const NetEndpoint& endpoint, addrinfo*& list, bool& timedOut)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string service = std::to_string(endpoint.port);
    if (::getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &list) == 0) {
        return 0;
    }
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host = endpoint.host, service, hints] {
            addrinfo* found = nullptr;
            const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            const std::lock_guard<std::mutex> guard(lookup->lock);
            if (lookup->abandoned) {
                if (found != nullptr) {
                    ::freeaddrinfo(found);
                }
            } else {
                lookup->rc = rc;
                lookup->list = found;
            }
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return EAI_SYSTEM;
    }
    std::unique_lock<std::mutex> guard(lookup->lock);
    if (!lookup->finished.wait_for(guard, std::chrono::milliseconds(NetPort::kResolveLimitMs),
                                   [&] { return lookup->done; })) {
        lookup->abandoned = true;
        timedOut = true;
        return EAI_AGAIN;
    }
    list = lookup->list;
    return lookup->rc;
}

// A far end that vanishes without closing (its cable pulled, its power
// gone) must end the connection as a close would, or the port would never
// report it. Unanswered data ends it after kUnackedLimitMs; a quiet
// connection is probed every few seconds.
constexpr int kUnackedLimitMs = 10000;
constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepProbes = 3;

void KeepWatch(int s)
{
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &kKeepProbes, sizeof kKeepProbes);
#endif
#ifdef TCP_USER_TIMEOUT
    const unsigned int limit = kUnackedLimitMs;
    ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit);
#endif
}

std::string Seconds(int ms)
{
    return std::to_string(ms / 1000) + (ms % 1000 != 0 ? "." + std::to_string(ms % 1000 / 100) : "") + " s";
}

} // namespace

NetPort::NetPort(NetEndpoint endpoint)
    : endpoint(std::move(endpoint)), telnetMode(this->endpoint.protocol == NetProtocol::Rfc2217)
{
}

NetPort::~NetPort()
{
    Close();
}

bool NetPort::Open(SerialError& error)
{
    if (!Connect(error)) {
        return false;
    }
    if (telnetMode ? Negotiate(error) : !WaitFor([this] { return lost.load(); }, DeadlineAfter(kSettleMs))) {
        return true;
    }
    if (error.text.empty()) {
        error = TurnedAway();
    }
    Close();
    return false;
}

bool NetPort::Connect(SerialError& error)
{
    const std::string where = endpoint.host + ":" + std::to_string(endpoint.port);
    addrinfo* list = nullptr;
    bool resolveTimedOut = false;
    const int rc = Resolve(endpoint, list, resolveTimedOut);
    if (rc != 0) {
        if (resolveTimedOut) {
            error = SerialError{ETIMEDOUT, "Looking up the host " + endpoint.host + " took longer than " +
                                               Seconds(kResolveLimitMs) + "; is the name server reachable?"};
        } else if (rc == EAI_NONAME || rc == EAI_FAIL || rc == EAI_NODATA) {
            error = SerialError{ENXIO, "The host " + endpoint.host + " is unknown."};
        } else {
            error = SerialError{EHOSTUNREACH, "The host " + endpoint.host + " could not be looked up: " +
                                                  ::gai_strerror(rc)};
        }
        return false;
    }
    const auto deadline = DeadlineAfter(kConnectLimitMs);
    int lastError = ETIMEDOUT;
    for (addrinfo* a = list; a != nullptr && fd < 0 && MsLeft(deadline) > 0; a = a->ai_next) {
        const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            lastError = errno;
            continue;
        }
        int err = 0;
        if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                const short revents = PollFor(s, POLLOUT, deadline);
                socklen_t len = sizeof err;
                if (revents == 0) {
                    err = ETIMEDOUT;
                } else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    err = errno;
                }
            }
        }
        if (err != 0) {
            lastError = err;
            ::close(s);
            continue;
        }
        // Frames are a few bytes each and the radio answers at once: no
        // gathering of small writes.
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        KeepWatch(s);
        fd = s;
    }
    ::freeaddrinfo(list);
    if (fd >= 0) {
        return true;
    }
    switch (lastError) {
    case ECONNREFUSED:
        error = SerialError{ECONNREFUSED, where + " refused the connection. Is ser2net running there, and does it "
                                                  "serve this port?"};
        break;
    case ETIMEDOUT:
        error = SerialError{ETIMEDOUT, where + " did not answer within " + Seconds(kConnectLimitMs) + "."};
        break;
    default:
        error = SerialError{lastError, "Connecting to " + where + ": " + std::strerror(lastError)};
        break;
    }
    return false;
}

bool NetPort::Negotiate(SerialError& error)
{
    using namespace telnet;
    {
        const std::lock_guard<std::mutex> guard(sendLock);
        SendFrame({IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA},
                  DeadlineAfter(kFrameSendLimitMs));
    }
    WaitFor([this] { return comPortAccepted || comPortRefused || lost; }, DeadlineAfter(kNegotiateLimitMs));
    if (lost) {
        return false;
    }
    bool refused = false;
    bool accepted = false;
    {
        const std::lock_guard<std::mutex> guard(rxLock);
        refused = comPortRefused;
        accepted = comPortAccepted;
    }
    if (refused || !accepted) {
        error = SerialError{EPROTO, endpoint.Text() + (refused ? " does not offer the com-port option of RFC 2217"
                                                               : " gave no Telnet answer within " +
                                                                     Seconds(kNegotiateLimitMs)) +
                                        ". For a plain TCP port write tcp:// instead; for ser2net give the "
                                        "accepter telnet(rfc2217)."};
        return false;
    }
    // Baud rate 0 asks for the current one and changes nothing: a server that
    // turns this client away closes before it answers.
    std::vector<std::vector<uint8_t>> current;
    SendCommands({SET_BAUDRATE}, [](size_t) { return BaudValue(0); }, current);
    return !lost;
}

bool NetPort::ApplySettings(const LineSettings& s, SerialError& error)
{
    using namespace telnet;
    if (!telnetMode) {
        return true; // a plain TCP port runs at the settings of the server's own configuration
    }
    // The com-port option numbers the parities in this order from PARITY_NONE.
    const size_t parityAt = std::string_view("NOEMS").find(s.parity);
    const uint8_t parity = parityAt == std::string_view::npos ? 0 : static_cast<uint8_t>(PARITY_NONE + parityAt);
    if (s.baud <= 0 || s.dataBits < 5 || s.dataBits > 8 || parity == 0 || (s.stopBits != 1 && s.stopBits != 2)) {
        error = MakeError(EINVAL, "Line settings");
        return false;
    }
    struct Step {
        uint8_t command;
        std::vector<uint8_t> value;
        const char* what;
        bool mustMatch;
    };
    const Step steps[] = {
        {SET_BAUDRATE, BaudValue(static_cast<uint32_t>(s.baud)), "the baud rate", true},
        {SET_DATASIZE, {static_cast<uint8_t>(s.dataBits)}, "the data bits", true},
        {SET_PARITY, {parity}, "the parity", true},
        {SET_STOPSIZE, {static_cast<uint8_t>(s.stopBits == 2 ? STOP_2 : STOP_1)}, "the stop bits", true},
        // Modem lines may be missing at the server (a pseudo-terminal has
        // none); its answer, or its silence, is taken as it comes.
        {SET_CONTROL, {static_cast<uint8_t>(s.dtrEnable ? DTR_ON : DTR_OFF)}, "DTR", false},
        {SET_CONTROL, {static_cast<uint8_t>(s.rtsEnable ? RTS_ON : RTS_OFF)}, "RTS", false},
    };
    // All go out at once and each confirmation is waited for within the same
    // bound from then on, so that a server that never confirms the modem
    // lines costs that bound once, not once per command.
    std::vector<uint8_t> commands;
    for (const Step& step : steps) {
        commands.push_back(step.command);
    }
    std::vector<std::vector<uint8_t>> applied;
    SendCommands(commands, [&](size_t i) { return steps[i].value; }, applied);
    if (lost) {
        const SerialError away = TurnedAway();
        error = SerialError{away.code, "Setting up the line at " + endpoint.Text() + ": " + away.text};
        return false;
    }
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (steps[i].mustMatch && !applied[i].empty() && applied[i] != steps[i].value) {
            error = SerialError{EINVAL, "Setting up the line at " + endpoint.Text() + ": the server would not set " +
                                            steps[i].what + "."};
            return false;
        }
    }
    return true;
}

void NetPort::Close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    const std::lock_guard<std::mutex> guard(rxLock);
    decoder.Reset();
    rx.clear();
    rxHead = 0;
    for (auto& c : confirms) {
        c.clear();
    }
    std::fill(std::begin(answerCount), std::end(answerCount), uint64_t{0});
    std::fill(std::begin(answered), std::end(answered), false);
    comPortAccepted = false;
    comPortRefused = false;
    purgesConfirmed = true;
    lost = false;
    const std::lock_guard<std::mutex> q(queueLock);
    queued.clear();
}

uint32_t NetPort::BytesWaiting()
{
    if (fd < 0) {
        return 0;
    }
    size_t waiting = 0;
    {
        const std::lock_guard<std::mutex> guard(rxLock);
        Pump();
        waiting = Available();
    }
    AnswerServer();
    return static_cast<uint32_t>(waiting);
}

TransferResult NetPort::ReadSome(void* buffer, int32_t count, int32_t timeoutMs)
{
    TransferResult result;
    if (fd < 0) {
        result.failed = true;
        return result;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    const auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(rxLock);
            for (int pass = 0; pass < 2 && result.count < count; ++pass) {
                if (pass == 1) {
                    Pump();
                }
                const size_t wanted = static_cast<size_t>(count - result.count);
                const auto take = static_cast<int32_t>(std::min(Available(), wanted));
                if (take == 0) {
                    continue; // an empty buffer may have no storage to copy from
                }
                std::memcpy(out + result.count, rx.data() + rxHead, static_cast<size_t>(take));
                rxHead += static_cast<size_t>(take);
                result.count += take;
            }
            if (rxHead == rx.size()) {
                rx.clear();
                rxHead = 0;
            }
        }
        AnswerServer();
        if (result.count == count) {
            return result;
        }
        if (lost) {
            result.failed = true;
            return result;
        }
        if (PollFor(fd, POLLIN, deadline) == 0) {
            result.timedOut = true;
            return result;
        }
    }
}

TransferResult NetPort::WriteAll(const void* buffer, int32_t count, int32_t timeoutMs)
{
    TransferResult result;
    if (fd < 0 || lost) {
        result.failed = true;
        return result;
    }
    const auto* data = static_cast<const uint8_t*>(buffer);
    const auto deadline = DeadlineAfter(timeoutMs);
    const std::lock_guard<std::mutex> guard(sendLock);
    if (!FlushQueued(deadline)) {
        result.failed = lost;
        result.timedOut = !lost;
        return result;
    }
    if (!telnetMode) {
        result.count = static_cast<int32_t>(SendBytes(data, static_cast<size_t>(count), deadline));
    } else {
        std::vector<uint8_t> encoded;
        encoded.reserve(static_cast<size_t>(count) + 8);
        telnet::AppendEscaped(data, static_cast<size_t>(count), encoded);
        const size_t sent = SendBytes(encoded.data(), encoded.size(), deadline);
        // Count the data bytes that went out whole. A doubled 0xFF cut in
        // half is finished before anything else is sent, or the server would
        // read the next bytes as a command.
        size_t at = 0;
        for (int32_t i = 0; i < count && at < sent; ++i) {
            at += data[i] == IAC ? 2 : 1;
            ++result.count;
            if (at == sent + 1) {
                Queue({IAC}, true);
            }
        }
    }
    if (result.count < count) {
        result.failed = lost && result.count == 0;
        result.timedOut = !result.failed;
    }
    return result;
}

bool NetPort::WaitReadable(int32_t timeoutMs)
{
    if (fd < 0) {
        return false;
    }
    const auto deadline = DeadlineAfter(timeoutMs);
    if (WaitFor([this] { return Available() != 0; }, deadline)) {
        return true;
    }
    if (lost) {
        // A closed socket is readable at once and for ever; waiting out the
        // limit keeps every caller's loop from spinning on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(MsLeft(deadline)));
    }
    return false;
}

bool NetPort::HungUp()
{
    if (fd < 0) {
        return false;
    }
    {
        const std::lock_guard<std::mutex> guard(rxLock);
        Pump();
    }
    return lost;
}

void NetPort::Purge()
{
    if (fd < 0) {
        return;
    }
    if (telnetMode && !lost) {
        // Only what the server holds from the radio is dropped; bytes of ours
        // still on their way to the radio are frames that must arrive. The
        // server carries the purge out in its own time, and a command sent
        // before it has confirmed has its reply held up (ser2net) or purged,
        // so the confirmation is waited for. A server that once fails to
        // confirm still gets its purges, but no more waits.
        const auto value = [](size_t) { return std::vector<uint8_t>{telnet::PURGE_RECEIVE}; };
        std::vector<std::vector<uint8_t>> applied;
        const bool wait = purgesConfirmed;
        const size_t answered = SendCommands({telnet::PURGE_DATA}, value, applied, wait ? kPurgeLimitMs : 0);
        if (wait && answered == 0 && !lost) {
            purgesConfirmed = false;
        }
    }
    const std::lock_guard<std::mutex> guard(rxLock);
    Pump();
    rx.clear();
    rxHead = 0;
}

size_t NetPort::SendCommands(const std::vector<uint8_t>& commands,
                             const std::function<std::vector<uint8_t>(size_t)>& valueOf,
                             std::vector<std::vector<uint8_t>>& applied, int limitMs)
{
    // Answers are counted, never cleared, so that two threads purging at
    // once do not take each other's confirmation away. The k-th sending of a
    // command since `before` is answered by answer number before + k; the
    // server answers in order.
    const auto answerOf = [](uint8_t command) { return static_cast<uint8_t>(command + telnet::kServerOffset); };
    std::vector<uint64_t> awaited(commands.size());
    {
        const std::lock_guard<std::mutex> guard(rxLock);
        uint64_t repeats[256] = {};
        for (size_t i = 0; i < commands.size(); ++i) {
            awaited[i] = answerCount[answerOf(commands[i])] + repeats[commands[i]]++;
        }
    }
    {
        std::vector<uint8_t> frames;
        for (size_t i = 0; i < commands.size(); ++i) {
            const auto frame = telnet::ComPortFrame(commands[i], valueOf(i));
            frames.insert(frames.end(), frame.begin(), frame.end());
        }
        const std::lock_guard<std::mutex> guard(sendLock);
        const auto deadline = DeadlineAfter(kFrameSendLimitMs);
        if (FlushQueued(deadline)) {
            SendFrame(frames, deadline);
        }
    }
    const auto answered = [&](size_t i) { return answerCount[answerOf(commands[i])] > awaited[i]; };
    WaitFor([&] {
        for (size_t i = 0; i < commands.size(); ++i) {
            if (!answered(i)) {
                return false;
            }
        }
        return true;
    }, DeadlineAfter(limitMs));
    const std::lock_guard<std::mutex> guard(rxLock);
    applied.assign(commands.size(), {});
    size_t done = 0;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (!answered(i)) {
            continue;
        }
        ++done;
        // The history keeps the last answers; one older than that has no value.
        const auto& history = confirms[answerOf(commands[i])];
        const uint64_t oldest = answerCount[answerOf(commands[i])] - history.size();
        if (awaited[i] >= oldest) {
            applied[i] = history[static_cast<size_t>(awaited[i] - oldest)];
        }
    }
    return done;
}

bool NetPort::WaitFor(const std::function<bool()>& seen, Deadline deadline)
{
    for (;;) {
        {
            const std::lock_guard<std::mutex> guard(rxLock);
            Pump();
            if (seen()) {
                return true;
            }
        }
        AnswerServer();
        if (lost || PollFor(fd, POLLIN, deadline) == 0) {
            const std::lock_guard<std::mutex> guard(rxLock);
            return seen();
        }
    }
}

bool NetPort::Pump()
{
    bool got = false;
    uint8_t chunk[4096];
    std::vector<telnet::Event> events;
    while (!lost && Available() < kReceiveCap) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            lost = true; // the far end closed, or the connection broke
            break;
        }
        got = true;
        if (rxHead > 0 && rxHead == rx.size()) {
            rx.clear();
            rxHead = 0;
        } else if (rxHead > kReceiveCap) {
            rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(rxHead));
            rxHead = 0;
        }
        if (!telnetMode) {
            rx.insert(rx.end(), chunk, chunk + n);
            continue;
        }
        events.clear();
        decoder.Feed(chunk, static_cast<size_t>(n), rx, events);
        for (const auto& event : events) {
            HandleEvent(event);
        }
    }
    return got;
}

void NetPort::HandleEvent(const telnet::Event& event)
{
    using namespace telnet;
    const uint8_t option = event.option;
    const bool ours = option == BINARY || option == SGA || option == COM_PORT;
    switch (event.verb) {
    case SB:
        if (option == COM_PORT && !event.payload.empty()) {
            const uint8_t command = event.payload[0];
            auto& history = confirms[command];
            if (history.size() == kKeptAnswers) {
                history.erase(history.begin());
            }
            history.emplace_back(event.payload.begin() + 1, event.payload.end());
            ++answerCount[command];
        }
        break;
    case DO:
        if (option == COM_PORT) {
            comPortAccepted = true;
        } else if (!ours && !answered[option]) {
            answered[option] = true;
            Queue({IAC, WONT, option});
        }
        break;
    case DONT:
        if (option == COM_PORT) {
            comPortRefused = true;
        }
        break;
    case WILL:
        // The server's echo, or anything else we did not ask for, would mix
        // into the radio's bytes.
        if (option != BINARY && option != SGA && !answered[option]) {
            answered[option] = true;
            Queue({IAC, DONT, option});
        }
        break;
    default:
        break;
    }
}

void NetPort::Queue(const std::vector<uint8_t>& bytes, bool first)
{
    const std::lock_guard<std::mutex> guard(queueLock);
    queued.insert(first ? queued.begin() : queued.end(), bytes.begin(), bytes.end());
}

void NetPort::AnswerServer()
{
    {
        const std::lock_guard<std::mutex> guard(queueLock);
        if (queued.empty()) {
            return;
        }
    }
    // A write in progress sends the answers itself before its own bytes.
    std::unique_lock<std::mutex> sending(sendLock, std::try_to_lock);
    if (sending.owns_lock()) {
        FlushQueued(SteadyClock::now());
    }
}

bool NetPort::FlushQueued(Deadline deadline)
{
    std::vector<uint8_t> pending;
    {
        const std::lock_guard<std::mutex> guard(queueLock);
        pending.swap(queued);
    }
    if (pending.empty()) {
        return true;
    }
    const size_t sent = SendBytes(pending.data(), pending.size(), deadline);
    if (sent == pending.size()) {
        return true;
    }
    Queue(std::vector<uint8_t>(pending.begin() + static_cast<std::ptrdiff_t>(sent), pending.end()), true);
    return false;
}

size_t NetPort::SendBytes(const uint8_t* bytes, size_t count, Deadline deadline)
{
    size_t sent = 0;
    while (sent < count && !lost) {
        const ssize_t n = ::send(fd, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lost = true; // EPIPE, ECONNRESET: the connection is gone
            break;
        }
        const short revents = PollFor(fd, POLLOUT, deadline);
        if (revents == 0) {
            break;
        }
        if ((revents & POLLOUT) == 0) {
            lost = true;
            break;
        }
    }
    return sent;
}

void NetPort::SendFrame(const std::vector<uint8_t>& frame, Deadline deadline)
{
    const size_t sent = SendBytes(frame.data(), frame.size(), deadline);
    if (sent < frame.size() && !lost) {
        Queue(std::vector<uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(sent), frame.end()), true);
    }
}

std::string NetPort::ServerSaid() const
{
    const std::lock_guard<std::mutex> guard(rxLock);
    std::string said;
    for (size_t i = rxHead; i < rx.size() && said.size() < kShownServerText; ++i) {
        const auto c = static_cast<char>(rx[i]);
        if (c >= ' ' && c <= '~') {
            said += c;
        } else if (!said.empty() && said.back() != ' ') {
            said += ' ';
        }
    }
    while (!said.empty() && said.back() == ' ') {
        said.pop_back();
    }
    return said;
}

SerialError NetPort::TurnedAway() const
{
    const std::string said = ServerSaid();
    return SerialError{EBUSY, endpoint.Text() + " closed the connection" +
                                  (said.empty() ? std::string(".") : ", saying \"" + said + "\".") +
                                  " Another program may be using the radio there."};
}
