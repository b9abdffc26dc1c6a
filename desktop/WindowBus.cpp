#include "desktop/WindowBus.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <ctime>

namespace tyq::desktop {
namespace {

constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";

// What a pending file manager call runs when it fails; freed with its slot.
struct ShowFailed {
    std::function<void()> failed;
};

int onShown(sd_bus_message* reply, void* data, sd_bus_error*) {
    if (sd_bus_message_is_method_error(reply, nullptr) != 0) {
        static_cast<ShowFailed*>(data)->failed();
    }
    return 0;
}

}  // namespace

WindowBus::WindowBus() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        return;
    }
    bus_.reset(raw);
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_.get(), &slot, kNotifications, kNotificationsPath, kNotifications,
                            "ActionInvoked", &WindowBus::onAction, this) >= 0) {
        actions_.reset(slot);
    }
    readable_ = std::make_unique<QSocketNotifier>(sd_bus_get_fd(bus_.get()), QSocketNotifier::Read);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, [this] { process(); });
    deadline_ = std::make_unique<QTimer>();
    deadline_->setSingleShot(true);
    QObject::connect(deadline_.get(), &QTimer::timeout, [this] { process(); });
}

WindowBus::~WindowBus() = default;

int WindowBus::onAction(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<WindowBus*>(data);
    std::uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(message, "us", &id, &key) >= 0 &&
        std::find(self->sent_.begin(), self->sent_.end(), id) != self->sent_.end() &&
        folderOfAction(key, {}) && self->clicked_) {
        self->clicked_();
    }
    return 0;
}

std::string WindowBus::notify(const Notice& notice, std::function<void()> clicked) {
    if (!bus_) {
        return "no session bus";
    }
    std::uint32_t id = 0;
    const std::string failure = sendNotice(bus_.get(), notice, kNotifyLimitMicroseconds, &id);
    if (failure.empty()) {
        sent_.push_back(id);
        clicked_ = std::move(clicked);
    }
    process();  // signals that came in meanwhile
    return failure;
}

void WindowBus::showFolder(const std::string& uri, std::function<void()> failed) {
    auto pending = std::make_unique<ShowFailed>(ShowFailed{std::move(failed)});
    sd_bus_slot* slot = nullptr;
    if (!bus_ || sd_bus_call_method_async(bus_.get(), &slot, "org.freedesktop.FileManager1",
                                          "/org/freedesktop/FileManager1",
                                          "org.freedesktop.FileManager1", "ShowFolders", onShown,
                                          pending.get(), "ass", 1, uri.c_str(), "") < 0) {
        pending->failed();
        return;
    }
    // The bus holds the call until its answer or its end, and frees the
    // call's data then.
    sd_bus_slot_set_destroy_callback(slot,
                                     [](void* data) { delete static_cast<ShowFailed*>(data); });
    pending.release();
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    sd_bus_flush(bus_.get());
    process();
}

void WindowBus::process() {
    while (sd_bus_process(bus_.get(), nullptr) > 0) {
    }
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus_.get(), &until) < 0 || until == UINT64_MAX) {
        deadline_->stop();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                       static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    deadline_->start(static_cast<int>(
        std::min<std::uint64_t>(until > nowUs ? (until - nowUs + 999) / 1000 : 0, 60'000)));
}

}  // namespace tyq::desktop
