// The window's progress display: the status line and its detail, the
// summary and notification at a command's end, and Open Folder.

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QUrl>
#include <cstdio>

#include "common/Paths.h"
#include "desktop/FileManager.h"
#include "desktop/Notification.h"
#include "desktop/WindowBus.h"
#include "ui/CMainDlg.h"
#include "ui/TextBytes.h"

namespace tyq::ui {

namespace {

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
    area_->report(progress);
}

QString CMainDlg::folderShown() const {
    const std::string local = expandHome(settingBytesFor(local_->text(), shown_[3]));
    if (local.empty()) {
        return {};
    }
    return QDir::cleanPath(QDir::current().absoluteFilePath(fromSettingBytes(local)));
}

void CMainDlg::sumUp(const commands::CommandOutcome& outcome,
                     std::chrono::steady_clock::duration took) {
    // A command that explains itself has met trouble: the notification says
    // so louder.
    const bool troubled = !outcome.detail.empty();
    // Only where the command left no explanation of its own.
    QString detail = QString::fromStdString(outcome.detail);
    if (!troubled && outcome.items > 0) {
        const int count = outcome.items;
        detail = QStringLiteral("%1 %2%3 \u00b7 %4 \u00b7 %5 \u00b7 %6")
                     .arg(count)
                     .arg(itemWord_.toLower(), count == 1 ? QString() : QStringLiteral("s"),
                          sizeText(outcome.bytes), tookText(took), folderShown());
        setProgressDetail(detail.toStdString());
    }
    if (took < hooks_.notifyAfter || isActiveWindow()) {
        return;
    }
    if (!desktopBus().connected()) {
        return;  // no desktop session to tell
    }
    // The detail goes whole, as the command gave it.
    desktop::Notice notice;
    notice.summary = outcome.headline;
    notice.body = detail.toStdString();
    notice.folder = toSettingBytes(folderShown());
    notice.failure = troubled;
    // A click opens the Location as it is then.
    const std::string failure =
        desktopBus().notify(notice, [this] { runCommand([this] { openFolder(); }); });
    if (!failure.empty()) {
        std::fprintf(stderr, "tyqlmftp: no desktop notification: %s\n", failure.c_str());
    }
}

desktop::WindowBus& CMainDlg::desktopBus() {
    if (!desktopBus_) {
        desktopBus_ = std::make_unique<desktop::WindowBus>();
    }
    return *desktopBus_;
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
    // Not waited for: a file manager started on demand may take its time.
    desktopBus().showFolder(desktop::folderUri(toSettingBytes(folder)),
                            [this, byHandler] { runCommand(byHandler); });
}

void CMainDlg::setProgressText(const std::string& text) {
    area_->setStatus(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void CMainDlg::setProgressDetail(const std::string& text) {
    area_->setDetail(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace tyq::ui
