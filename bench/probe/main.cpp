#include <cstdio>
#include <iostream>

#include "Probe.h"

namespace probe {

std::map<std::string, std::pair<std::string, Command>>& Registry::commands() {
    static std::map<std::string, std::pair<std::string, Command>> map;
    return map;
}

void emit(const Json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    std::cout.flush();
}

int fail(const std::string& message) {
    emit({{"error", message}});
    return 1;
}

std::string takeOption(Args& args, const std::string& name, const std::string& fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) {
            std::string v = args[i + 1];
            args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
            return v;
        }
    }
    return fallback;
}

}  // namespace probe

int main(int argc, char** argv) {
    auto& cmds = probe::Registry::commands();
    if (argc < 2 || !cmds.count(argv[1])) {
        std::cerr << "usage: vintrelle-probe COMMAND ...\n";
        for (auto& [name, entry] : cmds) std::cerr << "  " << name << " " << entry.first << "\n";
        return 2;
    }
    probe::Args args(argv + 2, argv + argc);
    return cmds[argv[1]].second(args);
}
