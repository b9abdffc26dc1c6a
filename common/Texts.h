#pragma once

namespace tyq {

inline constexpr char kProgramCaption[] = "Tessary FTP Utility (ORV Mail)";
inline constexpr char kProgramName[] = "tyqlmftp";

}  // namespace tyq
