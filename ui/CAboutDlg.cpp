#include "ui/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"

namespace tyq::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Korvatt"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits units(font());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(applicationIcon().pixmap(32, 32));
    icon->setGeometry(units.toPixelsX(11), units.toPixelsY(17), 32, 32);

    auto* version = new QLabel(QString::fromUtf8(kVersionText), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    units.place(*version, 40, 10, 119, 8);

    auto* line = new QLabel(QString::fromUtf8(kAboutLine), this);
    line->setObjectName(QStringLiteral("aboutLine"));
    units.place(*line, 40, 25, 119, 8);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(controlName(ids::kIdOk));
    ok->setDefault(true);
    units.place(*ok, 178, 7, 32, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(units.toPixelsX(217), units.toPixelsY(55));
}

}  // namespace tyq::ui
