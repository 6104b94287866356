#pragma once
// The process's console: whether standard output is an interactive terminal,
// so that a live status line may be redrawn in place, and the encoding it
// shows.

namespace klink::platform {

// True when standard output goes to a terminal (not a file or a pipe).
[[nodiscard]] bool StdoutIsTerminal() noexcept;

// Makes a console show the UTF-8 text the program writes. POSIX terminals
// take the locale's encoding, UTF-8 on any current system, so only Windows
// has something to do (the console's output code page).
void UseUtf8ConsoleOutput() noexcept;

}  // namespace klink::platform
