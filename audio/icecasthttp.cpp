#include "audio/icecasthttp.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace audio {

namespace {

// What is read of a refusal's body: Icecast's reasons are a line.
constexpr size_t LONGEST_ANSWER = 8192;

std::string Base64(const std::string& text)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        // Three bytes, zeros past the end, make four letters; a letter
        // that holds none of the text's bits is padding.
        uint32_t group = 0;
        for (size_t k = i; k < i + 3; ++k) {
            group = group << 8 | (k < text.size() ? static_cast<unsigned char>(text[k]) : 0U);
        }
        for (size_t k = 0; k < 4; ++k) {
            out += i + k <= text.size() ? alphabet[(group >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

std::string UrlEscape(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// Waits for `events` on `fd` until `limitMs` from `start` have passed.
bool WaitFor(int fd, short events, Clock& clock, uint32_t start, uint32_t limitMs)
{
    for (;;) {
        const uint32_t spent = clock.TickCount() - start;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, spent >= limitMs ? 0 : static_cast<int>(limitMs - spent));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// A connected socket to the server within the limit, or -1 with `error`.
int Connect(const StreamSettings& settings, Clock& clock, uint32_t start, uint32_t limitMs, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(settings.port);
    const int lookup = ::getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &found);
    if (lookup != 0) {
        error = "the server's name " + settings.host + " is not known (" + ::gai_strerror(lookup) + ")";
        return -1;
    }
    const std::string server = settings.host + ":" + port;
    error = "no answer from " + server;
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            continue;
        }
        int failure = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            failure = errno;
            if (failure == EINPROGRESS && WaitFor(fd, POLLOUT, clock, start, limitMs)) {
                socklen_t length = sizeof failure;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
            }
        }
        if (failure != 0) {
            error = failure == EINPROGRESS ? "no answer from " + server
                                           : "cannot reach " + server + " (" + std::strerror(failure) + ")";
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

bool SendAll(int fd, const std::string& data, Clock& clock, uint32_t start, uint32_t limitMs)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLOUT, clock, start, limitMs)) {
            return false;
        }
    }
    return true;
}

// The body's text as a line: tags left out, blanks run together.
std::string PlainText(const std::string& body)
{
    std::string text;
    bool inTag = false;
    for (const char c : body) {
        if (c == '<' || c == '>') {
            inTag = c == '<';
        }
        if (inTag) {
            continue;
        }
        // A tag's end parts words as a blank does.
        if (c != '>' && std::isspace(static_cast<unsigned char>(c)) == 0) {
            text += c;
        } else if (!text.empty() && text.back() != ' ') {
            text += ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

struct HttpAnswer {
    int status = 0;    // 0: no answer; `error` says why
    std::string body;  // the start of the body of an answer that is not 2xx
    std::string error;
};

// Sends `request` (the request line and any headers, each ending in CRLF)
// to the server with its Host and the settings' login added, and reads the
// answer's status line and headers, and the body of a refusal; all within
// limitMs. The password goes only to the server.
HttpAnswer AskIcecast(const StreamSettings& settings, const std::string& request, uint32_t limitMs, Clock& clock)
{
    HttpAnswer answer;
    const uint32_t start = clock.TickCount();
    const int fd = Connect(settings, clock, start, limitMs, answer.error);
    if (fd < 0) {
        return answer;
    }
    const std::string whole = request + "Host: " + settings.host + ":" + std::to_string(settings.port) + "\r\n" +
                              "Authorization: Basic " + Base64(settings.user + ":" + settings.password) + "\r\n" +
                              "User-Agent: Ostrelle\r\n\r\n";
    std::string got;
    if (!SendAll(fd, whole, clock, start, limitMs)) {
        answer.error = "the server did not take the request";
    } else {
        char buffer[2048];
        while (got.size() < LONGEST_ANSWER) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                // A source the server took stays connected: the head is all.
                if (got.find("\r\n\r\n") != std::string::npos && got.size() > 9 && got[9] == '2') {
                    break;
                }
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLIN, clock, start, limitMs)) {
                break;
            }
        }
        if (got.compare(0, 5, "HTTP/") == 0 && got.size() >= 12) {
            std::from_chars(got.data() + 9, got.data() + 12, answer.status);
            const size_t headEnd = got.find("\r\n\r\n");
            if (answer.status >= 300 && headEnd != std::string::npos) {
                answer.body = PlainText(got.substr(headEnd + 4));
            }
        }
        if (answer.status == 0) {
            answer.error = got.empty() ? "no answer from the server within " + std::to_string(limitMs / 1000) + " s"
                                       : "the server's answer is not HTTP";
        }
    }
    ::close(fd);
    return answer;
}

} // namespace

Refusal AskWhyRefused(const StreamSettings& settings, uint32_t limitMs, Clock& clock)
{
    const char* type = settings.format == StreamFormat::OggOpus ? "audio/ogg" : "audio/mpeg";
    const HttpAnswer answer = AskIcecast(
        settings, "PUT " + UrlEscape(settings.mount) + " HTTP/1.0\r\nContent-Type: " + type + "\r\n", limitMs, clock);
    Refusal refusal;
    if (answer.status == 0) {
        refusal.reason = answer.error;
    } else if (answer.status == 401) {
        refusal.login = true;
        refusal.reason = "wrong user or password";
    } else if (answer.body.find("in use") != std::string::npos) {
        refusal.reason = "the mount " + settings.mount + " is in use by another source";
    } else if (answer.status < 300) {
        // Free again by the time it was asked: the next try may pass.
        refusal.reason = "the server refused the login once, then took it";
    } else {
        refusal.reason = "the server says \"" + (answer.body.empty() ? "HTTP " + std::to_string(answer.status)
                                                                    : answer.body.substr(0, 120)) +
                         "\"";
    }
    return refusal;
}

std::string WhyUnreachable(const StreamSettings& settings, uint32_t limitMs, Clock& clock)
{
    std::string error;
    const int fd = Connect(settings, clock, clock.TickCount(), limitMs, error);
    if (fd < 0) {
        return error;
    }
    ::close(fd);
    return {};
}

std::string UpdateIcecastTitle(const StreamSettings& settings, const std::string& title, uint32_t limitMs,
                               Clock& clock)
{
    const HttpAnswer answer = AskIcecast(settings,
                                         "GET /admin/metadata?mode=updinfo&charset=UTF-8&mount=" +
                                             UrlEscape(settings.mount) + "&song=" + UrlEscape(title) +
                                             " HTTP/1.0\r\n",
                                         limitMs, clock);
    if (answer.status == 0) {
        return "the title was not set: " + answer.error;
    }
    if (answer.status >= 300) {
        return "the server did not take the title (HTTP " + std::to_string(answer.status) +
               (answer.body.empty() ? std::string() : ": " + answer.body.substr(0, 120)) + ")";
    }
    return {};
}

} // namespace audio
