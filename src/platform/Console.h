#pragma once
// The process's console: whether standard output is an interactive terminal,
// so that a live status line may be redrawn in place.

namespace klink::platform {

// True when standard output goes to a terminal (not a file or a pipe).
[[nodiscard]] bool StdoutIsTerminal() noexcept;

}  // namespace klink::platform
