#include "ui/LabelledComboBox.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>

namespace tyq::ui {

namespace {

constexpr char kByLabel[] = "tyqNamedByLabel";

class LabelledComboAccessible : public QAccessibleWidget {
  public:
    explicit LabelledComboAccessible(QComboBox* box)
        : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value) {
            return box()->currentText();
        }
        if (kind == QAccessible::Name && !widget()->accessibleName().isEmpty()) {
            return widget()->accessibleName();
        }
        return QAccessibleWidget::text(kind);
    }

    QStringList actionNames() const override {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override {
        if (action == showMenuAction() || action == pressAction()) {
            box()->showPopup();
        } else {
            QAccessibleWidget::doAction(action);
        }
    }

  private:
    QComboBox* box() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* labelledComboFactory(const QString& /*key*/, QObject* object) {
    auto* box = qobject_cast<QComboBox*>(object);
    if (box != nullptr && box->property(kByLabel).toBool()) {
        return new LabelledComboAccessible(box);
    }
    return nullptr;
}

}  // namespace

void nameComboBoxByLabel(QComboBox& box) {
    static const bool installed = [] {
        QAccessible::installFactory(&labelledComboFactory);
        return true;
    }();
    static_cast<void>(installed);
    box.setProperty(kByLabel, true);
    // One made before (a box's items announce themselves as they are added)
    // goes, so the next to ask gets ours.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(&box);
    if (made != nullptr && dynamic_cast<LabelledComboAccessible*>(made) == nullptr) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
    }
}

}  // namespace tyq::ui
