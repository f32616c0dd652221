// The subcommands of the quorin tool. Each takes its arguments (after the
// subcommand name), writes its results through Output, and returns the exit
// status or throws CliError.
#pragma once

#include <string>
#include <vector>

namespace quorin::cli {

using Args = std::vector<std::string>;

int runList(const Args& args);
int runInfo(const Args& args);
int runSend(const Args& args);
int runWatch(const Args& args);
int runEmv(const Args& args);
int runDemo(const Args& args);

// Options every subcommand understands.
struct CommonOptions {
    bool json = false;
    bool verbose = false;
};

}  // namespace quorin::cli
