// Whether an X server answers at all, asked on a socket of our own before Xlib is let near it. XOpenDisplay waits
// for the server's setup reply without any time limit, and holds Xlib's process-wide lock while it does, which also
// stalls every extension call (RandR, MIT-SHM, RENDER) on other connections: so it is only called once the server
// has just shown that it answers.
#pragma once

#include <chrono>
#include <string>

namespace quorvel::platform::x11 {

enum class ProbeResult {
  kAnswered,  // something came back (a setup reply, or the peer closing): XOpenDisplay will not wait long
  kGone,      // nothing listens there, or the name cannot be parsed: XOpenDisplay would fail as well
  kSilent,    // accepted, but nothing came back within the time allowed
};

// Connects the way Xlib would for the display `name` (the Linux abstract socket, then the socket file, then TCP
// where Xlib would try it) and sends a connection setup. Waits at most `timeout` in all.
ProbeResult ProbeServer(const std::string& name, std::chrono::milliseconds timeout);

}  // namespace quorvel::platform::x11
