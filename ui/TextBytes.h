#pragma once

#include <QString>
#include <string>

namespace tyq::ui {

// Settings values are UTF-8 bytes. A read cut to its capacity may end inside
// a character; that partial character is dropped rather than shown as a
// replacement mark (which OK would then store). A value that is not UTF-8
// (a file written by hand in Latin-1) is shown as Latin-1.
QString fromSettingBytes(const std::string& bytes);

// A field's text as the UTF-8 bytes the settings file stores.
std::string toSettingBytes(const QString& text);

// A settings value as a field shows it, with the bytes it was read from: a
// value the user leaves alone is saved back exactly as it was read, whatever
// its encoding.
struct ShownSetting {
    std::string bytes;
    QString text;
};
ShownSetting showSetting(const std::string& bytes);
std::string settingBytesFor(const QString& text, const ShownSetting& shown);

}  // namespace tyq::ui
