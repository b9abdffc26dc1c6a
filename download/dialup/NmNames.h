#pragma once

// The names NetworkManager answers to on the system bus.
namespace tyq::dialup::nm {

inline constexpr char kService[] = "org.freedesktop.NetworkManager";
inline constexpr char kManagerPath[] = "/org/freedesktop/NetworkManager";
inline constexpr char kManagerInterface[] = "org.freedesktop.NetworkManager";
inline constexpr char kSettingsPath[] = "/org/freedesktop/NetworkManager/Settings";
inline constexpr char kSettingsInterface[] = "org.freedesktop.NetworkManager.Settings";
inline constexpr char kProfileInterface[] = "org.freedesktop.NetworkManager.Settings.Connection";
inline constexpr char kActiveInterface[] = "org.freedesktop.NetworkManager.Connection.Active";
inline constexpr char kDeviceInterface[] = "org.freedesktop.NetworkManager.Device";
inline constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
inline constexpr char kActivePrefix[] = "/org/freedesktop/NetworkManager/ActiveConnection/";

}  // namespace tyq::dialup::nm
