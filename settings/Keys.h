#pragma once

#include <cstddef>

namespace tyq::settings {

inline constexpr char kFileName[] = "TYFTP.INI";
// The spelling the reads of the Step 1 values and the host have always
// used; it reaches the same file.
inline constexpr char kNamedReadsFileName[] = "TyFTP.INI";
inline constexpr char kSection[] = "QLMORVMAIL";

inline constexpr char kUser[] = "User";
inline constexpr char kPass[] = "Pass";
inline constexpr char kZipPass[] = "FileUnZipPass";
inline constexpr char kLocal[] = "Local";
inline constexpr char kHost[] = "QLMHost";
inline constexpr char kPort[] = "Port";
inline constexpr char kAol[] = "AOL";
// Whether the FTP connection is encrypted: one of the three values below; an
// absent or unknown value means kEncryptionIfOffered.
inline constexpr char kEncryption[] = "Encryption";
inline constexpr char kEncryptionIfOffered[] = "IfOffered";
inline constexpr char kEncryptionRequired[] = "Required";
inline constexpr char kEncryptionPlain[] = "Plain";
// How Setup names each value.
inline constexpr char kEncryptionIfOfferedCaption[] = "Use TLS if the server offers it";
inline constexpr char kEncryptionRequiredCaption[] = "Require TLS";
inline constexpr char kEncryptionPlainCaption[] = "Plain FTP only";

// How many connections a download may open to the server at once; beyond
// the first they fetch the files ahead of the one under way.
inline constexpr char kConnections[] = "Connections";
inline constexpr int kDefaultConnections = 2;
inline constexpr int kMaxConnections = 8;

// "1": the daily collection fetches over a metered connection too.
inline constexpr char kCollectOnMetered[] = "CollectOnMetered";

// "1": the FTP and zip passwords are in the desktop keyring, and the file
// keeps their keys empty.
inline constexpr char kPasswordsInKeyring[] = "PasswordsInKeyring";

inline constexpr int kDefaultPort = 21;
inline constexpr char kDefaultPortText[] = "21";
// A Location is read whole wherever a command uses it: a cut path would name
// a different folder.
inline constexpr std::size_t kWholeValueCapacity = static_cast<std::size_t>(-1);

// The service's file-server host name, used wherever a default host is needed.
extern const char* const kDefaultHost;

}  // namespace tyq::settings
