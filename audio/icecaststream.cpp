#include "audio/icecaststream.h"

#include "audio/icecastencoder.h"
#include "audio/icecasthttp.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <csignal>
#include <pthread.h>
#include <shout/shout.h>

namespace audio {

namespace {

constexpr uint32_t SAMPLES_PER_MS = STREAM_SAMPLE_RATE / 1000;
// The worker's rhythm: ten passes a second keep the processor quiet, and a
// tenth of a second more delay is nothing to a listener.
constexpr uint32_t PASS_MS = 100;
constexpr uint32_t CONNECTING_PASS_MS = 10;
constexpr size_t QUEUE_SAMPLES = size_t{4} * STREAM_SAMPLE_RATE;
// A call opens the stream this long before it was seen: the squelch is seen
// open up to a poll late, and the first syllable matters. The worker keeps
// this much input back so that it can still be sent.
constexpr uint32_t LEAD_MS = 300;
constexpr size_t LEAD_SAMPLES = size_t{LEAD_MS} * SAMPLES_PER_MS;
// No input for this long: the capture has stopped, and silence keeps the
// listeners connected until it comes back.
constexpr uint32_t IDLE_MS = 500;
// At most this much silence is made up in one pass.
constexpr uint32_t LONGEST_FILL_MS = 1000;
constexpr uint32_t CONNECT_LIMIT_MS = 5000;
constexpr uint32_t ASK_LIMIT_MS = 2000;
constexpr uint32_t FIRST_RETRY_MS = 1000;
constexpr uint32_t LONGEST_RETRY_MS = 60000;
// A connection that held this long was sound: the next loss starts the
// back-off again from its first step.
constexpr uint32_t STEADY_MS = 30000;
// Encoded audio waiting in libshout beyond this many seconds of the stream
// is not sent: listeners would hear it late, and a stalled server would
// take the memory. Input is dropped before encoding instead, so the stream
// itself stays whole.
constexpr uint32_t QUEUED_LIMIT_S = 5;
// The server has taken nothing for this long: the connection is dead.
constexpr uint32_t STALL_LIMIT_MS = 10000;

// The time difference `later - earlier` in ticks, signed, across the wrap.
int32_t TicksBetween(uint32_t earlier, uint32_t later)
{
    return static_cast<int32_t>(later - earlier);
}

// libshout writes with plain send(): a server gone in the middle of a write
// would end the program with SIGPIPE. The thread that talks to the server
// blocks it, and any that arrived is taken away before the mask goes back.
class SigpipeBlock {
public:
    SigpipeBlock()
    {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    }
    ~SigpipeBlock()
    {
        const timespec now{};
        while (sigtimedwait(&pipe, nullptr, &now) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipe{};
    sigset_t previous{};
};

// libshout 2.4.6's shout_free frees nothing once the connection is closed
// (its test of the connection is the wrong way round), so each handle is
// lost whole: a stream keeps one for all its connections, closing and
// opening it again, and loses one a Start rather than one a try.
struct ShoutDeleter {
    void operator()(shout_t* shout) const
    {
        shout_close(shout);
        shout_free(shout);
    }
};
using ShoutHandle = std::unique_ptr<shout_t, ShoutDeleter>;

// A source connection with the settings, not yet open; null with `error`
// when libshout takes a setting not.
ShoutHandle MakeShout(const StreamSettings& settings, std::string& error)
{
    static std::once_flag once;
    std::call_once(once, [] { shout_init(); });
    ShoutHandle shout(shout_new());
    if (!shout) {
        error = "out of memory for the connection";
        return nullptr;
    }
    shout_t* s = shout.get();
    const std::string kbps = std::to_string(settings.bitrateKbps);
    const std::string rate = std::to_string(STREAM_SAMPLE_RATE);
    const unsigned format = settings.format == StreamFormat::OggOpus ? SHOUT_FORMAT_OGG : SHOUT_FORMAT_MP3;
    const int failed =
        shout_set_host(s, settings.host.c_str()) | shout_set_port(s, settings.port) |
        shout_set_mount(s, settings.mount.c_str()) | shout_set_user(s, settings.user.c_str()) |
        shout_set_password(s, settings.password.c_str()) | shout_set_protocol(s, SHOUT_PROTOCOL_HTTP) |
        // icecast:// is plain HTTP; libshout's default would first try TLS.
        shout_set_tls(s, SHOUT_TLS_DISABLED) | shout_set_content_format(s, format, SHOUT_USAGE_AUDIO, nullptr) |
        shout_set_agent(s, "Ostrelle") | shout_set_public(s, 0) |
        shout_set_audio_info(s, SHOUT_AI_BITRATE, kbps.c_str()) |
        shout_set_audio_info(s, SHOUT_AI_SAMPLERATE, rate.c_str()) | shout_set_audio_info(s, SHOUT_AI_CHANNELS, "1") |
        (settings.name.empty() ? 0 : shout_set_meta(s, SHOUT_META_NAME, settings.name.c_str())) |
        (settings.description.empty() ? 0 : shout_set_meta(s, SHOUT_META_DESCRIPTION, settings.description.c_str())) |
        shout_set_nonblocking(s, 1);
    if (failed != SHOUTERR_SUCCESS) {
        error = std::string("the settings were not taken: ") + shout_get_error(s);
        return nullptr;
    }
    return shout;
}

std::string Seconds(uint64_t samples)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(samples) / STREAM_SAMPLE_RATE);
    return text;
}

std::string WhyNoConnection(const StreamSettings& settings, int code, shout_t* shout, uint32_t limitMs,
                            Clock& clock)
{
    const std::string server = settings.host + ":" + std::to_string(settings.port);
    switch (code) {
    case SHOUTERR_NOCONNECT:
    case SHOUTERR_SOCKET: {
        // libshout says only that it failed; the system says why.
        const std::string why = WhyUnreachable(settings, ASK_LIMIT_MS, clock);
        return why.empty() ? "the connection to " + server + " broke off while logging in" : why;
    }
    case SHOUTERR_BUSY:
        return "no answer from " + server + " within " + std::to_string((limitMs + 999) / 1000) + " s";
    default:
        return std::string("the connection failed: ") + (shout != nullptr ? shout_get_error(shout) : "unknown");
    }
}

} // namespace

struct IcecastStream::Connection {
    StreamSettings settings; // Start's, for the worker alone
    ShoutHandle shout;
    std::unique_ptr<StreamEncoder> encoder;
    bool connecting = false;
    bool connected = false;
    bool retry = true;          // false after a wrong password
    uint32_t connectStartTick = 0;
    uint32_t connectedTick = 0;
    uint32_t backoffMs = FIRST_RETRY_MS;
    bool stalled = false;
    uint32_t stalledSinceTick = 0;
    size_t queuedLimitBytes = 0;
    std::vector<uint8_t> bytes;
};

std::string StreamStatus::Text() const
{
    std::string text;
    const std::string again =
        retryInMs > 0 ? "; trying again in " + std::to_string((retryInMs + 999) / 1000) + " s" : std::string();
    switch (state) {
    case StreamState::Off:
        return "Not streaming";
    case StreamState::Connecting:
        text = "Connecting to " + where;
        break;
    case StreamState::Connected:
        text = "Streaming to " + where;
        break;
    case StreamState::Retrying:
        text = "Not connected to " + where + ": " + reason + again;
        break;
    case StreamState::Refused:
        text = "Refused by " + where + ": " + reason +
               (retryInMs > 0 ? again : "; not trying again until the stream is started anew");
        break;
    }
    if (droppedSamples > 0) {
        text += "; " + Seconds(droppedSamples) + " of audio dropped: the server did not take it";
    }
    if (overrunSamples > 0) {
        text += "; " + Seconds(overrunSamples) + " of audio dropped: the stream fell behind the input";
    }
    if (!titleError.empty()) {
        text += "; " + titleError;
    }
    return text;
}

IcecastStream::IcecastStream(Clock& clock) : clock(clock), queue(QUEUE_SAMPLES) {}

void IcecastStream::SetObserver(Observer o)
{
    const std::lock_guard<std::mutex> guard(lock);
    observer = std::move(o);
}

std::string IcecastStream::Start(const StreamSettings& wanted)
{
    if (std::string problem = CheckStreamSettings(wanted); !problem.empty()) {
        return problem;
    }
    Stop();
    {
        const std::lock_guard<std::mutex> guard(lock);
        settings = wanted;
        events.clear();
        status = StreamStatus();
        status.state = StreamState::Connecting;
        status.where = IcecastUrlText(settings);
        status.title = title;
        nextAttemptTick = clock.TickCount();
    }
    overrun = 0;
    dropped = 0;
    sent = 0;
    running.store(true, std::memory_order_release);
    thread.Start([this, wanted] { Run(wanted); });
    return {};
}

void IcecastStream::Stop()
{
    running.store(false, std::memory_order_release);
    thread.Stop();
    const std::lock_guard<std::mutex> guard(lock);
    status.state = StreamState::Off;
    status.reason.clear();
}

void IcecastStream::Push(const int16_t* samples, size_t count)
{
    if (!running.load(std::memory_order_acquire)) {
        return;
    }
    const size_t taken = queue.Push(samples, count);
    queued.fetch_add(taken, std::memory_order_release);
    if (taken < count) {
        overrun.fetch_add(count - taken, std::memory_order_relaxed);
    }
}

void IcecastStream::CallStarted(const CallFields& call)
{
    const std::lock_guard<std::mutex> guard(lock);
    const uint64_t now = queued.load(std::memory_order_acquire);
    const uint64_t position = std::max(now > LEAD_SAMPLES ? now - LEAD_SAMPLES : 0, lastEventPosition);
    events.push_back({position, true, FormatStreamTitle(settings.titleFormat, call)});
    lastEventPosition = position;
}

void IcecastStream::CallEnded()
{
    const std::lock_guard<std::mutex> guard(lock);
    const uint64_t position = std::max(queued.load(std::memory_order_acquire), lastEventPosition);
    events.push_back({position, false, {}});
    lastEventPosition = position;
}

StreamStatus IcecastStream::Status() const
{
    StreamStatus copy;
    {
        const std::lock_guard<std::mutex> guard(lock);
        copy = status;
        if (copy.state == StreamState::Retrying || (copy.state == StreamState::Refused && copy.retryInMs > 0)) {
            const int32_t left = TicksBetween(clock.TickCount(), nextAttemptTick);
            copy.retryInMs = left > 0 ? static_cast<uint32_t>(left) : 1;
        }
    }
    copy.sentBytes = sent.load(std::memory_order_relaxed);
    copy.droppedSamples = dropped.load(std::memory_order_relaxed);
    copy.overrunSamples = overrun.load(std::memory_order_relaxed);
    return copy;
}

void IcecastStream::Run(const StreamSettings& wanted)
{
    const SigpipeBlock noSigpipe;
    Connection connection;
    connection.settings = wanted;
    connection.queuedLimitBytes = static_cast<size_t>(connection.settings.bitrateKbps) * 1000 / 8 * QUEUED_LIMIT_S;
    // What waited from before this start is old.
    std::vector<int16_t> buffer(QUEUE_SAMPLES);
    consumed += queue.Pop(buffer.data(), buffer.size());
    lastQueued = queued.load(std::memory_order_acquire);
    lastInputTick = silenceMarkTick = clock.TickCount();
    Notify(true);
    // A login takes a few exchanges, each moved on by a pass: they come
    // quicker while it lasts.
    do {
        Pass(connection, buffer);
    } while (thread.Pause(connection.connecting ? CONNECTING_PASS_MS : PASS_MS));
}

void IcecastStream::Pass(Connection& connection, std::vector<int16_t>& buffer)
{
    const uint32_t now = clock.TickCount();
    // The worker alone writes nextAttemptTick while it runs: its own read
    // needs no lock.
    if (!connection.connecting && !connection.connected && connection.retry &&
        TicksBetween(nextAttemptTick, now) >= 0) {
        Connect(connection);
    } else if (connection.connecting) {
        WatchConnect(connection);
    }

    const uint64_t queuedNow = queued.load(std::memory_order_acquire);
    if (queuedNow != lastQueued) {
        lastQueued = queuedNow;
        lastInputTick = silenceMarkTick = now;
    }
    const size_t available = queue.Size();
    const bool idle = TicksBetween(lastInputTick, now) >= static_cast<int32_t>(IDLE_MS);
    const size_t taken = available > LEAD_SAMPLES ? queue.Pop(buffer.data(), available - LEAD_SAMPLES) : 0;
    // The calls' events that fall within what was taken (all of them while
    // no input comes), each where it falls.
    size_t done = 0;
    for (;;) {
        Event event;
        {
            const std::lock_guard<std::mutex> guard(lock);
            if (events.empty() || (!idle && events.front().position >= consumed + taken)) {
                break;
            }
            event = std::move(events.front());
            events.pop_front();
        }
        const size_t at = event.position > consumed ? static_cast<size_t>(event.position - consumed) : 0;
        if (at > done && at <= taken) {
            Emit(connection, buffer.data() + done, at - done);
            done = at;
        }
        Apply(connection, event);
    }
    Emit(connection, buffer.data() + done, taken - done);
    consumed += taken;

    if (idle) {
        const int32_t owed = std::min(TicksBetween(silenceMarkTick, now), static_cast<int32_t>(LONGEST_FILL_MS));
        if (owed > 0) {
            const size_t count = static_cast<size_t>(owed) * SAMPLES_PER_MS;
            std::fill_n(buffer.begin(), count, int16_t{0});
            Emit(connection, buffer.data(), count);
            silenceMarkTick = now;
        }
    }

    if (connection.connected) {
        const ssize_t waiting = shout_queuelen(connection.shout.get());
        if (waiting > 0) {
            const int result = shout_send(connection.shout.get(), nullptr, 0);
            if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
                Lost(connection, "the server closed the connection");
            }
        }
        if (connection.connected && waiting > static_cast<ssize_t>(connection.queuedLimitBytes)) {
            if (!connection.stalled) {
                connection.stalled = true;
                connection.stalledSinceTick = now;
            } else if (TicksBetween(connection.stalledSinceTick, now) >= static_cast<int32_t>(STALL_LIMIT_MS)) {
                Lost(connection, "the server took nothing for " + std::to_string(STALL_LIMIT_MS / 1000) + " s");
            }
        } else {
            connection.stalled = false;
        }
    }
    Notify(false);
}

void IcecastStream::Emit(Connection& connection, int16_t* samples, size_t count)
{
    if (count == 0) {
        return;
    }
    if (!inCall && connection.settings.betweenCalls == BetweenCalls::Silence) {
        std::fill_n(samples, count, int16_t{0});
    }
    if (!connection.connected) {
        return;
    }
    if (shout_queuelen(connection.shout.get()) > static_cast<ssize_t>(connection.queuedLimitBytes)) {
        dropped.fetch_add(count, std::memory_order_relaxed);
        return;
    }
    connection.bytes.clear();
    if (!connection.encoder->Encode(samples, count, connection.bytes)) {
        Lost(connection, connection.encoder->Error());
        return;
    }
    Send(connection);
}

void IcecastStream::Send(Connection& connection)
{
    if (connection.bytes.empty()) {
        return;
    }
    const int result = shout_send(connection.shout.get(), connection.bytes.data(), connection.bytes.size());
    if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
        Lost(connection, result == SHOUTERR_SOCKET ? "the server closed the connection"
                                                   : std::string("sending failed: ") +
                                                         shout_get_error(connection.shout.get()));
        return;
    }
    sent.fetch_add(connection.bytes.size(), std::memory_order_relaxed);
}

void IcecastStream::Apply(Connection& connection, const Event& event)
{
    inCall = event.start;
    if (!event.start) {
        return;
    }
    title = event.title;
    {
        const std::lock_guard<std::mutex> guard(lock);
        status.title = title;
    }
    if (!connection.connected) {
        return; // the next connection begins with the title
    }
    if (connection.encoder->TitlesInStream()) {
        connection.bytes.clear();
        if (!connection.encoder->Retitle(title, connection.bytes)) {
            Lost(connection, connection.encoder->Error());
            return;
        }
        Send(connection);
    } else {
        const std::string error = UpdateIcecastTitle(connection.settings, title, ASK_LIMIT_MS, clock);
        const std::lock_guard<std::mutex> guard(lock);
        status.titleError = error;
    }
}

void IcecastStream::Connect(Connection& connection)
{
    SetState(StreamState::Connecting, {});
    std::string error;
    if (!connection.shout) {
        connection.shout = MakeShout(connection.settings, error);
    }
    if (!connection.shout) {
        RetryLater(connection, StreamState::Retrying, error, false);
        return;
    }
    const int result = shout_open(connection.shout.get());
    connection.connecting = true;
    connection.connectStartTick = clock.TickCount();
    if (result == SHOUTERR_SUCCESS || result == SHOUTERR_CONNECTED) {
        Connected(connection);
    } else if (result != SHOUTERR_BUSY) {
        Failed(connection, result);
    }
}

void IcecastStream::WatchConnect(Connection& connection)
{
    const int result = shout_get_connected(connection.shout.get());
    if (result == SHOUTERR_CONNECTED) {
        Connected(connection);
    } else if (result != SHOUTERR_BUSY) {
        Failed(connection, result);
    } else if (TicksBetween(connection.connectStartTick, clock.TickCount()) >=
               static_cast<int32_t>(CONNECT_LIMIT_MS)) {
        Failed(connection, SHOUTERR_BUSY);
    }
}

void IcecastStream::Connected(Connection& connection)
{
    std::string error;
    connection.encoder = MakeStreamEncoder(connection.settings, title, error);
    connection.connecting = false;
    if (!connection.encoder) {
        shout_close(connection.shout.get());
        RetryLater(connection, StreamState::Retrying, error, false);
        return;
    }
    connection.connected = true;
    connection.stalled = false;
    connection.connectedTick = clock.TickCount();
    {
        const std::lock_guard<std::mutex> guard(lock);
        ++status.connects;
    }
    SetState(StreamState::Connected, {});
    // An MP3 stream's title lives on the server, which forgot it with the
    // last connection.
    if (!title.empty() && !connection.encoder->TitlesInStream()) {
        const std::string titleError = UpdateIcecastTitle(connection.settings, title, ASK_LIMIT_MS, clock);
        const std::lock_guard<std::mutex> guard(lock);
        status.titleError = titleError;
    }
}

void IcecastStream::Failed(Connection& connection, int code)
{
    const std::string why = WhyNoConnection(connection.settings, code, connection.shout.get(), CONNECT_LIMIT_MS, clock);
    connection.connecting = false;
    shout_close(connection.shout.get());
    if (code != SHOUTERR_NOLOGIN) {
        RetryLater(connection, StreamState::Retrying, why, true);
        return;
    }
    const Refusal refusal = AskWhyRefused(connection.settings, ASK_LIMIT_MS, clock);
    RetryLater(connection, StreamState::Refused, refusal.reason, !refusal.login);
}

void IcecastStream::Lost(Connection& connection, const std::string& reason)
{
    const bool steady = TicksBetween(connection.connectedTick, clock.TickCount()) >= static_cast<int32_t>(STEADY_MS);
    connection.connected = false;
    connection.encoder.reset();
    shout_close(connection.shout.get());
    if (steady) {
        connection.backoffMs = FIRST_RETRY_MS;
    }
    RetryLater(connection, StreamState::Retrying, reason, true);
}

void IcecastStream::RetryLater(Connection& connection, StreamState state, const std::string& reason, bool again)
{
    connection.retry = again;
    {
        const std::lock_guard<std::mutex> guard(lock);
        nextAttemptTick = clock.TickCount() + connection.backoffMs;
        status.retryInMs = again ? connection.backoffMs : 0;
    }
    if (again) {
        connection.backoffMs = std::min(connection.backoffMs * 2, LONGEST_RETRY_MS);
    }
    SetState(state, reason);
}

void IcecastStream::SetState(StreamState state, const std::string& reason)
{
    bool changed = false;
    {
        const std::lock_guard<std::mutex> guard(lock);
        changed = status.state != state || status.reason != reason;
        status.state = state;
        status.reason = reason;
        if (state != StreamState::Retrying && state != StreamState::Refused) {
            status.retryInMs = 0;
        }
    }
    Notify(changed);
}

void IcecastStream::Notify(bool changed)
{
    Observer copy;
    {
        const std::lock_guard<std::mutex> guard(lock);
        copy = observer;
    }
    if (!copy) {
        return;
    }
    const StreamStatus now = Status();
    const std::string text = now.Text();
    const uint32_t tick = clock.TickCount();
    // Losses change the text on every pass; once a second says enough.
    if (changed || (text != lastNotified && TicksBetween(lastNotifiedTick, tick) >= 1000)) {
        lastNotified = text;
        lastNotifiedTick = tick;
        copy(now);
    }
}

std::string ConnectionTest::Text() const
{
    if (where.empty()) {
        return reason; // the settings themselves
    }
    switch (state) {
    case StreamState::Connected:
        return "The server took the stream at " + where;
    case StreamState::Refused:
        return "Refused by " + where + ": " + reason;
    default:
        return "No connection to " + where + ": " + reason;
    }
}

ConnectionTest TestIcecastConnection(const StreamSettings& settings, uint32_t limitMs, Clock& clock)
{
    ConnectionTest result;
    result.reason = CheckStreamSettings(settings);
    if (!result.reason.empty()) {
        return result;
    }
    result.where = IcecastUrlText(settings);
    const SigpipeBlock noSigpipe;
    ShoutHandle shout = MakeShout(settings, result.reason);
    if (!shout) {
        return result;
    }
    int code = shout_open(shout.get());
    const uint32_t start = clock.TickCount();
    while (code == SHOUTERR_BUSY && TicksBetween(start, clock.TickCount()) < static_cast<int32_t>(limitMs)) {
        clock.Sleep(20);
        code = shout_get_connected(shout.get());
    }
    if (code == SHOUTERR_SUCCESS || code == SHOUTERR_CONNECTED) {
        result.state = StreamState::Connected;
    } else if (code == SHOUTERR_NOLOGIN) {
        shout_close(shout.get());
        result.state = StreamState::Refused;
        result.reason = AskWhyRefused(settings, limitMs, clock).reason;
    } else {
        result.reason = WhyNoConnection(settings, code, shout.get(), limitMs, clock);
    }
    return result;
}

} // namespace audio
