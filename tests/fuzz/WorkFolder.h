#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tyq::fuzz {

// A fresh folder for one fuzzing process: under $TYQ_FUZZ_WORK when set
// (script/fuzz removes that folder afterwards, since libFuzzer often ends
// without running static destructors), else in memory (/dev/shm) or in the
// temporary folder.
inline std::filesystem::path makeWorkFolder(const std::string& name) {
    std::filesystem::path base = "/dev/shm";
    if (const char* work = std::getenv("TYQ_FUZZ_WORK"); work != nullptr && work[0] == '/') {
        base = work;
    } else if (::access(base.c_str(), W_OK) != 0) {
        base = std::filesystem::temp_directory_path();
    }
    std::string pattern = (base / ("tyq-fuzz-" + name + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

}  // namespace tyq::fuzz
