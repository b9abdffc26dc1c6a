#pragma once

// The window's library (libtyqwindow.so beside the program) and its one
// entry: runs the window as the program would, returning its exit status.
inline constexpr char kWindowLibrary[] = "libtyqwindow.so";
inline constexpr char kWindowEntry[] = "tyq_run_window";
using WindowEntry = int (*)(int argc, char** argv);
