#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace tyq::test {

// A private session bus without service activation, and on it, while
// started, a real keyring daemon with a login keyring of its own. Both are
// children of the test, waited for when stopped.
class KeyringDaemon {
  public:
    KeyringDaemon() {
        for (const char* sub : {"data", "run"}) {
            std::filesystem::create_directories(folder_ / sub);
        }
        writeFile(folder_ / "bus.conf",
                  "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                  "<policy context=\"default\"><allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                  "</policy></busconfig>");
        const std::string config = "--config-file=" + (folder_ / "bus.conf").string();
        std::string address;
        busPid_ =
            spawn({"dbus-daemon", "--nofork", "--print-address", config.c_str()}, {}, &address);
        address.erase(address.find_last_not_of('\n') + 1);
        if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) {
            saved_ = old;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    ~KeyringDaemon() {
        stop();
        stopPid(busPid_);
        saved_ ? setenv("DBUS_SESSION_BUS_ADDRESS", saved_->c_str(), 1)
               : unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    KeyringDaemon(const KeyringDaemon&) = delete;
    KeyringDaemon& operator=(const KeyringDaemon&) = delete;

    // Unlocked by its password, as a log-in does; back only once it owns
    // its name on the bus.
    void start() {
        const auto home = folder_.path().string();
        keyringPid_ = spawn(
            {"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
            {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home + "/run"},
            nullptr, "pw");
        run("gdbus wait --session --timeout 120 org.freedesktop.secrets");
    }
    void stop() { stopPid(keyringPid_); }
    void lock() {
        run("gdbus call --session --dest org.freedesktop.secrets --object-path "
            "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.Lock "
            "\"['/org/freedesktop/secrets/collection/login']\" >/dev/null");
    }

  private:
    static void run(const char* command) {
        if (std::system(command) != 0) {
            throw std::runtime_error(std::string("failed: ") + command);
        }
    }
    // Starts a program with more environment; `firstLine` gets the first
    // line it prints, `input` is what it reads.
    static pid_t spawn(std::vector<const char*> argv, const std::vector<std::string>& more,
                       std::string* firstLine, const std::string& input = {}) {
        std::vector<std::string> environment(more);
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);  // the first of a name counts
        }
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        argv.push_back(nullptr);
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        for (const int fd : {in[0], in[1], out[0], out[1]}) {
            posix_spawn_file_actions_addclose(&actions, fd);
        }
        pid_t pid = -1;
        const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr,
                                        const_cast<char* const*>(argv.data()), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        if (write(in[1], input.data(), input.size()) < 0 || failed != 0) {
            pid = -1;
        }
        close(in[1]);
        char c = 0;
        while (firstLine != nullptr && read(out[0], &c, 1) == 1 && c != '\n') {
            *firstLine += c;
        }
        close(out[0]);
        if (pid < 0) {
            throw std::runtime_error(std::string("cannot start ") + argv[0]);
        }
        return pid;
    }
    static void stopPid(pid_t& pid) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    TempDir folder_;
    std::optional<std::string> saved_;
    pid_t busPid_ = -1;
    pid_t keyringPid_ = -1;
};

}  // namespace tyq::test
