#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string>

namespace tyq {

// Owners of sd-bus's handles, so no path leaks a bus, a message or an error.
struct BusClose {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    sd_bus_error* get() noexcept { return &error_; }
    // The bus's message, else the error's name, else the result's errno words.
    std::string text(int result) const {
        if (error_.message != nullptr) {
            return error_.message;
        }
        return error_.name != nullptr ? error_.name : std::strerror(-result);
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace tyq
