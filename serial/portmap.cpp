#include "serial/portmap.h"

#include "serial/keptfiles.h"
#include "serial/netendpoint.h"
#include "serial/portname.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kMaxComNumber = 999999999;
// A line longer than this is no endpoint; the file is not read further.
constexpr std::streamsize kMaxEndpointLine = 512;

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string EntryPath(const PortMapRoots& roots, int number)
{
    return (fs::path(roots.portsDirectory) / ("COM" + std::to_string(number))).string();
}

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    char c = 0;
    while (line.size() < static_cast<size_t>(kMaxEndpointLine) && in.get(c)) {
        line += c;
        if (c == '\n') {
            break;
        }
    }
    // Anything after the first line end other than blank space makes it no
    // one-line file; so does a tail too long to be blank lines.
    for (std::streamsize tail = 0; in.get(c); ++tail) {
        if (tail >= kMaxEndpointLine || (c != '\n' && c != '\r' && c != ' ' && c != '\t')) {
            return {};
        }
    }
    return line;
}

// What identifies an open device: for a device node its device number, so
// that two nodes of one device match; for anything else the inode.
struct Identity {
    bool valid = false;
    bool character = false;
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const Identity& other) const
    {
        if (!valid || !other.valid || character != other.character) {
            return false;
        }
        return character ? device == other.device : (device == other.device && inode == other.inode);
    }
};

Identity IdentityOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    if (S_ISCHR(st.st_mode)) {
        return Identity{true, true, st.st_rdev, 0};
    }
    return Identity{true, false, st.st_dev, st.st_ino};
}

// Pseudo-terminals: the multiplexer every master side is opened through,
// and the majors of the terminals' slave sides (Unix98 ptys).
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
constexpr unsigned kFirstPtsMajor = 136;
constexpr unsigned kLastPtsMajor = 143;

// The number of the pseudo-terminal whose slave side `identity` is; -1 for
// any other device.
long PtsIndexOf(const Identity& identity)
{
    if (!identity.valid || !identity.character) {
        return -1;
    }
    const unsigned deviceMajor = major(identity.device);
    if (deviceMajor < kFirstPtsMajor || deviceMajor > kLastPtsMajor) {
        return -1;
    }
    return static_cast<long>(deviceMajor - kFirstPtsMajor) * 256 + static_cast<long>(minor(identity.device));
}

// The pseudo-terminal whose master side an open descriptor is, as the
// kernel tells it in the descriptor's fdinfo; -1 when it is none.
long MasterIndexOf(const Identity& identity, const std::string& fdInfoPath)
{
    if (!identity.valid || !identity.character || major(identity.device) != kPtmxMajor ||
        minor(identity.device) != kPtmxMinor) {
        return -1;
    }
    std::ifstream info(fdInfoPath);
    std::string line;
    constexpr std::string_view key = "tty-index:";
    while (std::getline(info, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            const std::string number = line.substr(key.size());
            char* end = nullptr;
            const long index = std::strtol(number.c_str(), &end, 10);
            return end != number.c_str() ? index : -1;
        }
    }
    return -1;
}

std::string ProgramOf(const std::string& processDirectory)
{
    // argv[0] gives the whole name, comm only its first fifteen characters;
    // comm is the fallback for a process that rewrote its arguments.
    std::ifstream cmdline(processDirectory + "/cmdline", std::ios::binary);
    std::string first;
    std::getline(cmdline, first, '\0');
    if (!first.empty()) {
        const auto cut = first.find_last_of('/');
        return cut == std::string::npos ? first : first.substr(cut + 1);
    }
    std::ifstream comm(processDirectory + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool Permitted(const std::string& path)
{
    return ::access(path.c_str(), R_OK | W_OK) == 0;
}

std::string Resolved(const std::string& path)
{
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::atomic<unsigned> tempCounter{0};

// "ttyUSB12" → 12 after the prefix; -1 when the rest is not a number.
long NodeNumber(const std::string& name, const std::string& prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size());
    return AllDigits(digits) && digits.size() < 9 ? std::stol(digits) : -1;
}

// The kernel makes ttyS nodes for every port it could have; those without a
// UART behind them read as port type 0 in sysfs.
bool HasPort(const PortMapRoots& roots, const std::string& name)
{
    std::ifstream in(roots.sysTtyDirectory + "/" + name + "/type");
    long type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

// The states of devices that exist, with one pass over /proc.
void FillStates(const std::vector<PortState*>& states, const std::vector<std::string>& devices,
                const std::string& procDirectory)
{
    const auto holders = FindHolders(devices, procDirectory);
    for (size_t i = 0; i < states.size(); ++i) {
        states[i]->exists = true;
        states[i]->permitted = Permitted(devices[i]);
        states[i]->holders = holders[i];
    }
}

// The states of the links that lead to a device.
void FillStates(std::vector<PortEntry>& entries, const std::string& procDirectory)
{
    std::vector<std::string> devices;
    std::vector<PortState*> states;
    for (PortEntry& entry : entries) {
        if (entry.kind == PortEntryKind::Link && !entry.device.empty()) {
            devices.push_back(entry.device);
            states.push_back(&entry.state);
        }
    }
    FillStates(states, devices, procDirectory);
}

} // namespace

std::string ReadLink(const std::string& path)
{
    std::error_code ec;
    return fs::read_symlink(path, ec).string(); // an empty path on failure
}

std::string DescribePortState(const PortState& state)
{
    if (!state.exists) {
        return "missing";
    }
    if (!state.holders.empty()) {
        return "in use by " + DescribeHolders(state.holders);
    }
    if (!state.permitted) {
        return "not permitted";
    }
    return "free";
}

PortMapRoots SystemPortMapRoots()
{
    PortMapRoots roots;
    roots.portsDirectory = (fs::path(KeptFilesDirectory()) / "ports").string();
    return roots;
}

bool IsNetworkEndpoint(const std::string& text)
{
    // The port opens what this accepts, so both ask the one parser.
    return ParseNetEndpoint(text).has_value();
}

PortState InspectDevice(const std::string& path, const PortMapRoots& roots)
{
    PortState state;
    struct stat st {};
    state.exists = ::stat(path.c_str(), &st) == 0;
    if (state.exists) {
        state.permitted = Permitted(path);
        state.holders = FindHolders({path}, roots.procDirectory).front();
    }
    return state;
}

std::vector<std::vector<PortHolder>> FindHolders(const std::vector<std::string>& paths,
                                                 const std::string& procDirectory)
{
    std::vector<std::vector<PortHolder>> holders(paths.size());
    std::vector<Identity> wanted;
    wanted.reserve(paths.size());
    bool any = false;
    for (const std::string& path : paths) {
        wanted.push_back(IdentityOf(path));
        any = any || wanted.back().valid;
    }
    if (!any) {
        return holders;
    }
    DIR* proc = ::opendir(procDirectory.c_str());
    if (proc == nullptr) {
        return holders;
    }
    const long self = static_cast<long>(::getpid());
    while (const dirent* process = ::readdir(proc)) {
        const std::string pidText = process->d_name;
        if (!AllDigits(pidText) || pidText.size() > 9) {
            continue;
        }
        std::string processDirectory = procDirectory;
        processDirectory.append("/").append(pidText);
        const std::string fdDirectory = processDirectory + "/fd";
        // Another user's descriptors are closed to us: that process stays unnamed.
        DIR* fds = ::opendir(fdDirectory.c_str());
        if (fds == nullptr) {
            continue;
        }
        std::vector<bool> holds(paths.size(), false);
        std::vector<long> masters;
        while (const dirent* fd = ::readdir(fds)) {
            if (!AllDigits(fd->d_name)) {
                continue;
            }
            const Identity open = IdentityOf(fdDirectory + "/" + fd->d_name);
            for (size_t i = 0; i < wanted.size(); ++i) {
                holds[i] = holds[i] || open == wanted[i];
            }
            if (const long master = MasterIndexOf(open, processDirectory + "/fdinfo/" + fd->d_name); master >= 0) {
                masters.push_back(master);
            }
        }
        ::closedir(fds);
        // The program that holds a pseudo-terminal's master side is the far
        // end of the line (radiosim, a terminal emulator), even where it
        // keeps the slave side open as well: no user of the port. This
        // program never plays a radio; where it holds both ends (a test
        // playing one), its own opens of the port are still its own.
        const long pid = std::stol(pidText);
        for (size_t i = 0; i < wanted.size() && pid != self; ++i) {
            const long index = PtsIndexOf(wanted[i]);
            if (holds[i] && index >= 0 && std::find(masters.begin(), masters.end(), index) != masters.end()) {
                holds[i] = false;
            }
        }
        if (std::find(holds.begin(), holds.end(), true) == holds.end()) {
            continue;
        }
        const PortHolder holder{pid, ProgramOf(processDirectory), pid == self};
        for (size_t i = 0; i < holds.size(); ++i) {
            if (holds[i]) {
                holders[i].push_back(holder);
            }
        }
    }
    ::closedir(proc);
    for (auto& list : holders) {
        std::sort(list.begin(), list.end(), [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    }
    return holders;
}

std::vector<PortEntry> ReadPortMap(const PortMapRoots& roots)
{
    std::vector<PortEntry> entries;
    std::error_code ec;
    fs::directory_iterator it(roots.portsDirectory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long number = ComNumberOfPortName(name);
        if (number < 0 || number > kMaxComNumber) {
            continue;
        }
        PortEntry entry;
        entry.number = static_cast<int>(number);
        const std::string path = it->path().string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue; // gone while we looked
        }
        if (S_ISLNK(st.st_mode)) {
            entry.kind = PortEntryKind::Link;
            entry.target = ReadLink(path);
            entry.device = Resolved(path);
        } else if (const std::string line = S_ISREG(st.st_mode) ? FirstLine(path) : std::string();
                   IsNetworkEndpoint(line)) {
            entry.kind = PortEntryKind::Network;
            // The line end, and blanks before it, are no part of the endpoint.
            entry.target = line.substr(0, line.find_last_not_of(" \t\n\v\f\r") + 1);
        } else {
            entry.kind = PortEntryKind::Unusable;
            entry.target = S_ISDIR(st.st_mode) ? "a folder" : "a file that names no device";
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });

    FillStates(entries, roots.procDirectory);
    return entries;
}

std::vector<SerialDevice> ListSerialDevices(const PortMapRoots& roots)
{
    std::vector<SerialDevice> devices;
    std::error_code ec;
    fs::directory_iterator it(roots.byIdDirectory, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') {
            continue;
        }
        const std::string device = Resolved(it->path().string());
        if (device.empty()) {
            continue;
        }
        devices.push_back(SerialDevice{it->path().string(), name, device, {}});
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return a.name < b.name; });
    return devices;
}

std::vector<SerialDevice> ListAllSerialDevices(const PortMapRoots& roots)
{
    std::vector<SerialDevice> devices = ListSerialDevices(roots);
    std::vector<std::string> named;
    named.reserve(devices.size());
    for (const SerialDevice& device : devices) {
        named.push_back(device.device);
    }
    for (const char* const prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<long, std::string>> nodes;
        std::error_code ec;
        fs::directory_iterator it(roots.devDirectory, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const long number = NodeNumber(name, prefix);
            if (number >= 0 && (std::strcmp(prefix, "ttyS") != 0 || HasPort(roots, name))) {
                nodes.emplace_back(number, name);
            }
        }
        std::sort(nodes.begin(), nodes.end());
        for (const auto& node : nodes) {
            const std::string path = (fs::path(roots.devDirectory) / node.second).string();
            const std::string device = Resolved(path);
            if (device.empty() || std::find(named.begin(), named.end(), device) != named.end()) {
                continue;
            }
            devices.push_back(SerialDevice{path, node.second, device, {}});
        }
    }
    std::vector<std::string> paths;
    std::vector<PortState*> states;
    for (SerialDevice& device : devices) {
        paths.push_back(device.device);
        states.push_back(&device.state);
    }
    FillStates(states, paths, roots.procDirectory);
    return devices;
}

std::vector<PortEntry> ProposePortMap(const PortMapRoots& roots)
{
    std::vector<PortEntry> proposal;
    if (!ReadPortMap(roots).empty()) {
        return proposal;
    }
    for (const SerialDevice& device : ListSerialDevices(roots)) {
        PortEntry entry;
        entry.number = static_cast<int>(proposal.size()) + 1;
        entry.kind = PortEntryKind::Link;
        entry.target = device.path;
        entry.device = device.device;
        proposal.push_back(std::move(entry));
    }
    FillStates(proposal, roots.procDirectory);
    return proposal;
}

std::string DescribeHolders(const std::vector<PortHolder>& holders)
{
    std::string text;
    for (const PortHolder& holder : holders) {
        if (!text.empty()) {
            text += ", ";
        }
        if (holder.self) {
            text += "this program";
            continue;
        }
        text += (holder.program.empty() ? std::string("a program") : holder.program) + " (pid " +
                std::to_string(holder.pid) + ")";
    }
    return text;
}

std::string DescribePortEntry(const PortEntry& entry)
{
    std::string text = "COM" + std::to_string(entry.number) + "  ";
    switch (entry.kind) {
    case PortEntryKind::Network:
        return text + entry.target + ": network endpoint";
    case PortEntryKind::Unusable:
        return text + "unusable: " + entry.target;
    case PortEntryKind::Link:
        break;
    }
    text += entry.target;
    if (!entry.device.empty() && entry.device != entry.target) {
        text += " -> " + entry.device;
    }
    return text + ": " + DescribePortState(entry.state);
}

std::string PortEntryDeviceText(const PortEntry& entry)
{
    if (entry.kind != PortEntryKind::Link || entry.device.empty() || entry.device == entry.target) {
        return entry.target;
    }
    return entry.target + " \u2192 " + entry.device;
}

std::string PortEntryConditionText(const PortEntry& entry)
{
    switch (entry.kind) {
    case PortEntryKind::Network:
        return "network endpoint";
    case PortEntryKind::Unusable:
        return "unusable";
    case PortEntryKind::Link:
        break;
    }
    return DescribePortState(entry.state);
}

std::string PortFallbackText(long number)
{
    if (number < 1) {
        return "COM" + std::to_string(number) + " has no link and no device of its own";
    }
    return "COM" + std::to_string(number) + " opens /dev/ttyS" + std::to_string(number - 1) + " (no link)";
}

std::string PortMapHeading(const std::string& portsDirectory, bool proposal, size_t entries)
{
    if (!proposal) {
        return "The links in " + portsDirectory + ". A number without one, COM<n>, opens /dev/ttyS<n-1>.";
    }
    if (entries != 0) {
        return "There are no links in " + portsDirectory +
               " yet. Proposed from the serial devices plugged in; nothing is written until you keep it.";
    }
    return "There are no links in " + portsDirectory + " and no USB serial devices: COM<n> opens /dev/ttyS<n-1>.";
}

namespace {

// Whether what stands at `path` may go: a link always, a directory never,
// anything else only when `files`.
bool MayReplace(const std::string& path, const struct stat& st, bool files, std::string& error)
{
    if (S_ISDIR(st.st_mode)) {
        error = path + " is a folder; it is left alone.";
        return false;
    }
    if (!S_ISLNK(st.st_mode) && !files) {
        error = path + " is a file of its own (a network endpoint, say); it is kept.";
        return false;
    }
    return true;
}

// Puts a new entry at ports/COM<number>: `make` makes it under a temporary
// name, which is then renamed over the entry, so that a reader sees either
// the old entry or the new one, never none. Whatever stands there is
// replaced, a link always, a regular file only when `replaceFile`, a
// directory never.
bool PutPortEntry(const PortMapRoots& roots, int number, bool replaceFile, std::string& error,
                  const std::function<bool(const std::string& temp, std::string& error)>& make)
{
    if (number < 0 || number > kMaxComNumber) {
        error = "COM " + std::to_string(number) + " is no port number.";
        return false;
    }
    const std::string path = EntryPath(roots, number);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !MayReplace(path, st, replaceFile, error)) {
        return false;
    }
    std::error_code ec;
    fs::create_directories(roots.portsDirectory, ec);
    if (ec) {
        error = "Cannot make " + roots.portsDirectory + ": " + ec.message();
        return false;
    }
    const std::string temp = (fs::path(roots.portsDirectory) /
                              (".COM" + std::to_string(number) + ".new-" + std::to_string(::getpid()) + "-" +
                               std::to_string(tempCounter.fetch_add(1))))
                                 .string();
    if (!make(temp, error)) {
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = "Cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool WritePortLink(const PortMapRoots& roots, int number, const std::string& target, bool replaceFile,
                   std::string& error)
{
    if (target.empty() || target.find('\n') != std::string::npos || target.find('\0') != std::string::npos) {
        error = "Name the device by its full path, say /dev/ttyUSB0.";
        return false;
    }
    return PutPortEntry(roots, number, replaceFile, error, [&](const std::string& temp, std::string& why) {
        if (::symlink(target.c_str(), temp.c_str()) != 0) {
            why = "Cannot make a link in " + roots.portsDirectory + ": " + std::strerror(errno);
            return false;
        }
        return true;
    });
}

bool WritePortEndpoint(const PortMapRoots& roots, int number, const std::string& endpoint, bool replaceFile,
                       std::string& error)
{
    if (!IsNetworkEndpoint(endpoint)) {
        error = endpoint + " is no network endpoint: write rfc2217://HOST:PORT or tcp://HOST:PORT.";
        return false;
    }
    return PutPortEntry(roots, number, replaceFile, error, [&](const std::string& temp, std::string& why) {
        // A kept file like any other: private to the user, and made new.
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            why = "Cannot write in " + roots.portsDirectory + ": " + std::strerror(errno);
            return false;
        }
        const std::string line = endpoint + "\n";
        const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        const int writeError = errno;
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            why = "Cannot write in " + roots.portsDirectory + ": " + std::strerror(written ? errno : writeError);
            ::unlink(temp.c_str());
            return false;
        }
        return true;
    });
}

bool RemovePortLink(const PortMapRoots& roots, int number, bool removeFile, std::string& error)
{
    const std::string path = EntryPath(roots, number);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!MayReplace(path, st, removeFile, error)) {
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "Cannot remove " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool KeepProposal(const PortMapRoots& roots, const std::vector<PortEntry>& proposal, std::string& error)
{
    for (const PortEntry& entry : proposal) {
        if (!WritePortLink(roots, entry.number, entry.target, false, error)) {
            return false;
        }
    }
    return true;
}

std::string PermissionAdvice(const std::string& path)
{
    std::string groupName = "dialout";
    gid_t gid = 0;
    bool listed = false;
    struct stat st {};
    std::vector<char> buffer(16384);
    std::vector<char> userBuffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    // A device of root's own group is closed to every other user, whatever
    // groups they are in (a container, a system that never gave its ports
    // to dialout): joining a group would not help.
    if (exists && st.st_gid == 0) {
        return "It belongs to root's group, so no group you could join opens it: ask the administrator to give "
               "it to the dialout group (chgrp dialout " + path + " && chmod g+rw " + path + ").";
    }
    if (exists && ::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        groupName = found->gr_name;
        gid = st.st_gid;
        struct passwd user {};
        struct passwd* me = nullptr;
        if (::getpwuid_r(::getuid(), &user, userBuffer.data(), userBuffer.size(), &me) == 0 && me != nullptr) {
            for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
                listed = listed || std::strcmp(*member, me->pw_name) == 0;
            }
            listed = listed || me->pw_gid == gid;
        }
    }
    bool inSession = gid != 0 && ::getegid() == gid;
    if (gid != 0 && !inSession) {
        std::vector<gid_t> groups(256);
        const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
        inSession = n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
    }
    if (inSession) {
        return "The " + groupName + " group, which you are in, may not read and write it either: ask the "
               "administrator to allow that (chmod g+rw " + path + ").";
    }
    if (listed) {
        // The groups of a session are fixed when it begins.
        return "You are in the " + groupName + " group, but this session began before you joined it: log out "
               "and in again (or start the program from \"newgrp " + groupName + "\").";
    }
    return "Add yourself to the " + groupName + " group (sudo adduser $USER " + groupName +
           "), then log out and in again.";
}
