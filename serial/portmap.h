#pragma once

// The COM map on POSIX systems: which device each ports/COM<n> entry in the
// folder of kept files names, whether that device is there, usable and free, and a
// first map proposed from /dev/serial/by-id when the user has made none.
//
// Every root is a plain directory name so that a test can point the model at
// a fake tree.

#include <string>
#include <vector>

struct PortMapRoots {
    std::string portsDirectory = "ports";
    std::string byIdDirectory = "/dev/serial/by-id";
    std::string procDirectory = "/proc";
    std::string devDirectory = "/dev";
    std::string sysTtyDirectory = "/sys/class/tty";
};

// ports/ in the folder of kept files, the system's by-id folder and /proc.
PortMapRoots SystemPortMapRoots();

enum class PortEntryKind : int {
    Link = 0,     // a symbolic link to a device (the target may be gone)
    Network = 1,  // a file naming rfc2217:// or tcp:// HOST:PORT
    Unusable = 2, // anything else under that name: a directory, a file of other text
};

struct PortHolder {
    long pid = 0;
    std::string program; // empty when the process could not be named
    bool self = false;   // this very program
};

struct PortState {
    bool exists = false;
    bool permitted = false;
    std::vector<PortHolder> holders;
};

struct PortEntry {
    int number = 0;
    PortEntryKind kind = PortEntryKind::Link;
    // The link's target as written, or the network endpoint.
    std::string target;
    // The device the target leads to in the end; empty when it leads nowhere.
    std::string device;
    // Only meaningful for links.
    PortState state;
};

// A serial device under the by-id folder: its stable path there, the name
// within the folder, and the device node it currently stands for.
struct SerialDevice {
    std::string path;
    std::string name;
    std::string device;
    // Filled by ListAllSerialDevices only.
    PortState state;
};

// The target of the symbolic link `path`, as written; empty when it is none.
std::string ReadLink(const std::string& path);

// True for one line "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (a trailing
// line end allowed), with a port of 1 to 65535.
bool IsNetworkEndpoint(const std::string& text);

// The entries of the ports folder in number order, with their states.
std::vector<PortEntry> ReadPortMap(const PortMapRoots& roots);

// The devices of the by-id folder, sorted by name: the same cables give the
// same order whenever they are plugged in. Entries that lead nowhere are left
// out.
std::vector<SerialDevice> ListSerialDevices(const PortMapRoots& roots);

// Every serial device there is, for the user to pick from: the by-id names
// first, as above, then the ttyUSB*, ttyACM* and ttyS* nodes of the device
// folder that no by-id name stands for, each kind in number order. A ttyS
// node counts only where the kernel found a port behind it, since most of
// them stand for nothing. With their states, in one pass over /proc.
std::vector<SerialDevice> ListAllSerialDevices(const PortMapRoots& roots);

// COM 1, 2, ... for the by-id devices in their order, when the ports folder
// has no entries at all; otherwise none. Nothing is written.
std::vector<PortEntry> ProposePortMap(const PortMapRoots& roots);

// Exists, permitted and the processes that hold `path` open, the device
// being found through /proc/<pid>/fd.
PortState InspectDevice(const std::string& path, const PortMapRoots& roots);

// The processes holding each of `paths` open, in one pass over /proc.
std::vector<std::vector<PortHolder>> FindHolders(const std::vector<std::string>& paths,
                                                 const std::string& procDirectory);

// The condition of a device in a short phrase: "missing", "free", "not
// permitted" or "in use by minicom (pid 4242)".
std::string DescribePortState(const PortState& state);

// "minicom (pid 4242)", "this program", joined by commas; empty for none.
std::string DescribeHolders(const std::vector<PortHolder>& holders);

// One line for the user: "COM1  /dev/serial/by-id/usb-X -> /dev/ttyUSB0: in use by minicom (pid 42)".
std::string DescribePortEntry(const PortEntry& entry);

// Points ports/COM<number> at `target`, replacing a link that is there. A
// regular file (a network endpoint, say) is replaced only when
// `replaceFile`; a directory never. The link appears whole or not at all.
bool WritePortLink(const PortMapRoots& roots, int number, const std::string& target, bool replaceFile,
                   std::string& error);

// Makes ports/COM<number> a file holding the one line `endpoint`
// (rfc2217://HOST:PORT or tcp://HOST:PORT), private to the user, replacing
// what stands there as WritePortLink does.
bool WritePortEndpoint(const PortMapRoots& roots, int number, const std::string& endpoint, bool replaceFile,
                       std::string& error);

// Removes ports/COM<number> when it is a link, or a regular file when
// `removeFile`. An entry that is not there is no failure.
bool RemovePortLink(const PortMapRoots& roots, int number, bool removeFile, std::string& error);

// Writes every entry of a proposal; stops at the first failure.
bool KeepProposal(const PortMapRoots& roots, const std::vector<PortEntry>& proposal, std::string& error);

// The Serial ports dialog's columns for one entry, which the command line
// shows as well: the device ("target \u2192 device" for a link that leads
// elsewhere) and its condition in one short phrase ("free", "missing",
// "in use by minicom (pid 42)", "network endpoint", "unusable").
std::string PortEntryDeviceText(const PortEntry& entry);
std::string PortEntryConditionText(const PortEntry& entry);

// Where COM `number` leads when the map has no entry for it.
std::string PortFallbackText(long number);

// The sentence above the map: its entries, a proposal (`proposal` true and
// `entries` not 0) or nothing at all.
std::string PortMapHeading(const std::string& portsDirectory, bool proposal, size_t entries);

// What to do about a device that may not be opened: which group to join,
// and that the new group counts only after logging in again.
std::string PermissionAdvice(const std::string& path);
