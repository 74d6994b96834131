#include "imagetransfer.h"

#include "radiolink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <cstdlib>
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

// A receive writes a new file beside the one the user chose, so that the old
// one survives a receive that ends badly. These are its platform parts.

// Creates `filePath` for writing only if no file of that name exists, so
// that nothing the user keeps is ever overwritten by it; null otherwise,
// with errno set (EEXIST when the name is taken).
std::FILE* CreateNewFile(const std::string& filePath)
{
#ifdef _WIN32
    const int fd = ::_open(filePath.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* stream = fd >= 0 ? ::_fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && stream == nullptr) {
        ::_close(fd);
    }
#else
    const int fd = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    std::FILE* stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && stream == nullptr) {
        ::close(fd);
    }
#endif
    return stream;
}

// The file a symbolic link names, so that the image replaces that file and
// the link stays; any other path as it is.
std::string ResolveLink(const std::string& filePath)
{
#ifndef _WIN32
    struct stat info {};
    if (::lstat(filePath.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(filePath.c_str(), nullptr)) {
            std::string target = resolved;
            std::free(resolved);
            return target;
        }
    }
#endif
    return filePath;
}

// The written bytes on the disk itself before the new file takes the old
// one's place: a power cut must not leave an empty file under the old name.
bool SyncToDisk(std::FILE* stream)
{
#ifdef _WIN32
    return std::fflush(stream) == 0 && ::_commit(::_fileno(stream)) == 0;
#else
    return std::fflush(stream) == 0 && ::fsync(fileno(stream)) == 0;
#endif
}

// Renames `from` over `to` in one step, replacing it where it exists.
bool ReplaceFile(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    errno = ::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
#else
    return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// The receive's new file keeps the old one's permissions when it replaces it.
void KeepMode([[maybe_unused]] std::FILE* stream, [[maybe_unused]] const struct stat& old)
{
#ifndef _WIN32
    (void)::fchmod(fileno(stream), old.st_mode & 07777); // the umask's mode is no fault
#endif
}

// "image.partial.bin" beside "image.bin", then "image.partial-2.bin" and so
// on: a name that says what the file holds and which file it belongs to.
std::string PartialName(const std::string& target, int attempt)
{
    const size_t slash = target.find_last_of("/\\");
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = target.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > nameStart;
    const std::string stem = hasExtension ? target.substr(0, dot) : target;
    const std::string extension = hasExtension ? target.substr(dot) : std::string(".bin");
    return stem + ".partial" + (attempt > 1 ? "-" + std::to_string(attempt) : std::string()) + extension;
}

constexpr int PARTIAL_NAMES = 99;

bool IsEmptyFile(const std::string& filePath)
{
    struct stat info {};
    return ::stat(filePath.c_str(), &info) == 0 && info.st_size == 0;
}

const char* RecordsWord(int32_t count)
{
    return count == 1 ? "record" : "records";
}

// The image count is a signed 32-bit number; a larger file must be refused
// before it wraps into a count that sends the wrong amount.
constexpr int64_t LARGEST_IMAGE = INT32_MAX;

} // namespace

ImageTransfer::~ImageTransfer()
{
    // The owner has ended the worker before this runs (its link stops the
    // worker first), so the stream is free to close; a receive's bytes stay
    // beside the target as after a stop.
    if (imageFile != nullptr) {
        Finish(TransferOutcome::Stopped);
    }
}

TransferReport ImageTransfer::NothingRunning() const
{
    TransferReport report;
    report.ended = true;
    report.outcome = outcome.load();
    return report;
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
    // Asked first, so that a running transfer's file is never touched.
    if (Active()) {
        return Busy();
    }
    const std::string target = ResolveLink(filePath);
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        // A device takes the bytes as they come, and has no folder to put a
        // new file in; a FIFO or a directory is refused here.
        std::FILE* stream = OpenRegularFile(filePath, O_WRONLY | O_CREAT, "wb");
        if (stream == nullptr) {
            return CannotOpen(filePath, "writing");
        }
        return BeginReceive(stream, filePath);
    }
    std::FILE* stream = nullptr;
    std::string partial;
    for (int attempt = 1; attempt <= PARTIAL_NAMES && stream == nullptr; ++attempt) {
        partial = PartialName(target, attempt);
        errno = 0;
        stream = CreateNewFile(partial);
        if (stream == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (stream == nullptr) {
        return CannotOpen(filePath, "writing");
    }
    if (exists) {
        KeepMode(stream, old);
    }
    Reset(stream, filePath, TransferKind::Receive);
    writePath = partial;
    resolvedTarget = target;
    replaceTarget = true;
    targetExisted = exists;
    return {};
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
    Reset(stream, filePath, TransferKind::Send);
    imageBytesLeft = static_cast<int32_t>(size);
    recordsTotal = static_cast<int32_t>(size / IMAGE_RECORD_SIZE);
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
    Reset(stream, filePath, TransferKind::Receive);
    return {};
}

void ImageTransfer::Reset(std::FILE* stream, const std::string& filePath, TransferKind newKind)
{
    imageFile = stream;
    path = filePath;
    writePath = filePath;
    resolvedTarget.clear();
    keptPath.clear();
    replaceTarget = false;
    targetExisted = false;
    kind = newKind;
    imageBytesLeft = 0;
    recordsTotal = 0;
    recordsSent = 0;
    bytesReceived = 0;
    fileError = 0;
    outcome = TransferOutcome::Running;
    waitingForRadio = true;
}

std::string ImageTransfer::SendQuestion() const
{
    const int32_t records = recordsTotal.load();
    return Format("Send the %d %s of\n%s\nto the radio?\nThey replace everything the radio's memory holds now.",
                  records, RecordsWord(records), path.c_str());
}

void ImageTransfer::Abandon()
{
    if (!Active()) {
        return;
    }
    CloseUnwritten(imageFile);
    imageFile = nullptr;
    if (replaceTarget) {
        (void)std::remove(writePath.c_str()); // empty and ours: nothing is lost if it stays
        replaceTarget = false;
    }
    outcome = TransferOutcome::Stopped;
}

bool ImageTransfer::Start(RadioLink& link)
{
    if (!Active()) {
        return false;
    }
    // A port that has gone takes no transfer; the link waits for it.
    if (!link.linkRunning || link.State() == LinkState::PortGone) {
        Finish(TransferOutcome::Stopped);
        return false;
    }
    link.StopWorkerThread();
    outcome = TransferOutcome::Running;
    if (kind == TransferKind::Send) {
        link.StartWorker([this](RadioLink& l) { return ImageSendWorker(l, *this); }, LineUse::Owned);
        link.WriteBanner(SEND_BANNER_ROW1, SEND_BANNER_ROW2);
    } else {
        link.StartWorker([this](RadioLink& l) { return ImageReceiveWorker(l, *this); }, LineUse::Owned);
        link.WriteBanner(RECEIVE_BANNER_ROW1, RECEIVE_BANNER_ROW2);
    }
    return true;
}

TransferReport ImageTransfer::Supervise(RadioLink& link)
{
    if (!Active()) {
        return NothingRunning();
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

TransferReport ImageTransfer::Cancel(RadioLink& link, bool resumePolling)
{
    if (!Active()) {
        return NothingRunning();
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
    if (resumePolling) {
        RestartPollingIfRunning(link, report);
    }
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
        return NothingRunning();
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
    TransferReport report;
    report.ended = true;
    if (imageFile != nullptr) {
        errno = 0;
        // A whole image must be on the disk before it replaces the old one.
        const bool synced = !(replaceTarget && how == TransferOutcome::Completed) || SyncToDisk(imageFile);
        const int syncError = errno;
        const bool closed = std::fclose(imageFile) == 0;
        imageFile = nullptr;
        // For a receive the close is when the last buffered bytes reach the
        // file; a failure there loses them as surely as a failed write.
        if ((!closed || !synced) && kind == TransferKind::Receive && how != TransferOutcome::FileWriteFailed) {
            fileError = !synced && syncError != 0 ? syncError : errno != 0 ? errno : EIO;
            how = TransferOutcome::FileWriteFailed;
        }
    }
    if (replaceTarget) {
        how = SettleReceivedFile(how, report);
    }
    outcome = how;
    report.outcome = how;
    report.message = Describe(how);
    if (how == TransferOutcome::Completed) {
        report.summary = Summary();
    }
    return report;
}

TransferOutcome ImageTransfer::SettleReceivedFile(TransferOutcome how, TransferReport& report)
{
    replaceTarget = false;
    if (how == TransferOutcome::Completed) {
        errno = 0;
        if (ReplaceFile(writePath, resolvedTarget)) {
            writePath = path;
            return how;
        }
        fileError = errno != 0 ? errno : EIO;
        how = TransferOutcome::NotReplaced;
    } else if (IsEmptyFile(writePath)) {
        // Nothing came: no file of nothing is left to puzzle over.
        (void)std::remove(writePath.c_str()); // should it stay, it is an empty file of ours
        return how;
    }
    keptPath = writePath;
    report.keptPath = keptPath;
    return how;
}

std::string ImageTransfer::Summary() const
{
    if (kind == TransferKind::Send) {
        const int32_t sent = recordsSent.load();
        return Format("%d %s went to the radio from:\n%s", sent, RecordsWord(sent), path.c_str());
    }
    const int32_t bytes = bytesReceived.load();
    if (bytes % IMAGE_RECORD_SIZE != 0) {
        return Format("%d bytes were received into:\n%s\nThat is no whole number of %d-byte records.", bytes,
                      path.c_str(), IMAGE_RECORD_SIZE);
    }
    const int32_t records = bytes / IMAGE_RECORD_SIZE;
    return Format("%d %s (%d bytes) were received into:\n%s", records, RecordsWord(records), bytes, path.c_str());
}

std::string ImageTransfer::Describe(TransferOutcome how) const
{
    const bool sending = kind == TransferKind::Send;
    const std::string sent = Format("%d of %d records", recordsSent.load(), recordsTotal.load());
    // What an unfinished receive leaves: the bytes that came, in a file of
    // their own, and the old file as it was; or word that nothing came.
    const std::string unchanged = targetExisted ? "\nThe existing file was left as it was:\n" + path : std::string();
    const std::string kept =
        bytesReceived.load() == 0 && keptPath.empty()
            ? "the radio sent nothing.\nIs it switched on, connected and in PC/IF mode?" + unchanged
            : Format("the image is incomplete.\n%d bytes were received; they are kept in:\n%s",
                     bytesReceived.load(), (keptPath.empty() ? writePath : keptPath).c_str()) +
                  unchanged;
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
        return sending ? "Sending was stopped: " + sent + " went to the radio." : "Receiving was stopped: " + kept;
    case TransferOutcome::Cancelled:
        return sending ? "Sending was cancelled: " + sent + " went to the radio." : "Receiving was cancelled: " + kept;
    case TransferOutcome::FileWriteFailed:
        return Format("Unable to write to file:\n%s\n%s\nReceiving was ended after %d bytes: the image is incomplete.",
                      writePath.c_str(), std::strerror(fileError), bytesReceived.load()) +
               unchanged;
    case TransferOutcome::NotReplaced:
        return Format("The image was received whole, but it could not replace:\n%s\n%s\nIt is kept in:\n%s",
                      path.c_str(), std::strerror(fileError), keptPath.c_str());
    case TransferOutcome::FileReadFailed:
        return Format("Unable to read from file:\n%s\n%s\nSending was ended: %s went to the radio.", path.c_str(),
                      std::strerror(fileError), sent.c_str());
    case TransferOutcome::RadioNotTaking:
        return "The radio took no data for 5 seconds.\nSending was ended: " + sent + " went to the radio.";
    case TransferOutcome::LinkLost:
        return sending ? "The connection to the radio was lost.\nSending was ended: " + sent + " went to the radio."
                       : "The connection to the radio was lost: " + kept;
    }
    return {};
}
