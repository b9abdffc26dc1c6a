#include "ui/HelpViewer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "common/Texts.h"

namespace tyq::ui {

HelpViewer::HelpViewer(QWidget* parent) : QDialog(parent), browser_(new QTextBrowser(this)) {
    setObjectName(QStringLiteral("helpViewer"));
    setWindowTitle(QString::fromUtf8(kProgramCaption) + QStringLiteral(" Help"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint);
    setModal(false);
    browser_->setObjectName(QStringLiteral("helpBrowser"));
    browser_->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    resize(640, 560);
}

void HelpViewer::showFile(const std::string& helpFile) {
    const QString path = QString::fromUtf8(helpFile);
    const QFileInfo info(path);
    QFile file(path);
    if (info.isFile() && file.open(QIODevice::ReadOnly)) {
        const QByteArray html = file.readAll();
        browser_->clear();
        // Relative links and pictures resolve beside the help file.
        browser_->setSearchPaths({info.absolutePath()});
        browser_->document()->setBaseUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
        browser_->setHtml(QString::fromUtf8(html));
    } else {
        browser_->setPlainText(QStringLiteral("The help file cannot be opened:\n%1\n\n%2")
                                   .arg(QDir::toNativeSeparators(info.absoluteFilePath()),
                                        !info.exists() ? QStringLiteral("The file is missing.")
                                        : info.isDir()
                                            ? QStringLiteral("That is a folder, not a file.")
                                            : file.errorString()));
    }
    browser_->moveCursor(QTextCursor::Start);
    show();
    raise();
    activateWindow();
}

}  // namespace tyq::ui
