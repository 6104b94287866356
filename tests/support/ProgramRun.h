#pragma once
// Runs a program through the shell and collects what it printed (POSIX).

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace klink::test {

struct ProgramRun {
    std::string output;  // stdout and stderr, interleaved
    int status = -1;     // exit status; -1 when it did not exit normally
};

// `commandLine` is passed to /bin/sh as it is: quote paths in it.
inline ProgramRun RunProgram(const std::string& commandLine) {
    ProgramRun run;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace klink::test
