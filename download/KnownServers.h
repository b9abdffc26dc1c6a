#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tyq::download {

// The file of remembered certificates, beside the settings file.
inline constexpr char kKnownServersFileName[] = "known_servers";

// Certificates the user chose to trust although they did not verify: one line
// per server, "host:port sha256:HEX". Lines it does not understand are kept
// as they are; deleting a server's line forgets its certificate.
class KnownServers {
  public:
    explicit KnownServers(std::filesystem::path file);

    // Reads the file; a missing file is an empty one. Nothing when it was
    // read, else why not.
    std::optional<std::string> load();
    // The fingerprint ("sha256:HEX") remembered for "host:port", if any.
    std::optional<std::string> fingerprint(const std::string& server) const;
    // Remembers the fingerprint for the server in place of any other, and
    // replaces the file atomically at mode 0600. Nothing when the file holds
    // it, else why not.
    std::optional<std::string> remember(const std::string& server, const std::string& fingerprint);

    const std::filesystem::path& file() const noexcept { return file_; }

  private:
    std::filesystem::path file_;
    std::vector<std::string> lines_;
};

}  // namespace tyq::download
