#pragma once

// The program's two libraries beside it, each with one entry that takes the
// program's arguments and returns its exit status: the window, and the
// command line without a window (--collect, --schedule, --help...).
inline constexpr char kWindowLibrary[] = "libtyqwindow.so";
inline constexpr char kWindowEntry[] = "tyq_run_window";
inline constexpr char kCommandLibrary[] = "libtyqcli.so";
inline constexpr char kCommandEntry[] = "tyq_run_command";
using ProgramEntry = int (*)(int argc, char** argv);
