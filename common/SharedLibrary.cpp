#include "SharedLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace tyq {

SharedLibrary::SharedLibrary(const std::filesystem::path& file) {
    // Only absolute paths: a bare name would let the loader search the
    // current directory and the library path for a stranger's library.
    if (!file.is_absolute()) {
        error_ = "not an absolute path: " + file.string();
        return;
    }
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* text = dlerror();
        error_ = text != nullptr ? text : "cannot load " + file.string();
    }
}

SharedLibrary::~SharedLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
    }
    return *this;
}

void* SharedLibrary::entry(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return dlsym(handle_, name);
}

}  // namespace tyq
