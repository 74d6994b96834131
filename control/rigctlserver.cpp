#include "rigctlserver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <list>

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
constexpr uint64_t LISTENER_REST_MS = 100;
// How long a set waits for a pause in the polls before it goes all the same.
constexpr uint64_t GAP_LIMIT_MS = 50;
// How often a set waiting for the radio looks at the records.
constexpr int CONFIRM_PACE_MS = 2;

uint64_t NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

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

void CloseFd(int& fd)
{
    if (fd >= 0) {
        (void)::close(fd);
        fd = -1;
    }
}

} // namespace

struct RigctlServer::Client {
    int fd = -1;
    std::string in;  // received and not yet answered
    std::string out; // what the socket did not take of the last reply
    uint64_t heardMs = 0;
    double lines = LINES_SAVED; // lines it may have answered now
    uint64_t linesAtMs = 0;     // when `lines` was last brought up to date
    bool closing = false; // close once `out` has gone
    bool ended = false;   // it sends no more: answer what it sent, then close
    bool gone = false;
    // A set: its frame waiting for a pause in the polls, then its answer
    // waiting for the radio to be heard.
    bool waiting = false;
    bool sent = false;
    Framing framing;
    bool closeAfterSet = false;
    uint32_t hz = 0;
    int32_t tuneModulation = 0;
    uint64_t storesAtAsk = 0;
    uint64_t sendByMs = 0;
    uint64_t storesAtSend = 0;
    uint64_t confirmByMs = 0;

    // A reply goes out in one call: a client such as gpredict reads each
    // with a single recv(). Only what a full socket refused waits.
    void Write(const std::string& reply)
    {
        if (!out.empty()) {
            out += reply;
            return;
        }
        const ssize_t sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
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
};

RigctlServer::RigctlServer(RadioAccess& radio) : radio(radio) {}

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
        if (::bind(listener, found->ai_addr, found->ai_addrlen) != 0 || ::listen(listener, 8) != 0) {
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
    serving = true;
    thread = std::thread([this] { Serve(); });
    return true;
}

void RigctlServer::Stop()
{
    if (thread.joinable()) {
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

void RigctlServer::Serve()
{
#if defined(__linux__)
    // Behind the poll worker when both want the processor: a client that
    // floods this thread with commands must not slow the rhythm of the
    // polls. Linux gives each thread its own nice value.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), SERVER_NICE);
#endif
    std::list<Client> clients;
    uint64_t listenerRestsUntil = 0;
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    const std::string refusal = "RPRT -9 Ostrelle serves " + std::to_string(settings.maxClients) +
                                " programs at a time; close one and try again\n";
    const std::string overlong =
        "RPRT -1 Ostrelle closes a line longer than " + std::to_string(settings.longestLine) + " bytes\n";

    // Answers what a client has sent, a turn's worth, up to a set that must
    // wait for the radio.
    const auto answer = [&](Client& c, uint64_t now) {
        c.lines = std::min(LINES_SAVED, c.lines + static_cast<double>(now - c.linesAtMs) * LINES_PER_SECOND / 1000);
        c.linesAtMs = now;
        for (int n = 0; n < LINES_PER_TURN && c.lines >= 1 && !c.waiting && !c.closing && !c.gone && c.out.empty();
             ++n) {
            const size_t end = c.in.find('\n');
            if (end == std::string::npos) {
                return;
            }
            std::string_view line(c.in.data(), end);
            if (line.size() > settings.longestLine) {
                c.Write(overlong);
                c.closing = true;
                return;
            }
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            const Handled handled = HandleLine(line, radio);
            c.in.erase(0, end + 1);
            c.lines -= 1;
            if (handled.kind == Handled::Kind::Silent) {
                continue;
            }
            ++linesAnswered;
            if (handled.kind == Handled::Kind::Reply) {
                c.Write(handled.reply);
                c.closing = handled.close;
                continue;
            }
            // The frame waits for the pause after a status poll: sent
            // while a reply comes in, its purge would throw the reply away.
            c.waiting = true;
            c.sent = false;
            c.framing = handled.framing;
            c.closeAfterSet = handled.close;
            c.hz = handled.hz;
            c.tuneModulation = handled.tuneModulation;
            c.storesAtAsk = radio.StatusStores();
            c.sendByMs = NowMs() + GAP_LIMIT_MS;
        }
    };

    // A set's frame goes out in the pause after a poll (or, with no polls
    // stored, when it has waited long enough); it is answered once a status
    // polled after it is stored, so that the read-back a client makes next
    // (Hamlib always does) finds the radio where it was sent. A poll already
    // on its way when the frame went may be the first stored: two are awaited.
    const auto pursue = [&](Client& c, uint64_t now, uint64_t stores) {
        if (!c.sent && (stores > c.storesAtAsk || now >= c.sendByMs)) {
            const SendResult result = radio.Tune(c.hz, c.tuneModulation);
            if (result != SendResult::Sent) {
                c.waiting = false;
                c.Write(SetReply(c.framing, ErrorOf(result)));
                return;
            }
            ++framesSent;
            c.sent = true;
            c.storesAtSend = radio.StatusStores();
            c.confirmByMs = NowMs() + settings.confirmLimitMs;
        } else if (c.sent && (stores >= c.storesAtSend + 2 || now >= c.confirmByMs)) {
            c.waiting = false;
            c.Write(SetReply(c.framing, HamlibError::Ok));
            c.closing = c.closeAfterSet;
        }
    };

    for (;;) {
        const uint64_t now = NowMs();
        int timeout = -1;
        const auto soonest = [&timeout](uint64_t inMs) {
            const int ms = static_cast<int>(std::min<uint64_t>(inMs, 60000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        };
        if (now < listenerRestsUntil) {
            soonest(listenerRestsUntil - now);
        }
        fds.clear();
        polled.clear();
        fds.push_back({wakeRead, POLLIN, 0});
        // A listener whose accept failed (no descriptors left) rests a
        // while: polled at once it would report the same waiting client
        // again and again.
        fds.push_back({listener, static_cast<short>(now >= listenerRestsUntil ? POLLIN : 0), 0});
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
                soonest(CONFIRM_PACE_MS);
            } else if (c.out.empty() && !c.closing && c.in.find('\n') != std::string::npos) {
                // Lines left over from its last turn: at once while it may
                // have them answered, else once a few more are due.
                const double missing = std::max(0.0, std::min(LINES_WAITED_FOR, LINES_SAVED) - c.lines);
                soonest(c.lines >= 1 ? 0 : static_cast<uint64_t>(std::ceil(missing * 1000 / LINES_PER_SECOND)));
            }
            const uint64_t idleEnd = c.heardMs + settings.idleLimitMs;
            soonest(idleEnd > now ? idleEnd - now : 0);
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            break; // Stop()
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            for (;;) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                        listenerRestsUntil = NowMs() + LISTENER_REST_MS;
                    }
                    break;
                }
                if (static_cast<int>(clients.size()) >= settings.maxClients) {
                    // Told why, not left waiting for answers that never come.
                    (void)::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    (void)::close(fd);
                    ++clientsRefused;
                    continue;
                }
                const int on = 1;
                (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                Client& c = clients.emplace_back();
                c.fd = fd;
                c.heardMs = NowMs();
                c.linesAtMs = c.heardMs;
            }
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            Client& c = *polled[i];
            const short revents = fds[i + 2].revents;
            if ((revents & POLLOUT) != 0) {
                c.Flush();
            }
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[4096];
                const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0) {
                    c.in.append(buffer, static_cast<size_t>(got));
                    c.heardMs = NowMs();
                } else if (got == 0) {
                    // A client may send its lines and shut its side at once
                    // (echo f | nc): it still gets its answers, the last
                    // line even without its newline.
                    c.ended = true;
                    if (!c.in.empty() && c.in.back() != '\n') {
                        c.in += '\n';
                    }
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    c.gone = true;
                }
            }
            if (!c.closing && c.in.size() > settings.longestLine &&
                c.in.find('\n') == std::string::npos) {
                c.Write(overlong);
                c.closing = true;
            }
        }
        const uint64_t later = NowMs();
        const uint64_t stores = radio.StatusStores();
        for (Client& c : clients) {
            if (c.waiting) {
                pursue(c, later, stores);
            }
            answer(c, later);
            if (c.ended && !c.waiting && c.in.find('\n') == std::string::npos) {
                c.closing = true;
            }
            if (!c.waiting && later - c.heardMs >= settings.idleLimitMs) {
                c.gone = true;
            }
        }
        clients.remove_if([](Client& c) {
            const bool done = c.gone || (c.closing && c.out.empty());
            if (done) {
                (void)::close(c.fd);
            }
            return done;
        });
        clientCount = static_cast<int>(clients.size());
    }
    for (Client& c : clients) {
        (void)::close(c.fd);
    }
    clientCount = 0;
}

} // namespace control
