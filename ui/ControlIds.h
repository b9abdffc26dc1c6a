#pragma once

#include <QLabel>
#include <QRegularExpression>
#include <QString>

namespace tyq::ui {

// Control ids of the three dialogs. Each control's object name is its id in
// decimal ("1000"), so code and tests find controls by the same number.
namespace ids {
// Main window.
inline constexpr int kUser = 1000;
inline constexpr int kPass = 1001;
inline constexpr int kZipPass = 1002;
inline constexpr int kLocal = 1003;
inline constexpr int kDownload = 1004;
inline constexpr int kUnzip = 1005;
inline constexpr int kOk = 1006;
inline constexpr int kProgress = 1007;
inline constexpr int kSetup = 1008;
inline constexpr int kHelp = 1009;
inline constexpr int kCancel = 1011;
inline constexpr int kAol = 1012;
// The folder chooser beside Location; an addition of ours.
inline constexpr int kBrowse = 1015;
// Setup's encryption choice; an addition of ours.
inline constexpr int kEncryption = 1016;
// Setup's number of simultaneous connections; an addition of ours.
inline constexpr int kConnections = 1017;
// Setup's daily collection: the check box, its time, the last and the next
// collection; additions of ours.
inline constexpr int kDaily = 1018;
inline constexpr int kDailyTime = 1019;
inline constexpr int kLastCollection = 1020;
inline constexpr int kNextCollection = 1021;
// Setup's choice of the desktop keyring for the passwords; an addition of ours.
inline constexpr int kKeyring = 1030;
// Setup window.
inline constexpr int kHost = 1013;
inline constexpr int kPort = 1014;
// Standard dialog buttons.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdDefault = 3;
}  // namespace ids

inline QString controlName(int id) {
    return QString::number(id);
}

// Names a label's buddy for screen readers as the label reads, without the
// mnemonic's "&".
inline void nameBuddyAfterLabel(QLabel& label) {
    label.buddy()->setAccessibleName(
        label.text().replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1")));
}

}  // namespace tyq::ui
