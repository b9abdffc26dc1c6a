#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/SdBus.h"
#include "desktop/Notification.h"

class QSocketNotifier;
class QTimer;

namespace tyq::desktop {

// The window's own connection to the session bus, served by the window's
// event loop: its notifications, the clicks on them while it runs, and the
// file manager. Everything runs on the thread that made it.
class WindowBus {
  public:
    WindowBus();
    ~WindowBus();
    WindowBus(const WindowBus&) = delete;
    WindowBus& operator=(const WindowBus&) = delete;

    // False without a session bus: nothing is sent then.
    bool connected() const noexcept { return bus_ != nullptr; }

    // Sends the notice; a click on it or on its Open Folder runs `clicked`.
    // Why it was not shown, or empty when it was.
    std::string notify(const Notice& notice, std::function<void()> clicked);

    // Asks the file manager to show the folder of this file URI, without
    // waiting for it; `failed` runs when it will not.
    void showFolder(const std::string& uri, std::function<void()> failed);

  private:
    static int onAction(sd_bus_message* message, void* data, sd_bus_error* error);
    // Takes in what the bus has, then waits for more or for a call's time limit.
    void process();

    Bus bus_;
    Slot actions_;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QTimer> deadline_;
    std::vector<std::uint32_t> sent_;
    std::function<void()> clicked_;
};

}  // namespace tyq::desktop
