#include "support/FtpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tyq::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
constexpr auto kStartLimit = std::chrono::seconds(10);

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a program with arguments, its input from `input`, and waits for it.
int runProgram(const std::vector<std::string>& argv, const std::string& input = {}) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    if (error != 0) {
        close(pipeFds[1]);
        return -1;
    }
    if (!input.empty()) {
        [[maybe_unused]] const auto written = write(pipeFds[1], input.data(), input.size());
    }
    close(pipeFds[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path makeWorkDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tyq-ftpd-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// Inodes of the sockets the process holds open.
std::set<std::string> socketInodes(pid_t pid) {
    std::set<std::string> inodes;
    std::error_code error;
    const std::filesystem::path fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fdDir, error)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(entry.path(), linkError).string();
        if (!linkError && target.rfind("socket:[", 0) == 0) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    return inodes;
}

// The TCP port the process listens on, or 0 while it does not yet.
int listeningPort(pid_t pid) {
    const auto inodes = socketInodes(pid);
    std::istringstream table(readAll("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && inodes.count(inode) != 0) {
            return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
        }
    }
    return 0;
}

// Spawn attributes that start the child in a process group of its own.
class ProcessGroup {
  public:
    ProcessGroup() {
        posix_spawnattr_init(&attributes_);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes_, 0);
    }
    ~ProcessGroup() { posix_spawnattr_destroy(&attributes_); }
    ProcessGroup(const ProcessGroup&) = delete;
    ProcessGroup& operator=(const ProcessGroup&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

std::string freshUserName() {
    static std::atomic<int> serial{0};
    return "tyqftp" + std::to_string(getpid()) + "x" + std::to_string(++serial);
}

// Starts argv (a Python tool) in a process group of its own, its errors to
// errorLog, and waits for its "PORT <n>" line. Sets pid to the process.
int startAnnouncing(std::vector<std::string> argv, const std::string& errorLog, pid_t& pid) {
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const ProcessGroup group;
    const int error = posix_spawn(&pid, kPython, &actions, group.get(), args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (error != 0) {
        close(out[0]);
        pid = -1;
        throw std::runtime_error("cannot start " + std::string(kPython));
    }
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waitFor{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&waitFor, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[64];
        const auto n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.rfind("PORT ", 0) != 0) {
        throw std::runtime_error(argv[1] + " did not start: " + readAll(errorLog));
    }
    return std::stoi(line.substr(5));
}

void killGroup(pid_t& pid) {
    if (pid > 0) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
}

}  // namespace

ControlRelay::ControlRelay(int serverPort, int stripTlsFrom) : workDir_(makeWorkDir()) {
    try {
        std::vector<std::string> argv = {
            kPython,    std::string(TYQ_TEST_TOOLS) + "/control_relay.py",
            "--to",     std::to_string(serverPort),
            "--record", (workDir_ / "record").string()};
        if (stripTlsFrom >= 0) {
            argv.insert(argv.end(), {"--strip-tls-from", std::to_string(stripTlsFrom)});
        }
        port_ = startAnnouncing(argv, (workDir_ / "errors.log").string(), pid_);
    } catch (...) {
        std::filesystem::remove_all(workDir_);
        throw;
    }
}

ControlRelay::~ControlRelay() {
    killGroup(pid_);
    std::error_code error;
    std::filesystem::remove_all(workDir_, error);
}

std::vector<std::string> ControlRelay::records() const {
    std::vector<std::string> out;
    for (int n = 0; std::filesystem::exists(workDir_ / ("record." + std::to_string(n))); ++n) {
        out.push_back(readAll(workDir_ / ("record." + std::to_string(n))));
    }
    return out;
}

std::filesystem::path FtpServer::makeCertificate(const std::filesystem::path& folder,
                                                 const std::string& file, const std::string& name,
                                                 const std::filesystem::path& authority) {
    const auto pem = folder / file;
    const auto key = folder / (file + ".key");
    const auto request = folder / (file + ".csr");
    const auto certificate = folder / (file + ".crt");
    const bool address = name.find_first_not_of("0123456789.:") == std::string::npos;
    const std::string altName = "subjectAltName=" + std::string(address ? "IP:" : "DNS:") + name;
    std::vector<std::string> makeKey = {"/usr/bin/openssl",
                                        "req",
                                        "-newkey",
                                        "ec",
                                        "-pkeyopt",
                                        "ec_paramgen_curve:prime256v1",
                                        "-nodes",
                                        "-keyout",
                                        key.string(),
                                        "-subj",
                                        "/CN=" + name,
                                        "-addext",
                                        altName};
    bool made = false;
    if (authority.empty()) {
        makeKey.insert(makeKey.end(), {"-x509", "-days", "2", "-out", certificate.string()});
        made = runProgram(makeKey) == 0;
    } else {
        makeKey.insert(makeKey.end(), {"-out", request.string()});
        made = runProgram(makeKey) == 0 &&
               runProgram({"/usr/bin/openssl", "x509", "-req", "-in", request.string(), "-CA",
                           authority.string(), "-CAkey", authority.string(), "-days", "2",
                           "-copy_extensions", "copy", "-out", certificate.string()}) == 0;
    }
    if (!made) {
        throw std::runtime_error("openssl could not make " + pem.string());
    }
    std::ofstream(pem, std::ios::binary) << readAll(certificate) << readAll(key);
    return pem;
}

std::string FtpServer::fingerprint(const std::filesystem::path& pem) {
    const auto der = pem.string() + ".der";
    if (runProgram({"/usr/bin/openssl", "x509", "-in", pem.string(), "-outform", "DER", "-out",
                    der}) != 0 ||
        runProgram({"/bin/sh", "-c", "sha256sum \"$0\" > \"$0.sum\"", der}) != 0) {
        throw std::runtime_error("no fingerprint for " + pem.string());
    }
    std::string hex = readAll(der + ".sum").substr(0, 64);
    for (char& c : hex) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return "sha256:" + hex;
}

FtpServer::Config FtpServer::pyftpdlib(std::filesystem::path home, std::string user,
                                       std::string password, std::vector<std::string> switches) {
    return Config{Kind::Pyftpdlib,
                  std::move(home),
                  std::move(user),
                  std::move(password),
                  std::move(switches),
                  {},
                  false};
}

FtpServer::Config FtpServer::vsftpd(std::filesystem::path home, std::string password) {
    return Config{Kind::Vsftpd, std::move(home), {}, std::move(password), {}, {}, false};
}

std::string FtpServer::vsftpdUnavailable() {
    if (geteuid() != 0) {
        return "vsftpd needs root";
    }
    if (access(kVsftpd, X_OK) != 0) {
        return "vsftpd is not installed";
    }
    if (access("/usr/sbin/useradd", X_OK) != 0 || access("/usr/sbin/chpasswd", X_OK) != 0) {
        return "useradd or chpasswd missing";
    }
    return {};
}

FtpServer::FtpServer(Config config) : config_(std::move(config)), workDir_(makeWorkDir()) {
    try {
        if (config_.kind == Kind::Pyftpdlib) {
            startPyftpdlib();
        } else {
            startVsftpd();
        }
    } catch (...) {
        stop();
        throw;
    }
}

FtpServer::~FtpServer() {
    stop();
}

void FtpServer::stop() {
    kill();
    if (madeUser_) {
        // A session process of the user may still be on its way out.
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (runProgram({"/usr/sbin/userdel", config_.user}) == 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        madeUser_ = false;
    }
    std::error_code error;
    std::filesystem::remove_all(workDir_, error);
}

void FtpServer::kill() {
    // The server leads its own process group, with vsftpd's sessions.
    killGroup(pid_);
}

bool FtpServer::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::string FtpServer::errors() const {
    return readAll(workDir_ / "errors.log");
}

std::string FtpServer::commands() const {
    return readAll(workDir_ / "commands.log");
}

int FtpServer::sent(const std::string& verb) const {
    const auto lines = "\n" + commands();
    const auto wanted = "\n" + verb + " ";
    int count = 0;
    for (auto at = lines.find(wanted); at != std::string::npos; at = lines.find(wanted, at + 1)) {
        ++count;
    }
    return count;
}

int FtpServer::connections() const {
    const auto lines = readAll(workDir_ / "commands.log.connects");
    return static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
}

void FtpServer::startPyftpdlib() {
    std::vector<std::string> argv = {
        kPython,         std::string(TYQ_TEST_TOOLS) + "/ftp_server.py",
        "--home",        config_.home.string(),
        "--user",        config_.user,
        "--password",    config_.password,
        "--command-log", (workDir_ / "commands.log").string()};
    if (!config_.certificate.empty()) {
        argv.insert(argv.end(), {"--tls", config_.certificate.string()});
        if (config_.requireTls) {
            argv.push_back("--tls-required");
        }
    }
    argv.insert(argv.end(), config_.switches.begin(), config_.switches.end());
    port_ = startAnnouncing(argv, (workDir_ / "errors.log").string(), pid_);
}

void FtpServer::startVsftpd() {
    if (const auto why = vsftpdUnavailable(); !why.empty()) {
        throw std::runtime_error(why);
    }
    config_.user = freshUserName();
    // pam_shells wants a shell from /etc/shells; the user has no home of its own.
    if (runProgram({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir",
                    config_.home.string(), "--shell", "/bin/sh", config_.user}) != 0) {
        throw std::runtime_error("useradd failed");
    }
    madeUser_ = true;
    if (runProgram({"/usr/sbin/chpasswd"}, config_.user + ":" + config_.password + "\n") != 0) {
        throw std::runtime_error("chpasswd failed");
    }

    // vsftpd enters the home as that user: every folder on the way must let
    // others pass (test folders from mkdtemp do not), and the home be readable.
    const auto home = std::filesystem::absolute(config_.home);
    std::filesystem::permissions(
        home, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
        std::filesystem::perm_options::add);
    for (auto dir = home.parent_path(); dir != dir.root_path(); dir = dir.parent_path()) {
        std::filesystem::permissions(dir, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
    }

    const auto emptyDir = workDir_ / "empty";
    std::filesystem::create_directory(emptyDir);
    const auto configFile = workDir_ / "vsftpd.conf";
    {
        std::ofstream conf(configFile);
        conf << "listen=YES\n"
                "listen_ipv6=NO\n"
                "listen_address=127.0.0.1\n"
                "listen_port=0\n"
                "background=NO\n"
                "anonymous_enable=NO\n"
                "local_enable=YES\n"
                "write_enable=NO\n"
                "chroot_local_user=YES\n"
                "local_root="
             << config_.home.string()
             << "\n"
                "secure_chroot_dir="
             << emptyDir.string()
             << "\n"
                "pam_service_name=vsftpd\n"
                "delay_failed_login=0\n"
                "delay_successful_login=0\n"
                "seccomp_sandbox=NO\n"
                "isolate=NO\n"
                "isolate_network=NO\n"
                "xferlog_enable=NO\n"
                "connect_from_port_20=NO\n"
                "port_enable=YES\n"
                "pasv_enable=YES\n"
                "userlist_enable=NO\n"
                "ftpd_banner=test server ready.\n";
        if (!config_.certificate.empty()) {
            // require_ssl_reuse stays YES, its default: libcurl resumes the
            // control connection's session on each data connection.
            const auto yesNo = config_.requireTls ? "YES" : "NO";
            conf << "ssl_enable=YES\nallow_anon_ssl=NO\nrsa_cert_file="
                 << config_.certificate.string()
                 << "\nrsa_private_key_file=" << config_.certificate.string()
                 << "\nforce_local_logins_ssl=" << yesNo << "\nforce_local_data_ssl=" << yesNo
                 << "\n";
        }
    }
    chmod(configFile.c_str(), 0600);  // vsftpd wants its config owned by root

    const auto errorLog = (workDir_ / "errors.log").string();
    const std::string program = kVsftpd;
    const std::string configArg = configFile.string();
    char* args[] = {const_cast<char*>(program.c_str()), const_cast<char*>(configArg.c_str()),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // vsftpd writes its start-up errors to fd 0.
    posix_spawn_file_actions_addopen(&actions, 0, errorLog.c_str(), O_RDWR | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    const ProcessGroup group;
    const int error = posix_spawn(&pid_, program.c_str(), &actions, group.get(), args, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start vsftpd");
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) {
            throw std::runtime_error("vsftpd ended: " + errors());
        }
        port_ = listeningPort(pid_);
        if (port_ != 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("vsftpd did not listen: " + errors());
}

}  // namespace tyq::test
