#include "desktop/Launch.h"

#include <spawn.h>
#include <sys/wait.h>

#include <string_view>

extern char** environ;

namespace tyq::desktop {

bool launch(const std::vector<std::string>& argv, const std::string& token, bool wait) {
    if (argv.empty()) {
        return false;
    }
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable = *entry;
        if (token.empty() || (!variable.starts_with("XDG_ACTIVATION_TOKEN=") &&
                              !variable.starts_with("DESKTOP_STARTUP_ID="))) {
            variables.emplace_back(variable);
        }
    }
    if (!token.empty()) {
        variables.push_back("XDG_ACTIVATION_TOKEN=" + token);
        variables.push_back("DESKTOP_STARTUP_ID=" + token);
    }
    std::vector<char*> environment;
    for (auto& variable : variables) {
        environment.push_back(variable.data());
    }
    environment.push_back(nullptr);
    std::vector<char*> arguments;
    for (const auto& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, arguments[0], nullptr, nullptr, arguments.data(),
                     environment.data()) != 0) {
        return false;
    }
    int status = 0;
    return !wait ||
           (waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace tyq::desktop
