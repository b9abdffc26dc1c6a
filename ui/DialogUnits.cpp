#include "ui/DialogUnits.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <cmath>

namespace tyq::ui {

namespace {

int roundedScale(int units, int base, int divisor) {
    return static_cast<int>(std::lround(static_cast<double>(units) * base / divisor));
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = static_cast<int>(
        std::lround(static_cast<double>(metrics.horizontalAdvance(letters)) / letters.size()));
    baseY_ = metrics.height();
    if (baseX_ < 1) {
        baseX_ = 1;
    }
    if (baseY_ < 1) {
        baseY_ = 1;
    }
}

int DialogUnits::toPixelsX(int units) const noexcept {
    return roundedScale(units, baseX_, 4);
}

int DialogUnits::toPixelsY(int units) const noexcept {
    return roundedScale(units, baseY_, 8);
}

QRect DialogUnits::toPixels(int left, int top, int width, int height) const noexcept {
    const int x0 = toPixelsX(left);
    const int y0 = toPixelsY(top);
    const int x1 = toPixelsX(left + width);
    const int y1 = toPixelsY(top + height);
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

void DialogUnits::place(QWidget& widget, int left, int top, int width, int height,
                        bool singleLine) const {
    QRect rect = toPixels(left, top, width, height);
    if (singleLine) {
        const QSize needed = widget.sizeHint().expandedTo(widget.minimumSizeHint());
        if (needed.height() > rect.height()) {
            const int centre2 = 2 * rect.top() + rect.height();  // twice the centre line
            rect.setTop((centre2 - needed.height()) / 2);
            rect.setHeight(needed.height());
        }
        const bool textOnly = qobject_cast<QLabel*>(&widget) != nullptr ||
                              qobject_cast<QCheckBox*>(&widget) != nullptr;
        if (textOnly && needed.width() > rect.width()) {
            rect.setWidth(needed.width());
        }
    }
    widget.setGeometry(rect);
}

}  // namespace tyq::ui
