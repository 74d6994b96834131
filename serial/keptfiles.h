#pragma once

// Where the program keeps its files: Ostrelle.cfg, the ports/ folder of the
// COM map, the trace, and whatever else it remembers between runs.
//
// A build folder or a portable copy keeps them beside the executable, as it
// always has. An installed executable must never write beside itself (the
// folder is the system's, or shared by every user), so its files live in
// the user's configuration folder instead, under the same names. Every part
// of the program, with or without a window, asks KeptFilesDirectory() and
// nothing else.

#include <cstdio>
#include <string>

// The name of the user's folder under the configuration root; the window's
// toolkit derives the same from the application's name.
inline constexpr const char* KEPT_FILES_FOLDER_NAME = "ostrelle";

// The AppStream id under which an install lays down its metainfo; an
// executable whose folder has ../share/metainfo/<id>.metainfo.xml was
// installed there, whoever owns the folder.
inline constexpr const char* APPSTREAM_ID = "org.ostrelle.Ostrelle";

// The folder of kept files for this process, without a trailing separator.
// Decided once; when it is the user's configuration folder, it is created
// (private to the user) on that first call.
const std::string& KeptFilesDirectory();

// The user's configuration folder for the program. On POSIX systems
// $XDG_CONFIG_HOME/ostrelle when that variable holds an absolute path, else
// $HOME/.config/ostrelle (the home from the password database when HOME is
// unset); on Windows %LOCALAPPDATA%\ostrelle. Null pointers stand for unset
// variables.
std::string UserConfigDirectory(const char* xdgConfigHome, const char* home);

// The same from this process's environment.
std::string UserConfigDirectory();

// True when `executableDirectory` is where an install put the program: a
// program folder of the system (/usr/bin, /usr/local/bin, /bin, /opt/<x>/bin,
// below /snap or /nix/store; Program Files on Windows), or a folder named bin
// whose prefix's share/metainfo holds the program's metainfo. The metainfo is
// looked for below `root` as if it were the file system's root (empty: the
// real one), so that a test lays out prefixes of its own.
bool IsInstalledLocation(const std::string& executableDirectory, const std::string& root = {});

// True when this process may keep files in `directory`: on POSIX systems it
// belongs to the effective user, its owner may write it, access() agrees,
// and a file can really be made and removed there (a read-only mount, a
// network file system that maps root to nobody). On Windows the last alone.
bool IsUsersOwnFolder(const std::string& directory);

// The decision itself: beside the executable when its folder is not an
// installed location and is the user's own, else `userDirectory`.
std::string ChooseKeptFilesDirectory(const std::string& executableDirectory, const std::string& userDirectory);

// A kept file opened to add to its end (the trace, a day's activity file).
struct KeptAppendFile {
    std::FILE* file = nullptr; // null when refused; the caller closes it
    long size = 0;             // its length before anything is added
    bool endsMidLine = false;  // its last byte is no line end: a cut line
    std::string refused;       // why not, in words for the user
};

// Opens `path` for appending. What is made is private to the user (0600,
// whatever the umask), since the folder may be readable by others; an
// existing file keeps the mode it has. A symbolic link there is never
// followed, dangling or not: the program's lines go to its own file or
// nowhere, never into a file somebody else chose. Only a regular file is
// opened (a FIFO would wait for a reader).
KeptAppendFile OpenKeptFileToAppend(const std::string& path);

// Cuts an appended file back to `size`, through the open file rather than
// its name, after a write that the disk took only in part.
bool CutKeptFile(std::FILE* file, long size);
