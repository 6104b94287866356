#pragma once
// Turning "please end" requests from outside (Ctrl+C in a terminal, a
// service manager's stop) into something an event loop can watch.

namespace klink::platform {

// Installs handlers for SIGINT and SIGTERM (POSIX) that only write one byte
// to a pipe, and returns the pipe's read end: it becomes readable when such a
// request arrives. Call once, before other threads start. The handler does
// nothing else, so the program decides on its own thread how to end. Throws
// OSError when the pipe or the handlers cannot be set up.
[[nodiscard]] int InstallTerminationSignalPipe();

// Empties the pipe after a wake-up; returns how many requests were read.
int DrainTerminationSignalPipe(int fd) noexcept;

}  // namespace klink::platform
