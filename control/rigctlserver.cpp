#include "control/rigctlserver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace control {

namespace {

// Lines one client may have answered before the others get their turn.
constexpr int LINES_PER_TURN = 32;
// Lines a second one client may have answered, and how many it may save up.
// The busiest programs of the field ask a few dozen times a second; a client
// that asks thousands of times would otherwise take the processor from the
// poll worker, in the server and in itself. Once out of lines, a client
// waits until a few have come back, so that the server does not wake for each.
constexpr double LINES_PER_SECOND = 2000;
constexpr double LINES_SAVED = 100;
constexpr double LINES_WAITED_FOR = 10;
// Unanswered input one client may pile up; beyond it nothing more is read
// from it until it has read its answers.
constexpr size_t INPUT_LIMIT = size_t{64} * 1024;
constexpr int SERVER_NICE = 10;
constexpr uint32_t LISTENER_REST_MS = 100;
// How long a set waits for a pause in the polls before it goes all the same.
constexpr uint32_t GAP_LIMIT_MS = 50;
// How long a client being closed has to read its last answer.
constexpr uint32_t CLOSE_GRACE_MS = 1000;
// Connections the system holds until the server takes them. A short queue
// overflows while programs connect and hang up in a burst, and a client whose
// request is dropped sends it again only a second later.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
// A line ends at a line feed or a carriage return, as it does for rigctld.
constexpr std::string_view LINE_ENDS = "\r\n";

// Why the port could not be listened on, in the user's terms.
std::string ListenError(int code, const std::string& address, uint16_t port)
{
    const std::string where = address + " port " + std::to_string(port);
    switch (code) {
    case EADDRINUSE:
        return "Another program already listens on " + where +
               " (a rigctld, or a second Ostrelle). Choose another port or end that program.";
    case EACCES:
        return "Listening on " + where + " is not permitted; choose a port above 1023.";
    case EADDRNOTAVAIL:
        return address + " is not an address of this computer.";
    default:
        return "Cannot listen on " + where + ": " + std::strerror(code) + ".";
    }
}

std::string EndpointText(const sockaddr_storage& address)
{
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
        (void)inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
    (void)inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
}

// "5 s", "0.5 s": a limit as the messages to clients name it.
std::string SecondsText(uint32_t ms)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        (void)::close(fd);
        fd = -1;
    }
}

// Closes a connection with a last word, which it gets before the end: what
// it sent and was never read is read away first, since closing over unread
// input would reset the connection and could lose the word.
void Dismiss(int fd, const std::string& words)
{
    if (!words.empty()) {
        (void)::send(fd, words.data(), words.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    (void)::shutdown(fd, SHUT_WR);
    char buffer[4096];
    for (int i = 0; i < 16 && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    (void)::close(fd);
}

// Whether a failed send, recv or accept only has to be tried again later.
bool Transient(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK || code == EINTR;
}

struct Client {
    int fd = -1;
    std::string in;  // received and not yet answered
    std::string out; // what the socket did not take of the last reply
    // Its last command, or when it got its place: what giving way and the
    // idle limit count from. Bytes alone, blank lines and comments ask nothing.
    uint32_t commandAt = 0;
    bool lineOpen = false;  // `in` ends in a line not yet ended
    uint32_t lineOpenAt = 0; // when that line's first byte came
    double lines = LINES_SAVED; // lines it may have answered now
    uint32_t linesAt = 0;       // when `lines` was last brought up to date
    bool closing = false; // close once `out` has gone
    uint32_t closingAt = 0;
    bool ended = false;   // it sends no more: answer what it sent, then close
    bool gone = false;
    // A set: its frame waiting for its turn, then its answer waiting for the radio.
    bool waiting = false;
    bool sent = false;
    Framing framing;
    uint32_t hz = 0;
    int32_t tuneModulation = 0;
    uint32_t setAt = 0;
    uint64_t storesAtSend = 0;

    // A reply goes out in one call: a client such as gpredict reads each
    // with a single recv(). Only what a full socket refused waits.
    void Write(const std::string& reply)
    {
        if (!out.empty()) {
            out += reply;
            return;
        }
        const ssize_t sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && !Transient(errno)) {
            gone = true;
            return;
        }
        out.assign(reply, static_cast<size_t>(std::max<ssize_t>(sent, 0)), std::string::npos);
    }

    void Flush()
    {
        const std::string rest = std::move(out);
        out.clear();
        Write(rest);
    }

    void Close(uint32_t now)
    {
        if (!closing) {
            closing = true;
            closingAt = now;
        }
    }

    // Closed over a limit, told which.
    void CloseWith(const std::string& words, uint32_t now)
    {
        Write(words);
        Close(now);
    }

    bool HasLine() const { return in.find_first_of(LINE_ENDS) != std::string::npos; }

    void Settle(HamlibError result)
    {
        waiting = false;
        Write(SetReply(framing, result));
    }
};

struct Waiter {
    int fd = -1;
    uint32_t since = 0;
};

} // namespace

bool IsLoopbackAddress(const std::string& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    bool loopback = false;
    if (found->ai_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    } else if (found->ai_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr;
        loopback = IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    freeaddrinfo(found);
    return loopback;
}

RigctlServer::RigctlServer(RadioAccess& radio, Clock& clock) : radio(radio), clock(clock) {}

RigctlServer::~RigctlServer()
{
    Stop();
}

bool RigctlServer::Start(const ServerSettings& wanted, std::string& error)
{
    Stop();
    settings = wanted;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(settings.address.c_str(), std::to_string(settings.port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        error = "'" + settings.address + "' is no IP address; use 127.0.0.1 for this computer alone, or 0.0.0.0.";
        return false;
    }
    listener = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int code = listener < 0 ? errno : 0;
    if (listener >= 0) {
        const int on = 1;
        // A restarted server takes its port back at once, past the old
        // connections' wait; two listeners on one port are still refused.
        (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(listener, found->ai_addr, found->ai_addrlen) != 0 || ::listen(listener, LISTEN_BACKLOG) != 0) {
            code = errno;
        }
    }
    freeaddrinfo(found);
    int pipeEnds[2] = {-1, -1};
    if (code == 0 && ::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) {
        code = errno;
    }
    if (code != 0) {
        CloseFd(listener);
        error = ListenError(code, settings.address, settings.port);
        return false;
    }
    wakeRead = pipeEnds[0];
    wakeWrite = pipeEnds[1];
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    (void)getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    {
        const std::lock_guard<std::mutex> lock(endpointLock);
        endpoint = EndpointText(bound);
    }
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    stopping = false;
    awaitingStatus = false;
    // A set waiting for the radio is answered as its status comes, not
    // when the server would next look.
    radio.SetStatusWake([this] {
        if (awaitingStatus) {
            const char byte = 0;
            (void)!::write(wakeWrite, &byte, 1);
        }
    });
    serving = true;
    thread = std::thread([this] { Serve(); });
    return true;
}

void RigctlServer::Stop()
{
    radio.SetStatusWake({});
    if (thread.joinable()) {
        stopping = true;
        const char byte = 1;
        (void)!::write(wakeWrite, &byte, 1);
        thread.join();
    }
    CloseFd(listener);
    CloseFd(wakeRead);
    CloseFd(wakeWrite);
    serving = false;
    boundPort = 0;
    clientCount = 0;
    const std::lock_guard<std::mutex> lock(endpointLock);
    endpoint.clear();
}

std::string RigctlServer::Endpoint() const
{
    const std::lock_guard<std::mutex> lock(endpointLock);
    return endpoint;
}

// The serving thread's state, and the steps of one pass: the poll waited
// on, new connections taken, clients read and answered, and those done or
// over a limit let go.
class RigctlServer::Loop {
public:
    explicit Loop(RigctlServer& server)
        : server(server), radio(server.radio), clock(server.clock), settings(server.settings),
          lastStores(radio.StatusStores())
    {
    }

    ~Loop()
    {
        for (Client& c : clients) {
            (void)::close(c.fd);
        }
        for (const Waiter& w : waiters) {
            (void)::close(w.fd);
        }
    }

    // False once the server stops.
    bool Pass()
    {
        const int timeout = PreparePoll(clock.TickCount());
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            char drained[64];
            while (::read(server.wakeRead, drained, sizeof drained) > 0) {
            }
            if (server.stopping) {
                return false;
            }
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            Accept();
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            Read(*polled[i], fds[i + 2].revents);
        }
        const uint32_t later = clock.TickCount();
        const uint64_t stores = radio.StatusStores();
        const bool justStored = stores != lastStores;
        lastStores = stores;
        if (frameOut && (stores >= frameStores + 2 || later - frameAt >= settings.confirmLimitMs)) {
            frameOut = false;
        }
        for (Client& c : clients) {
            if (c.waiting) {
                Pursue(c, later, stores, justStored);
            }
            Answer(c, later);
            Tend(c, later);
        }
        clients.remove_if([](Client& c) {
            const bool done = c.gone || (c.closing && c.out.empty());
            if (done) {
                (void)::close(c.fd);
            }
            return done;
        });
        Seat(later);
        server.clientCount = static_cast<int>(clients.size());
        return true;
    }

private:
    // The descriptors to poll, and how long it may wait: until the first
    // limit or turn that falls due.
    int PreparePoll(uint32_t now)
    {
        int timeout = -1;
        // Wakes by `limit` after `since` at the latest.
        const auto by = [&](uint32_t since, uint32_t limit) {
            const uint32_t passed = now - since;
            const int ms = static_cast<int>(std::min<uint32_t>(passed >= limit ? 0 : limit - passed, 60000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        listenerResting = listenerResting && now - listenerRestAt < LISTENER_REST_MS;
        if (listenerResting) {
            by(listenerRestAt, LISTENER_REST_MS);
        }
        fds.clear();
        polled.clear();
        fds.push_back({server.wakeRead, POLLIN, 0});
        // A listener whose accept failed (no descriptors left) rests a
        // while: polled at once it would report the same waiting client
        // again and again.
        fds.push_back({server.listener, static_cast<short>(listenerResting ? 0 : POLLIN), 0});
        bool setWaits = false;
        for (Client& c : clients) {
            short events = 0;
            if (!c.closing && !c.ended && c.in.size() < INPUT_LIMIT) {
                events |= POLLIN;
            }
            if (!c.out.empty()) {
                events |= POLLOUT;
            }
            fds.push_back({c.fd, events, 0});
            polled.push_back(&c);
            if (c.waiting) {
                setWaits = true;
                by(c.setAt, settings.confirmLimitMs);
                if (!c.sent && !frameOut) {
                    by(c.setAt, GAP_LIMIT_MS);
                }
            } else if (c.out.empty() && !c.closing && c.HasLine()) {
                // Lines left over from its last turn: at once while it may
                // have them answered, else once a few more are due.
                const double missing = std::max(0.0, std::min(LINES_WAITED_FOR, LINES_SAVED) - c.lines);
                by(now, c.lines >= 1 ? 0 : static_cast<uint32_t>(std::ceil(missing * 1000 / LINES_PER_SECOND)));
            }
            by(c.commandAt, settings.idleLimitMs);
            if (c.lineOpen && !c.closing) {
                by(c.lineOpenAt, settings.lineLimitMs);
            }
            if (c.closing) {
                by(c.closingAt, CLOSE_GRACE_MS);
            }
            if (!waiters.empty() && !c.waiting) {
                by(c.commandAt, settings.giveWayMs);
            }
        }
        if (frameOut) {
            by(frameAt, settings.confirmLimitMs);
        }
        for (const Waiter& w : waiters) {
            by(w.since, settings.waitLimitMs);
        }
        // A status stored before the flag was up woke nobody: looked for here.
        server.awaitingStatus = setWaits;
        if (setWaits && radio.StatusStores() != lastStores) {
            timeout = 0;
        }
        return timeout;
    }

    void Accept()
    {
        for (;;) {
            const int fd = ::accept4(server.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (!Transient(errno) && errno != ECONNABORTED) {
                    listenerResting = true;
                    listenerRestAt = clock.TickCount();
                }
                return;
            }
            if (HasRoom() && waiters.empty()) {
                Admit(fd, clock.TickCount());
            } else if (static_cast<int>(waiters.size()) < settings.maxClients) {
                waiters.push_back({fd, clock.TickCount()});
            } else {
                Refuse(fd);
            }
        }
    }

    bool HasRoom() const { return static_cast<int>(clients.size()) < settings.maxClients; }

    void Admit(int fd, uint32_t now)
    {
        const int on = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Client& c = clients.emplace_back();
        c.fd = fd;
        c.commandAt = now;
        c.linesAt = now;
    }

    // Told why, not left waiting for answers that never come.
    void Refuse(int fd)
    {
        Dismiss(fd, refusal);
        ++server.clientsRefused;
    }

    void Read(Client& c, short revents)
    {
        if ((revents & POLLOUT) != 0) {
            c.Flush();
        }
        if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[4096];
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                c.in.append(buffer, static_cast<size_t>(got));
                const bool open = LINE_ENDS.find(c.in.back()) == std::string_view::npos;
                if (open && !c.lineOpen) {
                    c.lineOpenAt = clock.TickCount();
                }
                c.lineOpen = open;
            } else if (got == 0) {
                // A client may send its lines and shut its side at once
                // (echo f | nc): it still gets its answers, the last
                // line even without its newline.
                c.ended = true;
                if (c.lineOpen) {
                    c.in += '\n';
                    c.lineOpen = false;
                }
            } else if (!Transient(errno)) {
                c.gone = true;
            }
        }
        if (!c.closing && c.in.size() > settings.longestLine && !c.HasLine()) {
            c.CloseWith(overlong, clock.TickCount());
        }
    }

    // Answers what a client has sent, a turn's worth, up to a set that must
    // wait for the radio.
    void Answer(Client& c, uint32_t now)
    {
        c.lines = std::min(LINES_SAVED, c.lines + static_cast<double>(now - c.linesAt) * LINES_PER_SECOND / 1000);
        c.linesAt = now;
        for (int n = 0; n < LINES_PER_TURN && c.lines >= 1 && !c.waiting && !c.closing && !c.gone && c.out.empty();
             ++n) {
            const size_t end = c.in.find_first_of(LINE_ENDS);
            if (end == std::string::npos) {
                return;
            }
            if (end > settings.longestLine) {
                c.CloseWith(overlong, now);
                return;
            }
            const Handled handled = HandleLine(std::string_view(c.in.data(), end), radio);
            // A carriage return and a line feed end one line, not two.
            c.in.erase(0, end + (c.in.compare(end, 2, "\r\n") == 0 ? 2 : 1));
            c.lines -= 1;
            if (handled.kind == Handled::Kind::Silent) {
                continue;
            }
            ++server.linesAnswered;
            c.commandAt = now;
            if (handled.kind == Handled::Kind::Reply) {
                c.Write(handled.reply);
                if (handled.close) {
                    c.Close(now);
                }
                continue;
            }
            c.waiting = true;
            c.sent = false;
            c.framing = handled.framing;
            c.hz = handled.hz;
            c.tuneModulation = handled.tuneModulation;
            c.setAt = now;
        }
    }

    // A set's frame goes out once no other set's frame waits for the radio,
    // in the pause after a poll (sent while a reply comes in, its purge would
    // throw the reply away), or when it has waited long enough for one. It
    // is answered RPRT 0 once a status polled after it is stored, so that the
    // read-back a client makes next (Hamlib always does) finds the radio
    // where it was sent; a poll already on its way when the frame went may be
    // the first stored, so two are awaited. A radio that is not heard in
    // time, or has fallen silent while the set waited its turn, makes it
    // RPRT -5.
    void Pursue(Client& c, uint32_t now, uint64_t stores, bool justStored)
    {
        const bool late = now - c.setAt >= settings.confirmLimitMs;
        if (c.sent) {
            if (stores >= c.storesAtSend + 2) {
                c.Settle(HamlibError::Ok);
            } else if (late) {
                c.Settle(HamlibError::Timeout);
            }
            return;
        }
        if (late || RadioSilent(radio.Snapshot().status, radio)) {
            c.Settle(HamlibError::Timeout);
            return;
        }
        if (frameOut || (!justStored && now - c.setAt < GAP_LIMIT_MS)) {
            return;
        }
        const SendResult result = radio.Tune(c.hz, c.tuneModulation);
        if (result != SendResult::Sent) {
            c.Settle(ErrorOf(result));
            return;
        }
        ++server.framesSent;
        c.sent = true;
        c.storesAtSend = radio.StatusStores();
        frameOut = true;
        frameStores = c.storesAtSend;
        frameAt = now;
    }

    // A client done, or over a limit, is closed.
    void Tend(Client& c, uint32_t now) const
    {
        if (c.ended && !c.waiting && !c.HasLine()) {
            c.Close(now);
        }
        if (c.lineOpen && !c.closing && now - c.lineOpenAt >= settings.lineLimitMs) {
            c.CloseWith(unended, now);
        }
        if ((!c.waiting && now - c.commandAt >= settings.idleLimitMs) ||
            (c.closing && now - c.closingAt >= CLOSE_GRACE_MS)) {
            c.gone = true;
        }
    }

    // Places for the programs waiting: a free one, else that of the client
    // which has asked nothing for longest, once that is long enough. One
    // kept waiting too long is told so.
    void Seat(uint32_t now)
    {
        while (!waiters.empty()) {
            if (HasRoom()) {
                Admit(waiters.front().fd, now);
                waiters.pop_front();
                continue;
            }
            auto idlest = clients.end();
            for (auto it = clients.begin(); it != clients.end(); ++it) {
                if (!it->waiting && (idlest == clients.end() || now - it->commandAt > now - idlest->commandAt)) {
                    idlest = it;
                }
            }
            if (idlest != clients.end() && now - idlest->commandAt >= settings.giveWayMs) {
                Dismiss(idlest->fd, idlest->out.empty() ? gaveWay : std::string());
                clients.erase(idlest);
                ++server.clientsGivenWay;
                continue;
            }
            if (now - waiters.front().since < settings.waitLimitMs) {
                return;
            }
            Refuse(waiters.front().fd);
            waiters.pop_front();
        }
    }

    RigctlServer& server;
    RadioAccess& radio;
    Clock& clock;
    const ServerSettings& settings;
    std::list<Client> clients;
    std::deque<Waiter> waiters;
    bool listenerResting = false;
    uint32_t listenerRestAt = 0;
    // The frame of the last set until the radio has been heard after it, or
    // its time is up: never a second one behind it, so that frames cannot
    // pile up in the line of a radio that has gone silent.
    bool frameOut = false;
    uint64_t frameStores = 0;
    uint32_t frameAt = 0;
    uint64_t lastStores;
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    const std::string refusal = "RPRT -9 Ostrelle serves " + std::to_string(settings.maxClients) +
                                " programs at a time; close one and try again\n";
    const std::string overlong =
        "RPRT -1 Ostrelle closes a line longer than " + std::to_string(settings.longestLine) + " bytes\n";
    const std::string unended =
        "RPRT -8 Ostrelle closes a line not ended within " + SecondsText(settings.lineLimitMs) + "\n";
    const std::string gaveWay = "RPRT -9 Ostrelle gave this place to a waiting program after " +
                                SecondsText(settings.giveWayMs) + " without a command\n";
};

void RigctlServer::Serve()
{
#if defined(__linux__)
    // Behind the poll worker when both want the processor: a client that
    // floods this thread with commands must not slow the rhythm of the
    // polls. Linux gives each thread its own nice value.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), SERVER_NICE);
#endif
    {
        Loop loop(*this);
        while (loop.Pass()) {
        }
    }
    clientCount = 0;
}

} // namespace control
