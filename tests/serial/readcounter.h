#pragma once

// Counts the read() calls that reach one device, so that a test can tell how
// a port split its reads without a seam in the port itself. The test binary
// is linked with --wrap=read, which routes every read() through here.

#include <string>
#include <vector>

// Starts recording the result of every read() on the device at `path`.
void StartCountingReads(const std::string& path);

// Stops recording and returns the byte counts of the reads that returned data.
std::vector<long> StopCountingReads();
