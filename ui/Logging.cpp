#include "ui/Logging.h"

#include <cstdio>
#include <cstring>

#include "common/Log.h"

Q_LOGGING_CATEGORY(lcJob, "tyqlmftp.ui.job")

namespace tyq::ui {
namespace {

constexpr char kOurPrefix[] = "tyqlmftp.";

QLoggingCategory::CategoryFilter previousFilter = nullptr;
QtMessageHandler previousHandler = nullptr;

bool ours(const char* category) {
    return category != nullptr && std::strncmp(category, kOurPrefix, sizeof kOurPrefix - 1) == 0;
}

void filter(QLoggingCategory* category) {
    if (previousFilter != nullptr) {
        previousFilter(category);
    }
    if (ours(category->categoryName())) {
        const bool on = log::enabled(log::Category::Ui);
        category->setEnabled(QtDebugMsg, on);
        category->setEnabled(QtInfoMsg, on);
    }
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (ours(context.category) && (type == QtDebugMsg || type == QtInfoMsg)) {
        log::write(log::Category::Ui, text.toStdString());
        return;
    }
    if (previousHandler != nullptr) {
        previousHandler(type, context, text);
        return;
    }
    // What Qt's own handler would print.
    const QByteArray line = qFormatLogMessage(type, context, text).toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

}  // namespace

void installLogging() {
    static bool installed = false;
    if (installed) {
        // Applies a changed switch to every category there is.
        QLoggingCategory::installFilter(filter);
        return;
    }
    installed = true;
    previousHandler = qInstallMessageHandler(handler);
    previousFilter = QLoggingCategory::installFilter(filter);
}

}  // namespace tyq::ui
