#include "transfer/imagetransfer.h"

#include "transfer/filesteps.h"
#include "protocol/radiolink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string_view>
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

// An open refused because the path names something other than a file: a
// folder, a FIFO or a device.
constexpr int NOT_A_FILE = -1;

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Why an open failed, in words: the system's own text names only the file.
// A receive creates a new file beside the one chosen, so what fails there
// is mostly the folder.
std::string Reason(const std::string& path, int error, bool writing)
{
    switch (error) {
    case NOT_A_FILE: return "It is a pipe or a device, not a file.";
    case EISDIR: return "It is a folder, not a file.";
    case ENOENT:
        return writing ? "The folder " + FolderOf(path) + " does not exist." : std::string("There is no such file.");
    case ENOTDIR: return "A part of its path is no folder.";
    case EACCES:
    case EPERM:
        return writing ? "You have no permission to create files in the folder " + FolderOf(path) + "."
                       : std::string("You have no permission to read it.");
    case EROFS: return "The disk it is on can only be read.";
    case ENOSPC: return "The disk is full.";
    default: return std::string(std::strerror(error)) + ".";
    }
}

std::string CannotOpen(const std::string& path, const char* direction, int error)
{
    const bool writing = std::string_view(direction) == "writing";
    return Format("Unable to open file:\n%s\nfor %s", path.c_str(), direction) +
           (error != 0 ? "\n" + Reason(path, error, writing) : std::string());
}

// Opens `filePath` as a stdio stream only when it is a regular file (or, to
// write, a device). A directory or a device opens too but holds no image to
// send, and a plain fopen of a FIFO blocks until something opens its other
// end, which would freeze the window; so the open does not wait, and the
// file is tested before anything is emptied.
// `error` says why when the result is null: an errno value, or NOT_A_FILE.
std::FILE* OpenRegularFile(const std::string& filePath, int flags, const char* mode, int& error)
{
#ifdef _WIN32
    // No FIFOs to fear here; only a directory or device is turned away.
    std::FILE* opened = std::fopen(filePath.c_str(), mode);
    error = opened == nullptr ? errno : 0;
    struct stat found {};
    if (opened != nullptr && (flags & O_CREAT) == 0 &&
        (::fstat(fileno(opened), &found) != 0 || (found.st_mode & S_IFMT) != S_IFREG)) {
        std::fclose(opened);
        opened = nullptr;
        error = (found.st_mode & S_IFMT) == S_IFDIR ? EISDIR : NOT_A_FILE;
    }
    return opened;
#else
    const int fd = ::open(filePath.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    error = fd < 0 ? errno : 0;
    struct stat info {};
    const bool known = fd >= 0 ? ::fstat(fd, &info) == 0 : ::stat(filePath.c_str(), &info) == 0;
    const bool regular = known && S_ISREG(info.st_mode);
    // A received image may also go to a device (the null device, say); a
    // FIFO's reader could stall the worker in a write that no STOP can end.
    const bool writable = (flags & O_CREAT) != 0 && known && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode));
    if (known && !regular && !writable) {
        error = S_ISDIR(info.st_mode) ? EISDIR : NOT_A_FILE;
    }
    if (fd < 0) {
        return nullptr;
    }
    const int status = ::fcntl(fd, F_GETFL);
    errno = 0;
    const bool ready = (regular || writable) && status >= 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0 &&
                       ((flags & O_CREAT) == 0 || !regular || ::ftruncate(fd, 0) == 0);
    std::FILE* stream = ready ? ::fdopen(fd, mode) : nullptr;
    if (stream == nullptr) {
        error = error != 0 ? error : errno != 0 ? errno : EIO;
        ::close(fd);
    }
    return stream;
#endif
}

// The file a symbolic link names, so that the image replaces that file and
// the link stays; any other path as it is.
std::string ResolveLink(const std::string& filePath)
{
#ifndef _WIN32
    std::error_code ec;
    if (std::filesystem::is_symlink(filePath, ec)) {
        const std::filesystem::path target = std::filesystem::canonical(filePath, ec);
        if (!ec) {
            return target.string();
        }
    }
#endif
    return filePath;
}

// The receive's new file keeps the old one's permissions when it replaces it.
void KeepMode([[maybe_unused]] std::FILE* stream, [[maybe_unused]] const struct stat& old)
{
#ifndef _WIN32
    (void)::fchmod(fileno(stream), old.st_mode & 07777); // the umask's mode is no fault
#endif
}

// "image.bin.partial" beside "image.bin", then "image.bin.partial-2" and so
// on: a name that says which file it belongs to and that it is no image, and
// that no "*.bin" filter of a file dialog offers for sending.
std::string PartialName(const std::string& target, int attempt)
{
    return target + ".partial" + (attempt > 1 ? "-" + std::to_string(attempt) : std::string());
}

// True for a name PartialName gives, and for the "image.partial.bin" and
// "image.partial-2.bin" that earlier versions kept such bytes under.
bool IsPartialName(const std::string& filePath)
{
    const size_t slash = filePath.find_last_of("/\\");
    const std::string_view name = std::string_view(filePath).substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t mark = name.rfind(".partial");
    if (mark == std::string_view::npos || mark == 0) {
        return false;
    }
    std::string_view rest = name.substr(mark + 8);
    if (!rest.empty() && rest.front() == '-') {
        const size_t digitsEnd = std::min(rest.find_first_not_of("0123456789", 1), rest.size());
        if (digitsEnd == 1) {
            return false;
        }
        rest.remove_prefix(digitsEnd);
    }
    return rest.empty() || (rest.front() == '.' && rest.find('.', 1) == std::string_view::npos);
}

constexpr int PARTIAL_NAMES = 99;

const char* RecordsWord(int32_t count)
{
    return count == 1 ? "record" : "records";
}

// "40 seconds", "3 minutes", "5 hours 50 minutes": how long a send takes,
// as a person plans for it.
std::string AboutDuration(uint64_t ms)
{
    const auto count = [](uint64_t n, const char* unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    const uint64_t seconds = std::max<uint64_t>((ms + 500) / 1000, 1);
    if (seconds < 60) {
        return count(seconds, "second");
    }
    const uint64_t minutes = (seconds + 30) / 60;
    if (minutes < 60) {
        return count(minutes, "minute");
    }
    return count(minutes / 60, "hour") + (minutes % 60 != 0 ? " " + count(minutes % 60, "minute") : std::string());
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
    int error = 0;
    // Only a regular file opens to read: a directory or a device holds no image.
    std::FILE* stream = OpenRegularFile(filePath, O_RDONLY, "rb", error);
    if (stream == nullptr) {
        return CannotOpen(filePath, "reading", error);
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
        int error = 0;
        std::FILE* stream = OpenRegularFile(filePath, O_WRONLY | O_CREAT, "wb", error);
        if (stream == nullptr) {
            return CannotOpen(filePath, "writing", error);
        }
        return BeginReceive(stream, filePath);
    }
    std::FILE* stream = nullptr;
    std::string partial;
    for (int attempt = 1; attempt <= PARTIAL_NAMES && stream == nullptr; ++attempt) {
        partial = PartialName(target, attempt);
        errno = 0;
        stream = filesteps::CreateNewFile(partial);
        if (stream == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (stream == nullptr) {
        // The new file goes beside the target, so its folder is what failed.
        return CannotOpen(filePath, "writing", errno != 0 ? errno : EEXIST);
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
        return CannotOpen(filePath, "reading", 0);
    }
    if (Active()) {
        CloseUnwritten(stream);
        return Busy();
    }
    // Kept bytes of a receive that did not end whole may happen to be whole
    // records, but they are no image the radio should take.
    if (IsPartialName(filePath)) {
        CloseUnwritten(stream);
        return Format("This file holds what was kept of a receive that did not end whole:\n%s\nIt is not sent: "
                      "choose an image that was received whole (to send this one all the same, rename it first).",
                      filePath.c_str());
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
    if (size == 0) {
        CloseUnwritten(stream);
        return Format("The file holds no records:\n%s\nAn empty file is no memory image: choose an image received "
                      "from the radio.",
                      filePath.c_str());
    }
    Reset(stream, filePath, TransferKind::Send);
    imageBytesLeft = static_cast<int32_t>(size);
    recordsTotal = static_cast<int32_t>(size / IMAGE_RECORD_SIZE);
    return {};
}

std::string ImageTransfer::BeginReceive(std::FILE* stream, const std::string& filePath)
{
    if (stream == nullptr) {
        return CannotOpen(filePath, "writing", 0);
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
    targetRecords = 0;
    awaitingReplace = false;
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
    std::string question =
        Format("Send the %d %s of\n%s\nto the radio?\nThey replace everything the radio's memory holds now.", records,
               RecordsWord(records), path.c_str());
    // More than the radio ever sent is more likely the wrong file than a backup.
    if (radioRecords > 0 && records > radioRecords) {
        question += Format("\nThe radio's image had only %d %s when it was last received.", radioRecords,
                           RecordsWord(radioRecords));
    }
    return question + "\nSending takes about " + AboutDuration(ExpectedSendMs(records)) + ".";
}

std::string ImageTransfer::ReplaceQuestion() const
{
    const int32_t records = bytesReceived.load() / IMAGE_RECORD_SIZE;
    return Format("The radio sent %d %s, fewer than the %d that\n%s\nholds now.\nReplace that file with the %d %s "
                  "received?",
                  records, RecordsWord(records), targetRecords, path.c_str(), records, RecordsWord(records));
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
    if (!link.Running() || link.State() == LinkState::PortGone) {
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
    TransferReport report = Finish(outcome.load());
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
    if (how == TransferOutcome::Running || (how == TransferOutcome::Stopped && link.Running())) {
        how = link.Running() ? TransferOutcome::Cancelled : TransferOutcome::Stopped;
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
    if (link.Running()) {
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
    return Finish(outcome.load());
}

TransferReport ImageTransfer::Finish(TransferOutcome how)
{
    // A worker that ended without an outcome of its own was stopped.
    if (how == TransferOutcome::Running) {
        how = TransferOutcome::Stopped;
    }
    // The radio's silence ends a receive whatever came before it: a pause, a
    // radio stopped half-way. Only whole records can be its image.
    const int32_t received = bytesReceived.load();
    if (how == TransferOutcome::Completed && kind == TransferKind::Receive &&
        (received < IMAGE_RECORD_SIZE || received % IMAGE_RECORD_SIZE != 0)) {
        how = TransferOutcome::NotWhole;
    }
    if (imageFile != nullptr) {
        errno = 0;
        // A whole image must be on the disk before it replaces the old one.
        const bool synced = !(replaceTarget && how == TransferOutcome::Completed) || filesteps::SyncToDisk(imageFile);
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
        how = SettleReceivedFile(how);
    }
    return Report(how);
}

TransferReport ImageTransfer::Report(TransferOutcome how)
{
    TransferReport report;
    report.ended = true;
    outcome = how;
    report.outcome = how;
    report.message = Describe(how);
    report.keptPath = keptPath;
    if (how == TransferOutcome::Completed) {
        report.summary = Summary();
        if (kind == TransferKind::Receive) {
            report.radioRecords = bytesReceived.load() / IMAGE_RECORD_SIZE;
        }
    }
    return report;
}

TransferOutcome ImageTransfer::SettleReceivedFile(TransferOutcome how)
{
    replaceTarget = false;
    if (how == TransferOutcome::Completed) {
        // A receive cut short at a record's end looks whole; one with fewer
        // records than the file it is to replace waits for the user's word.
        struct stat old {};
        const bool exists = ::stat(resolvedTarget.c_str(), &old) == 0 && S_ISREG(old.st_mode);
        targetRecords = exists ? static_cast<int32_t>(std::min<int64_t>(old.st_size, LARGEST_IMAGE) / IMAGE_RECORD_SIZE) : 0;
        if (bytesReceived.load() / IMAGE_RECORD_SIZE < targetRecords) {
            awaitingReplace = true;
            keptPath = writePath;
            return TransferOutcome::FewerRecords;
        }
        return PutInPlace();
    }
    if (struct stat written {}; ::stat(writePath.c_str(), &written) == 0 && written.st_size == 0) {
        // Nothing came: no file of nothing is left to puzzle over.
        (void)std::remove(writePath.c_str()); // should it stay, it is an empty file of ours
        return how;
    }
    keptPath = writePath;
    return how;
}

TransferOutcome ImageTransfer::PutInPlace()
{
    errno = 0;
    if (filesteps::RenameOver(writePath, resolvedTarget)) {
        writePath = path;
        keptPath.clear();
        return TransferOutcome::Completed;
    }
    fileError = errno != 0 ? errno : EIO;
    keptPath = writePath;
    return TransferOutcome::NotReplaced;
}

TransferReport ImageTransfer::ReplaceWithReceived()
{
    if (!awaitingReplace) {
        return NothingRunning();
    }
    awaitingReplace = false;
    return Report(PutInPlace());
}

std::string ImageTransfer::Summary() const
{
    if (kind == TransferKind::Send) {
        const int32_t sent = recordsSent.load();
        return Format("%d %s went to the radio from:\n%s", sent, RecordsWord(sent), path.c_str());
    }
    const int32_t bytes = bytesReceived.load();
    const int32_t records = bytes / IMAGE_RECORD_SIZE;
    return Format("%d %s (%d bytes) were received into:\n%s", records, RecordsWord(records), bytes, path.c_str());
}

std::string ImageTransfer::RadioHolds() const
{
    // Once the radio has said it is ready it takes what comes as its memory;
    // before that nothing of the image went to it.
    if (kind != TransferKind::Send || waitingForRadio.load() || recordsSent.load() >= recordsTotal.load()) {
        return {};
    }
    return "\nThe radio now holds only part of an image: send it a whole image again before you use it.";
}

std::string ImageTransfer::Describe(TransferOutcome how) const
{
    const bool sending = kind == TransferKind::Send;
    const std::string sent = Format("%d of %d records", recordsSent.load(), recordsTotal.load());
    const std::string holds = RadioHolds();
    // What an unfinished receive leaves: the bytes that came, in a file of
    // their own, and the old file as it was; or word that nothing came.
    const std::string unchanged = targetExisted ? "\nThe existing file was left as it was:\n" + path : std::string();
    const std::string where = (keptPath.empty() ? writePath : keptPath);
    const std::string kept =
        bytesReceived.load() == 0 && keptPath.empty()
            ? "the radio sent nothing.\nIs it switched on, connected and in PC/IF mode?" + unchanged
            : Format("the image is incomplete.\n%d bytes were received; they are kept in:\n%s",
                     bytesReceived.load(), where.c_str()) +
                  unchanged;
    const int32_t records = bytesReceived.load() / IMAGE_RECORD_SIZE;
    switch (how) {
    case TransferOutcome::Running:
        return {};
    case TransferOutcome::Completed:
        // A file that shrank after its size was taken ends after the promised
        // passes with fewer records sent; that is no whole image.
        if (sending && recordsSent.load() < recordsTotal.load()) {
            return Format("The file became shorter while it was sent:\n%s\nOnly %s went to the radio.", path.c_str(),
                          sent.c_str()) +
                   holds;
        }
        return {};
    case TransferOutcome::Stopped:
        return sending ? "Sending was stopped: " + sent + " went to the radio." + holds
                       : "Receiving was stopped: " + kept;
    case TransferOutcome::Cancelled:
        return sending ? "Sending was cancelled: " + sent + " went to the radio." + holds
                       : "Receiving was cancelled: " + kept;
    case TransferOutcome::FileWriteFailed:
        return Format("Unable to write to file:\n%s\n%s\nReceiving was ended after %d bytes: the image is incomplete.",
                      writePath.c_str(), std::strerror(fileError), bytesReceived.load()) +
               unchanged;
    case TransferOutcome::NotReplaced:
        return Format("The image was received whole, but it could not replace:\n%s\n%s\nIt is kept in:\n%s",
                      path.c_str(), std::strerror(fileError), keptPath.c_str());
    case TransferOutcome::NotWhole:
        return Format("The image did not come whole: the radio fell silent after %d bytes, which is no whole number "
                      "of %d-byte records.\nThey are %s:\n%s",
                      bytesReceived.load(), IMAGE_RECORD_SIZE, keptPath.empty() ? "in" : "kept in", where.c_str()) +
               unchanged + "\nReceive the image again.";
    case TransferOutcome::FewerRecords:
        return Format("The radio sent %d %s, fewer than the %d that\n%s\nholds, so that file was left as it was.\nThe "
                      "%d %s received are kept in:\n%s",
                      records, RecordsWord(records), targetRecords, path.c_str(), records, RecordsWord(records),
                      keptPath.c_str());
    case TransferOutcome::FileReadFailed:
        return Format("Unable to read from file:\n%s\n%s\nSending was ended: %s went to the radio.", path.c_str(),
                      std::strerror(fileError), sent.c_str()) +
               holds;
    case TransferOutcome::RadioNotTaking:
        return "The radio took no data for 5 seconds.\nSending was ended: " + sent + " went to the radio." + holds;
    case TransferOutcome::LinkLost:
        return sending ? "The connection to the radio was lost.\nSending was ended: " + sent + " went to the radio." +
                             holds
                       : "The connection to the radio was lost: " + kept;
    }
    return {};
}
