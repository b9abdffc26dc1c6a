#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "support/TempDir.h"

namespace tyq::test {

// A private session bus without service activation, and on it, while
// started, a real keyring daemon with a login keyring of its own.
class KeyringDaemon {
  public:
    KeyringDaemon() {
        std::filesystem::create_directories(folder_ / "data");
        writeFile(folder_ / "bus.conf",
                  "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                  "<policy context=\"default\"><allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                  "</policy></busconfig>");
        busPid_ = spawn("dbus-daemon --nofork --print-address --config-file=" +
                        (folder_ / "bus.conf").string());
        setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~KeyringDaemon() {
        stop();
        stopPid(busPid_);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    KeyringDaemon(const KeyringDaemon&) = delete;
    KeyringDaemon& operator=(const KeyringDaemon&) = delete;

    // Unlocked by its password, as a log-in does; back once it owns its name.
    void start() {
        const auto home = folder_.path().string();
        keyringPid_ =
            spawn("gnome-keyring-daemon --foreground --unlock --components=secrets",
                  "HOME=" + home + " XDG_DATA_HOME=" + home + "/data XDG_RUNTIME_DIR=" + home + " ",
                  "pw");
        run("gdbus wait --session --timeout 120 org.freedesktop.secrets");
    }
    void stop() { stopPid(keyringPid_); }
    void lock() {
        run("gdbus call --session --dest org.freedesktop.secrets --object-path "
            "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.Lock "
            "\"['/org/freedesktop/secrets/collection/login']\" >/dev/null");
    }

  private:
    static void run(const std::string& command) {
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("failed: " + command);
        }
    }
    // A child of ours running the program, with `input` on its standard
    // input; the first line it prints is the bus address.
    pid_t spawn(const std::string& program, const std::string& environment = {},
                const std::string& input = {}) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        const std::string command = environment + "exec " + program;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        static_cast<void>(write(in[1], input.data(), input.size()));
        close(in[1]);
        for (char c = 0; input.empty() && read(out[0], &c, 1) == 1 && c != '\n';) {
            address_ += c;
        }
        close(out[0]);
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
    std::string address_;
    pid_t busPid_ = -1;
    pid_t keyringPid_ = -1;
};

}  // namespace tyq::test
