#pragma once

#include <QLoggingCategory>

// The window's own diagnostic records, in Qt's terms: qCDebug(lcJob) and the
// like. They obey the same switch as the core's records (TYQLMFTP_DEBUG's
// "ui", or --verbose) and come out in the same form, "tyqlmftp[ui]: ...".
Q_DECLARE_LOGGING_CATEGORY(lcJob)

namespace tyq::ui {

// Ties the window's categories to that switch and routes their records to
// the core's sink; Qt's own messages go where they went before. Call after
// the switch is set, and again whenever it changes.
void installLogging();

}  // namespace tyq::ui
