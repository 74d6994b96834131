#include "imagetransfer.h"

#include "radiolink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

template <typename... Args> std::string Format(const char* format, Args... args)
{
    const int length = std::snprintf(nullptr, 0, format, args...);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::snprintf(text.data(), text.size() + 1, format, args...);
    }
    return text;
}

// Closes a stream that nothing was written to (or whose bytes were flushed
// as they came): its close cannot lose anything.
void CloseUnwritten(std::FILE* stream)
{
    (void)std::fclose(stream);
}

std::string CannotOpen(const std::string& path, const char* direction)
{
    return Format("Unable to open file:\n%s\nfor %s", path.c_str(), direction);
}

// Opens `filePath` as a stdio stream only when it is a regular file (or, to
// write, a device). A directory or a device opens too but holds no image to
// send, and a plain fopen of a FIFO blocks until something opens its other
// end, which would freeze the window; so the open does not wait, and the
// file is tested before anything is emptied.
std::FILE* OpenRegularFile(const std::string& filePath, int flags, const char* mode)
{
#ifdef _WIN32
    // No FIFOs to fear here; only a directory or device is turned away.
    std::FILE* opened = std::fopen(filePath.c_str(), mode);
    struct stat found {};
    if (opened != nullptr && (flags & O_CREAT) == 0 &&
        (::fstat(fileno(opened), &found) != 0 || (found.st_mode & S_IFMT) != S_IFREG)) {
        std::fclose(opened);
        opened = nullptr;
    }
    return opened;
#else
    const int fd = ::open(filePath.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    const bool known = ::fstat(fd, &info) == 0;
    const bool regular = known && S_ISREG(info.st_mode);
    // A received image may also go to a device (the null device, say); a
    // FIFO's reader could stall the worker in a write that no STOP can end.
    const bool writable = (flags & O_CREAT) != 0 && known && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode));
    const int status = ::fcntl(fd, F_GETFL);
    const bool ready = (regular || writable) && status >= 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0 &&
                       ((flags & O_CREAT) == 0 || !regular || ::ftruncate(fd, 0) == 0);
    std::FILE* stream = ready ? ::fdopen(fd, mode) : nullptr;
    if (stream == nullptr) {
        ::close(fd);
    }
    return stream;
#endif
}

// The image count is a signed 32-bit number; a larger file must be refused
// before it wraps into a count that sends the wrong amount.
constexpr int64_t LARGEST_IMAGE = INT32_MAX;

} // namespace

ImageTransfer::~ImageTransfer()
{
    // The owner has ended the worker before this runs (its link stops the
    // worker first), so the stream is free to close.
    if (imageFile != nullptr) {
        CloseUnwritten(imageFile);
        imageFile = nullptr;
    }
}

std::string ImageTransfer::Busy() const
{
    return "A memory image transfer is still running.\nWait for it to end, or press STOP.";
}

std::string ImageTransfer::OpenForSending(const std::string& filePath)
{
    if (Active()) {
        return Busy();
    }
    std::FILE* stream = OpenRegularFile(filePath, O_RDONLY, "rb");
    if (stream == nullptr) {
        return CannotOpen(filePath, "reading");
    }
    // A directory or a device opens too, but holds no image.
    struct stat info {};
    if (::fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
        CloseUnwritten(stream);
        return CannotOpen(filePath, "reading");
    }
    return BeginSend(stream, filePath);
}

std::string ImageTransfer::OpenForReceiving(const std::string& filePath)
{
    // Asked first, so that a running transfer's file is never emptied.
    if (Active()) {
        return Busy();
    }
    std::FILE* stream = OpenRegularFile(filePath, O_WRONLY | O_CREAT, "wb");
    if (stream == nullptr) {
        return CannotOpen(filePath, "writing");
    }
    return BeginReceive(stream, filePath);
}

std::string ImageTransfer::BeginSend(std::FILE* stream, const std::string& filePath)
{
    if (stream == nullptr) {
        return CannotOpen(filePath, "reading");
    }
    if (Active()) {
        CloseUnwritten(stream);
        return Busy();
    }
    int64_t size = -1;
    if (::fseeko(stream, 0, SEEK_END) == 0) {
        size = static_cast<int64_t>(::ftello(stream));
    }
    if (size > LARGEST_IMAGE) {
        CloseUnwritten(stream);
        return Format("The file is too large to be a memory image:\n%s\n%lld bytes (an image is smaller than 2 GiB)",
                      filePath.c_str(), static_cast<long long>(size));
    }
    if (size < 0 || size % IMAGE_RECORD_SIZE != 0 || ::fseeko(stream, 0, SEEK_SET) != 0) {
        CloseUnwritten(stream);
        // What is wrong with the file, and what to take instead, under the
        // line the radio's owners know.
        const std::string why = size < 0 ? std::string("The size of the file could not be read.")
                                         : Format("A memory image is made of whole records of %d bytes, which %lld "
                                                  "bytes are not: choose an image received from the radio.",
                                                  IMAGE_RECORD_SIZE, static_cast<long long>(size));
        return Format("Invalid input file size: %d\n", static_cast<int>(size)) + why;
    }
    imageFile = stream;
    path = filePath;
    kind = TransferKind::Send;
    imageBytesLeft = static_cast<int32_t>(size);
    recordsTotal = static_cast<int32_t>(size / IMAGE_RECORD_SIZE);
    recordsSent = 0;
    bytesReceived = 0;
    fileError = 0;
    outcome = TransferOutcome::Running;
    return {};
}

std::string ImageTransfer::BeginReceive(std::FILE* stream, const std::string& filePath)
{
    if (stream == nullptr) {
        return CannotOpen(filePath, "writing");
    }
    if (Active()) {
        CloseUnwritten(stream);
        return Busy();
    }
    imageFile = stream;
    path = filePath;
    kind = TransferKind::Receive;
    imageBytesLeft = 0;
    recordsTotal = 0;
    recordsSent = 0;
    bytesReceived = 0;
    fileError = 0;
    outcome = TransferOutcome::Running;
    return {};
}

bool ImageTransfer::Start(RadioLink& link)
{
    if (!Active()) {
        return false;
    }
    if (!link.linkRunning) {
        Finish(TransferOutcome::Stopped);
        return false;
    }
    link.StopWorkerThread();
    outcome = TransferOutcome::Running;
    if (kind == TransferKind::Send) {
        link.StartWorker([this](RadioLink& l) { return ImageSendWorker(l, *this); });
        link.WriteBanner(SEND_BANNER_ROW1, SEND_BANNER_ROW2);
    } else {
        link.StartWorker([this](RadioLink& l) { return ImageReceiveWorker(l, *this); });
        link.WriteBanner(RECEIVE_BANNER_ROW1, RECEIVE_BANNER_ROW2);
    }
    return true;
}

TransferReport ImageTransfer::Supervise(RadioLink& link)
{
    if (!Active()) {
        return TransferReport{true, false, outcome.load(), {}};
    }
    if (!WorkerFinished(link)) {
        return {};
    }
    TransferOutcome how = outcome.load();
    if (how == TransferOutcome::Running) {
        how = TransferOutcome::Stopped;
    }
    TransferReport report = Finish(how);
    RestartPollingIfRunning(link, report);
    return report;
}

TransferReport ImageTransfer::Cancel(RadioLink& link)
{
    if (!Active()) {
        return TransferReport{true, false, outcome.load(), {}};
    }
    link.StopWorkerThread();
    TransferOutcome how = outcome.load();
    // A worker that reached its end before the request keeps its outcome: a
    // whole image is not called cancelled, nor a failure hidden behind it,
    // nor a STOP of the link that came first.
    if (how == TransferOutcome::Running || (how == TransferOutcome::Stopped && link.linkRunning)) {
        how = link.linkRunning ? TransferOutcome::Cancelled : TransferOutcome::Stopped;
    }
    TransferReport report = Finish(how);
    RestartPollingIfRunning(link, report);
    return report;
}

void ImageTransfer::RestartPollingIfRunning(RadioLink& link, TransferReport& report)
{
    // A stopped link stays stopped: polling belongs only to a running one.
    // Should START have brought polling back already, the poll worker is
    // merely replaced by a fresh one.
    if (link.linkRunning) {
        link.StartWorker(PollWorker);
        report.pollingRestarted = true;
    }
}

bool ImageTransfer::WorkerFinished(const RadioLink& link) const
{
    // The worker records how it ended as its last act, after its last use of
    // the stream; a worker that the link's StopWorker joined has ended too,
    // and so has one whose link was restarted since.
    return Active() && (outcome.load() != TransferOutcome::Running || !link.HasWorker() || link.WorkerEnded());
}

TransferReport ImageTransfer::Stop(RadioLink& link)
{
    if (!Active()) {
        return TransferReport{true, false, outcome.load(), {}};
    }
    link.StopWorkerThread();
    TransferOutcome how = outcome.load();
    if (how == TransferOutcome::Running) {
        how = TransferOutcome::Stopped;
    }
    return Finish(how);
}

TransferReport ImageTransfer::Finish(TransferOutcome how)
{
    if (imageFile != nullptr) {
        errno = 0;
        const bool closed = std::fclose(imageFile) == 0;
        imageFile = nullptr;
        // For a receive the close is when the last buffered bytes reach the
        // file; a failure there loses them as surely as a failed write.
        if (!closed && kind == TransferKind::Receive && how != TransferOutcome::FileWriteFailed) {
            fileError = errno != 0 ? errno : EIO;
            how = TransferOutcome::FileWriteFailed;
        }
    }
    outcome = how;
    return TransferReport{true, false, how, Describe(how)};
}

std::string ImageTransfer::Describe(TransferOutcome how) const
{
    const bool sending = kind == TransferKind::Send;
    const std::string sent = Format("%d of %d records", recordsSent.load(), recordsTotal.load());
    const std::string kept =
        Format("%d bytes were received; they are kept in:\n%s", bytesReceived.load(), path.c_str());
    switch (how) {
    case TransferOutcome::Running:
        return {};
    case TransferOutcome::Completed:
        // A file that shrank after its size was taken ends after the promised
        // passes with fewer records sent; that is no whole image.
        if (sending && recordsSent.load() < recordsTotal.load()) {
            return Format("The file became shorter while it was sent:\n%s\nOnly %s went to the radio.", path.c_str(),
                          sent.c_str());
        }
        return {};
    case TransferOutcome::Stopped:
        return sending ? "Sending was stopped: " + sent + " went to the radio."
                       : "Receiving was stopped: the image is incomplete.\n" + kept;
    case TransferOutcome::Cancelled:
        return sending ? "Sending was cancelled: " + sent + " went to the radio."
                       : "Receiving was cancelled: the image is incomplete.\n" + kept;
    case TransferOutcome::FileWriteFailed:
        return Format("Unable to write to file:\n%s\n%s\nReceiving was ended after %d bytes: the image is incomplete.",
                      path.c_str(), std::strerror(fileError), bytesReceived.load());
    case TransferOutcome::FileReadFailed:
        return Format("Unable to read from file:\n%s\n%s\nSending was ended: %s went to the radio.", path.c_str(),
                      std::strerror(fileError), sent.c_str());
    case TransferOutcome::RadioNotTaking:
        return "The radio took no data for 5 seconds.\nSending was ended: " + sent + " went to the radio.";
    case TransferOutcome::LinkLost:
        return sending ? "The connection to the radio was lost.\nSending was ended: " + sent + " went to the radio."
                       : "The connection to the radio was lost: the image is incomplete.\n" + kept;
    }
    return {};
}
