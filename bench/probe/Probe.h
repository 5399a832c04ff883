#pragma once
// vintrelle-probe: the diagnostic command. Each subcommand lives in its own
// file and registers itself; every subcommand prints JSON only, one object
// per line.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace probe {

using Args = std::vector<std::string>;
using Command = std::function<int(const Args&)>;

struct Registry {
    static std::map<std::string, std::pair<std::string, Command>>& commands();
};

struct Register {
    Register(const std::string& name, const std::string& usage, Command cmd) {
        Registry::commands()[name] = {usage, std::move(cmd)};
    }
};

// One JSON object on one line on stdout.
using Json = nlohmann::ordered_json;
void emit(const Json& j);
// An error as {"error": message} on stdout; returns the exit code 1.
int fail(const std::string& message);

// Value of "--name VALUE" in args (and removes both), or fallback.
std::string takeOption(Args& args, const std::string& name, const std::string& fallback = "");

}  // namespace probe
