#pragma once

// What the tests need to run a real server as a child on loopback: a free
// port, knowing when it listens, and starting and killing it.

#include <string>
#include <vector>

#include <sys/types.h>

// A new private folder /tmp/ostrelle-NAME-PID-XXXXXX for a server's files;
// empty with `error` when none could be made.
std::string MakeServerDirectory(const std::string& name, std::string& error);

// A free TCP port on 127.0.0.1 at the moment of asking; 0 when none.
int FreeLoopbackPort();

// True once a socket listens on 127.0.0.1:port.
bool ListeningOnLoopback(int port);

// Starts args[0] with `args`, its output and errors into `outputFile`, and
// waits up to limitMs until it listens on 127.0.0.1:port. Returns its pid,
// or -1 with `error` (it ended, or never listened and was killed).
pid_t SpawnLoopbackServer(std::vector<std::string> args, const std::string& outputFile, int port, int limitMs,
                          std::string& error);

// SIGKILL and reap: no goodbye on its connections. Sets pid to -1.
void KillLoopbackServer(pid_t& pid);
