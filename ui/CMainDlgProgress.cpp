// The window's progress display: the status line and its detail, the
// summary and notification at a command's end, and Open Folder.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "common/Paths.h"
#include "common/Texts.h"
#include "ui/CMainDlg.h"
#include "ui/TextBytes.h"

namespace tyq::ui {

namespace {

constexpr char kFileManager[] = "org.freedesktop.FileManager1";
constexpr char kFileManagerPath[] = "/org/freedesktop/FileManager1";
constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
constexpr char kOpenFolderAction[] = "open-folder";

QString sizeText(std::int64_t bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString tookText(std::chrono::steady_clock::duration took) {
    const auto whole = std::chrono::round<std::chrono::seconds>(took).count();
    if (whole < 60) {
        return QStringLiteral("%1 s").arg(whole);
    }
    if (whole < 3600) {
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
    }
    return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg((whole % 3600) / 60);
}

}  // namespace

void CMainDlg::setProgressBytes(const ByteProgress& progress) {
    if (job_ == nullptr) {
        return;  // a late count after the command ended
    }
    lastProgress_ = progress;
    area_->report(progress);
}

QString CMainDlg::folderShown() const {
    const std::string local = expandHome(settingBytesFor(local_->text(), shown_[3]));
    if (local.empty()) {
        return {};
    }
    return QDir::cleanPath(QDir::current().absoluteFilePath(fromSettingBytes(local)));
}

void CMainDlg::sumUp(std::chrono::steady_clock::duration took) {
    // Only where the command left no explanation of its own.
    if (detailText_.isEmpty() && lastProgress_ && lastProgress_->itemCount > 0) {
        const int count = lastProgress_->itemCount;
        const QString summary =
            QStringLiteral("%1 %2%3 \u00b7 %4 \u00b7 %5 \u00b7 %6")
                .arg(count)
                .arg(itemWord_.toLower(), count == 1 ? QString() : QStringLiteral("s"),
                     sizeText(lastProgress_->allDone), tookText(took), folderShown());
        setProgressDetail(summary.toStdString());
    }
    if (took < hooks_.notifyAfter || isActiveWindow()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;  // no desktop session to tell
    }
    if (notification_ == 0) {
        bus.connect(kNotifications, kNotificationsPath, kNotifications,
                    QStringLiteral("ActionInvoked"), this,
                    SLOT(onNotificationAction(uint, QString)));
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(kNotifications, kNotificationsPath,
                                                         kNotifications, QStringLiteral("Notify"));
    // The body may be read as markup. The detail goes whole: the label's is
    // broken into its lines and may end in an ellipsis.
    notify << QString::fromUtf8(kProgramName) << notification_ << QString::fromUtf8(kProgramName)
           << progress_->text() << detailText_.toHtmlEscaped()
           << QStringList{kOpenFolderAction, QString::fromUtf8(kOpenFolderText)} << QVariantMap{}
           << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isValid()) {
                    notification_ = reply.value();
                } else {
                    std::fprintf(stderr, "tyqlmftp: no desktop notification: %s\n",
                                 qPrintable(reply.error().message()));
                }
                finished->deleteLater();
            });
}

void CMainDlg::onNotificationAction(uint id, const QString& action) {
    if (id == notification_ && action == QLatin1String(kOpenFolderAction)) {
        runCommand([this] { openFolder(); });
    }
}

void CMainDlg::openFolder() {
    const QString folder = folderShown();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        const QString text = folder.isEmpty()
                                 ? QStringLiteral("Enter the Location first.")
                                 : QStringLiteral("The folder %1 does not exist yet.").arg(folder);
        prompter_.ask(Prompt{text.toStdString(), PromptButtons::Ok, PromptIcon::Information,
                             PromptOwner::MainWindow});
        return;
    }
    const QUrl url = QUrl::fromLocalFile(folder);
    const auto byHandler = [this, url, folder] {
        if (!QDesktopServices::openUrl(url)) {
            prompter_.ask(Prompt{
                toSettingBytes(QStringLiteral("The folder %1 could not be opened.").arg(folder)),
                PromptButtons::Ok, PromptIcon::Error, PromptOwner::MainWindow});
        }
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        byHandler();
        return;
    }
    QDBusMessage show = QDBusMessage::createMethodCall(kFileManager, kFileManagerPath, kFileManager,
                                                       QStringLiteral("ShowFolders"));
    // Percent-encoded, as a URI must be: a space or a non-ASCII byte in the
    // path would make it no URI at all.
    show << QStringList{QString::fromLatin1(url.toEncoded())} << QString();
    // Not waited for: a file manager started on demand may take its time.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(show), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, byHandler](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->isError()) {
                    runCommand(byHandler);
                }
            });
}

void CMainDlg::setProgressText(const std::string& text) {
    area_->setStatus(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void CMainDlg::setProgressDetail(const std::string& text) {
    detailText_ = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    area_->setDetail(detailText_);
}

}  // namespace tyq::ui
