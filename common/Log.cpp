#include "common/Log.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "common/SmallFiles.h"
#include "common/TextItems.h"

namespace tyq::log {
namespace {

constexpr std::array<std::string_view, 6> kNames = {"ftp",   "tls",      "transfer",
                                                    "unzip", "settings", "ui"};
constexpr unsigned kAll = (1u << kNames.size()) - 1;

unsigned bitOf(Category category) noexcept {
    return 1u << static_cast<unsigned>(category);
}

unsigned maskFor(std::string_view list) noexcept {
    unsigned mask = 0;
    while (!list.empty()) {
        auto item = nextItem(list, ',');
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        while (!item.empty() && item.back() == ' ') {
            item.remove_suffix(1);
        }
        if (item == "all") {
            mask = kAll;
        }
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            if (item == kNames[i]) {
                mask |= 1u << i;
            }
        }
    }
    return mask;
}

std::atomic<unsigned>& mask() noexcept {
    static std::atomic<unsigned> bits{[] {
        const char* list = std::getenv("TYQLMFTP_DEBUG");
        return list == nullptr ? 0u : maskFor(list);
    }()};
    return bits;
}

std::mutex& lineLock() noexcept {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::string_view nameOf(Category category) noexcept {
    return kNames[static_cast<std::size_t>(category)];
}

bool enabled(Category category) noexcept {
    return (mask().load(std::memory_order_relaxed) & bitOf(category)) != 0;
}

void configure(std::string_view list) noexcept {
    mask().store(maskFor(list), std::memory_order_relaxed);
}

void enableAll() noexcept {
    mask().store(kAll, std::memory_order_relaxed);
}

void write(Category category, std::string_view text) noexcept {
    try {
        std::string line = "tyqlmftp[";
        line += nameOf(category);
        line += "]: ";
        // One record, one line: a server's words may hold line breaks.
        for (const char c : text) {
            line += c == '\n' || c == '\r' ? ' ' : c;
        }
        line += '\n';
        const std::lock_guard<std::mutex> hold(lineLock());
        // Should standard error be gone, there is nothing else to tell.
        static_cast<void>(writeAll(STDERR_FILENO, line));
    } catch (...) {
        // Out of memory for a diagnostic line: the program goes on without it.
    }
}

}  // namespace tyq::log
