#pragma once
// Runs `vintrelle-probe index` as a user would, for its output and exit status.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "fixtures/MediaFixtures.h"

struct ProbeRun {
    int status = -1;
    std::string output;
};

// probe index library, with XDG_DATA_HOME at dataHome; its error output goes to errors (or nowhere).
inline ProbeRun runProbe(const std::string& probe, const std::string& library, const std::string& dataHome,
                         const std::string& errors = "/dev/null") {
    const std::string command = "XDG_DATA_HOME=" + fixtures::shellQuoted(dataHome) + " " + fixtures::shellQuoted(probe) +
                                " index " + fixtures::shellQuoted(library) + " 2>" + fixtures::shellQuoted(errors);
    ProbeRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}
