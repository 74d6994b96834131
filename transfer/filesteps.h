#pragma once

// The platform's steps for a file that takes another's place only once it is
// whole: made new beside it, flushed to the disk, renamed over it. Both the
// receive of an image and the store of what is remembered about the radio
// use them.

#include <cstdio>
#include <string>

namespace filesteps {

// Creates `filePath` for writing only if no file of that name exists, so
// that nothing the user keeps is ever overwritten by it; null otherwise,
// with errno set (EEXIST when the name is taken). `privateFile` makes it
// readable by its owner alone; otherwise the umask decides.
std::FILE* CreateNewFile(const std::string& filePath, bool privateFile = false);

// The written bytes on the disk itself, before the file takes another's
// place: a power cut must not leave an empty file under the old name.
bool SyncToDisk(std::FILE* stream);

// Renames `from` over `to` in one step, replacing it where it exists; errno
// set on failure. (Not called ReplaceFile: windows.h makes that a macro.)
bool RenameOver(const std::string& from, const std::string& to);

} // namespace filesteps
