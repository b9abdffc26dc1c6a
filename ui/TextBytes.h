#pragma once

#include <QString>
#include <string>

namespace tyq::ui {

// Settings values are UTF-8 bytes. A read cut to its capacity may end inside
// a character; that partial character is dropped rather than shown as a
// replacement mark (which OK would then store).
QString fromSettingBytes(const std::string& bytes);

// A field's text as the UTF-8 bytes the settings file stores.
std::string toSettingBytes(const QString& text);

}  // namespace tyq::ui
