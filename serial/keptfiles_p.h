#pragma once

#include <string>

// The platform's part of choosing the folder of kept files.

// A folder where the system's packages put programs (below /usr, say).
bool IsSystemLocation(const std::string& directory);

// Makes `directory` and any missing parent, readable by the user alone where
// the platform has such a notion. Failure is left to the writes that follow.
void MakeUserFolder(const std::string& directory);
