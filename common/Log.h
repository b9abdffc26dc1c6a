#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tyq::log {

// What a diagnostic record is about. Each can be turned on by itself.
enum class Category { Ftp, Tls, Transfer, Unzip, Settings, Ui };

// "ftp", "tls"...: the name TYQLMFTP_DEBUG uses and each line shows.
std::string_view nameOf(Category category) noexcept;

// Whether records of the category are written. Silent by default; the
// environment variable TYQLMFTP_DEBUG (a comma list of names, or "all")
// turns categories on when first asked.
bool enabled(Category category) noexcept;

// Turns on the categories a list names ("ftp,tls", "all"), the others off.
void configure(std::string_view list) noexcept;
// Every category on.
void enableAll() noexcept;

// One line to standard error, "tyqlmftp[ftp]: text", whole even when
// threads write at once. Never throws.
void write(Category category, std::string_view text) noexcept;

// Writes what make() returns, calling it only when the category is on, so
// a record costs nothing but a check while off.
template <typename Make>
void record(Category category, Make&& make) noexcept {
    if (enabled(category)) {
        try {
            write(category, std::forward<Make>(make)());
        } catch (...) {
            write(category, "(a record could not be made)");
        }
    }
}

}  // namespace tyq::log
