#pragma once

#include <filesystem>
#include <string>

namespace tyq {

// A shared library loaded by absolute path, released when the object ends.
// A library that cannot be loaded gives an object that is not loaded.
class SharedLibrary {
  public:
    explicit SharedLibrary(const std::filesystem::path& file);
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const noexcept { return handle_ != nullptr; }
    // The address of an exported entry, or nullptr when missing or not loaded.
    void* entry(const char* name) const noexcept;
    template <typename Fn>
    Fn entryAs(const char* name) const noexcept {
        return reinterpret_cast<Fn>(entry(name));
    }
    const std::string& error() const noexcept { return error_; }

  private:
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace tyq
