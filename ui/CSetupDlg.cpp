#include "ui/CSetupDlg.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QThread>
#include <QTimeEdit>

#include "commands/CollectHistory.h"
#include "desktop/DailyTimer.h"
#include "download/CollectState.h"
#include "settings/CSettings.h"
#include "settings/KeyringPasswords.h"
#include "settings/Keys.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"
#include "ui/LabelledComboBox.h"
#include "ui/TextBytes.h"

namespace tyq::ui {

namespace {
// The encryption choice's row and the connections' row, below the
// template's two.
constexpr int kChoiceRow = 29;
// The keyring's row, below those.
constexpr int kKeyringRow = 12;
constexpr int kKeyringTop = 64;
// The daily collection's rows, below it: the check box with its time, the
// last collection and the next one.
constexpr int kDailyRows = 40;
constexpr int kDailyTop = 66 + kKeyringRow;
constexpr int kButtonsTop = 38 + kChoiceRow + kKeyringRow + kDailyRows;
constexpr char kKeyringCaption[] = "Keep the passwords in the desktop &keyring";
constexpr char kNoKeyringTip[] = "No desktop keyring is running";
// Shown when the timer file tells no time.
constexpr int kDefaultDailyHour = 7;
constexpr char kTimeFormat[] = "HH:mm";
// English names whatever the locale, as every other text of the window.
constexpr char kWhenFormat[] = "ddd d MMM HH:mm";
// QLineEdit's own space between its frame and its text, on each side.
constexpr int kLineEditMargin = 2;

QString when(std::chrono::system_clock::time_point at) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QString::fromLatin1(kWhenFormat));
}

// The scheduling calls block on the service manager for a moment.
class WaitCursor {
  public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// A field's label, named after it; its mnemonic reaches the field.
QLabel* labelFor(QWidget* field, const QString& text, int id, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("label") + controlName(id));
    label->setBuddy(field);
    return label;
}

// At least as wide as its text needs with the font and scale in use.
void growToHint(QWidget& widget) {
    widget.resize(std::max(widget.width(), widget.sizeHint().width()), widget.height());
}

// Moved right of what comes before it on its row where the two would meet.
void keepRightOf(const QWidget& before, QWidget& widget, const DialogUnits& units) {
    const int left = before.geometry().right() + units.toPixelsX(3);
    if (left > widget.x()) {
        widget.move(left, widget.y());
    }
}
}  // namespace

// A long account of the last collection wraps: what is below moves down by
// the height returned.
int CSetupDlg::fitLastCollection() {
    const int grown = std::max(
        0, lastCollection_->heightForWidth(lastCollection_->width()) - lastCollection_->height());
    lastCollection_->resize(lastCollection_->width(), lastCollection_->height() + grown);
    nextCollection_->move(nextCollection_->x(), nextCollection_->y() + grown);
    return grown;
}

// The template's width shows four digits at most with some fonts and
// scales: widen to the five of the highest port, the cursor beside them.
void CSetupDlg::widenPortField() {
    int digits = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
        digits = std::max(digits, port_->fontMetrics().horizontalAdvance(QString(5, digit)));
    }
    const QMargins margins = port_->textMargins();
    const QSize text(digits + margins.left() + margins.right() + 2 * kLineEditMargin + 1,
                     port_->fontMetrics().height());
    QStyleOptionFrame frame;
    frame.initFrom(port_);
    frame.lineWidth = port_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, port_);
    const int needed =
        port_->style()->sizeFromContents(QStyle::CT_LineEdit, &frame, text, port_).width();
    port_->resize(std::max(port_->width(), needed), port_->height());
}

// OK, Cancel and Default below every field (`grown`: how far a long
// account of the last collection pushed them), the tab order and the size.
void CSetupDlg::placeButtons(const DialogUnits& units, int grown) {
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(controlName(ids::kIdOk));
    ok->setDefault(true);
    units.place(*ok, 14, kButtonsTop, 42, 13);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(controlName(ids::kIdCancel));
    units.place(*cancel, 62, kButtonsTop, 42, 13);
    auto* byDefault = new QPushButton(QStringLiteral("&Default"), this);
    byDefault->setObjectName(controlName(ids::kIdDefault));
    units.place(*byDefault, 110, kButtonsTop, 42, 13);
    for (auto* button : {ok, cancel, byDefault}) {
        button->move(button->x(), button->y() + grown);
    }

    setTabOrder(host_, port_);
    setTabOrder(port_, encryption_);
    setTabOrder(encryption_, connections_);
    setTabOrder(connections_, keyring_);
    setTabOrder(keyring_, daily_);
    setTabOrder(daily_, dailyTime_);
    setTabOrder(dailyTime_, ok);
    setTabOrder(ok, cancel);
    setTabOrder(cancel, byDefault);

    connect(ok, &QPushButton::clicked, this, &CSetupDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSetupDlg::reject);
    connect(byDefault, &QPushButton::clicked, this, &CSetupDlg::onDefault);

    setFixedSize(
        std::max({units.toPixelsX(166), encryption_->geometry().right() + 1 + units.toPixelsX(7),
                  connections_->geometry().right() + 1 + units.toPixelsX(7),
                  keyring_->geometry().right() + 1 + units.toPixelsX(7),
                  dailyTime_->geometry().right() + 1 + units.toPixelsX(7)}),
        units.toPixelsY(kButtonsTop + 20) + grown);
}

CSetupDlg::CSetupDlg(const settings::ProfileStore& profiles, Prompter& prompter,
                     const std::filesystem::path& stateFolder, QWidget* parent)
    : QDialog(parent),
      profiles_(profiles),
      host_(new QLineEdit(this)),
      port_(new QLineEdit(this)),
      encryption_(new QComboBox(this)),
      connections_(new QSpinBox(this)),
      prompter_(prompter),
      keyring_(new QCheckBox(QString::fromUtf8(kKeyringCaption), this)),
      daily_(new QCheckBox(QStringLiteral("Collect new data e&very day at"), this)),
      dailyTime_(new QTimeEdit(this)),
      lastCollection_(new QLabel(this)),
      nextCollection_(new QLabel(this)) {
    setObjectName(QStringLiteral("setupDialog"));
    setWindowTitle(QStringLiteral("Tessary Orv Mail Setup"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits units(font());

    // Screen readers name each field as its label reads.
    for (auto* label : {placeServer(units), placeServerPort(units), placeEncryption(units),
                        placeConnections(units)}) {
        nameBuddyAfterLabel(*label);
    }
    nameComboBoxByLabel(*encryption_);
    placeKeyring(units);
    placeDailyCollection(units);
    showLastCollection(stateFolder);
    const int grown = fitLastCollection();

    placeButtons(units, grown);
    showStored();
    host_->setFocus();
    fetchNextCollection();
}

// The template's two rows: the address and the port.
QLabel* CSetupDlg::placeServer(const DialogUnits& units) {
    auto* hostLabel = labelFor(host_, QStringLiteral("QLM &Address:"), ids::kHost, this);
    units.place(*hostLabel, 7, 8, 47, 9);
    host_->setObjectName(controlName(ids::kHost));
    units.place(*host_, 60, 7, 91, 12);
    return hostLabel;
}

QLabel* CSetupDlg::placeServerPort(const DialogUnits& units) {
    auto* portLabel = labelFor(port_, QStringLiteral("&Port:"), ids::kPort, this);
    units.place(*portLabel, 7, 21, 43, 9);
    port_->setObjectName(controlName(ids::kPort));
    // Typed characters other than digits are refused; a stored value is shown as it is.
    port_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));
    units.place(*port_, 60, 20, 23, 12);
    widenPortField();
    return portLabel;
}

// One row more than the template: the encryption choice, stored values as
// item data, in the order the captions read.
QLabel* CSetupDlg::placeEncryption(const DialogUnits& units) {
    auto* encryptionLabel =
        labelFor(encryption_, QStringLiteral("&Encryption:"), ids::kEncryption, this);
    units.place(*encryptionLabel, 7, 35, 47, 9);
    encryption_->setObjectName(controlName(ids::kEncryption));
    for (const auto& [caption, value] :
         {std::pair{settings::kEncryptionIfOfferedCaption, settings::kEncryptionIfOffered},
          std::pair{settings::kEncryptionRequiredCaption, settings::kEncryptionRequired},
          std::pair{settings::kEncryptionPlainCaption, settings::kEncryptionPlain}}) {
        encryption_->addItem(QString::fromUtf8(caption), QString::fromUtf8(value));
    }
    units.place(*encryption_, 60, 33, 99, 13);
    // The longest caption shows whole: the box, and the window with it, grow
    // to fit it with the font and scale in use.
    growToHint(*encryption_);
    return encryptionLabel;
}

// How many connections a download may open; more than one fetches ahead,
// but some servers allow a subscriber only one.
QLabel* CSetupDlg::placeConnections(const DialogUnits& units) {
    auto* connectionsLabel = labelFor(connections_, QStringLiteral("Simultaneous &connections:"),
                                      ids::kConnections, this);
    units.place(*connectionsLabel, 7, 50, 90, 9);
    connections_->setObjectName(controlName(ids::kConnections));
    connections_->setRange(1, settings::kMaxConnections);
    units.place(*connections_, 100, 48, 30, 13);
    growToHint(*connections_);
    growToHint(*connectionsLabel);
    keepRightOf(*connectionsLabel, *connections_, units);
    return connectionsLabel;
}

// Where the passwords live: offered where a keyring answers, and always
// shown when chosen, so it can be turned off again.
void CSetupDlg::placeKeyring(const DialogUnits& units) {
    keyring_->setObjectName(controlName(ids::kKeyring));
    units.place(*keyring_, 7, kKeyringTop, 152, 10);
    growToHint(*keyring_);
    storedKeyring_ = settings::passwordsInKeyring(profiles_);
    keyring_->setChecked(storedKeyring_);
    settings::SecretStore* secrets = profiles_.secrets();
    if (!storedKeyring_ && (secrets == nullptr || !secrets->available())) {
        keyring_->setEnabled(false);
        keyring_->setToolTip(QString::fromUtf8(kNoKeyringTip));
    }
    mailbox_ = settings::mailboxOf(profiles_);
}

// The opening: the values from the settings file, shown in the fields.
void CSetupDlg::showStored() {
    shownHost_ = showSetting(settings::readForSetup(profiles_, settings::Key::Host));
    shownPort_ = showSetting(settings::readForSetup(profiles_, settings::Key::Port));
    m_strHost = shownHost_.text;
    m_strPort = shownPort_.text;
    storedEncryption_ = settings::readForSetup(profiles_, settings::Key::Encryption);
    storedConnections_ = settings::readNumber(profiles_, settings::Key::Connections);
    toFields();
    showEncryption(storedEncryption_);
    connections_->setValue(storedConnections_);
}

void CSetupDlg::placeDailyCollection(const DialogUnits& units) {
    daily_->setObjectName(controlName(ids::kDaily));
    units.place(*daily_, 7, kDailyTop, 110, 10);
    dailyTime_->setObjectName(controlName(ids::kDailyTime));
    dailyTime_->setDisplayFormat(QString::fromLatin1(kTimeFormat));
    dailyTime_->setAccessibleName(QStringLiteral("Collect new data every day at"));
    units.place(*dailyTime_, 120, kDailyTop - 2, 36, 13);
    growToHint(*dailyTime_);
    keepRightOf(*daily_, *dailyTime_, units);
    lastCollection_->setObjectName(controlName(ids::kLastCollection));
    lastCollection_->setWordWrap(true);
    units.place(*lastCollection_, 7, kDailyTop + 14, 152, 9, false);
    nextCollection_->setObjectName(controlName(ids::kNextCollection));
    units.place(*nextCollection_, 7, kDailyTop + 25, 152, 9, false);

    // As the timer file tells it; another time can be set only for a daily
    // collection.
    const auto time = desktop::scheduledTime();
    scheduled_ = time.has_value();
    scheduledTime_ =
        time ? QTime::fromString(QString::fromStdString(*time), QString::fromLatin1(kTimeFormat))
             : QTime(kDefaultDailyHour, 0);
    daily_->setChecked(scheduled_);
    dailyTime_->setTime(scheduledTime_);
    dailyTime_->setEnabled(scheduled_);
    connect(daily_, &QCheckBox::toggled, dailyTime_, &QWidget::setEnabled);
}

void CSetupDlg::showLastCollection(const std::filesystem::path& stateFolder) {
    // The account reads on after the time: "Nothing new" becomes "nothing new".
    const auto account = [](const std::string& text) {
        QString ended = QString::fromStdString(text);
        if (ended.size() > 1 && ended[0].isUpper() && ended[1].isLower()) {
            ended[0] = ended[0].toLower();
        }
        return ended.isEmpty() ? QString() : QStringLiteral(", ") + ended;
    };
    const auto at = [](std::time_t time) {
        return when(std::chrono::system_clock::from_time_t(time));
    };
    commands::CollectHistory history(stateFolder);
    if (!history.load() && (history.lastSuccess() || history.lastFailure())) {
        const auto& success = history.lastSuccess();
        const auto& failure = history.lastFailure();
        lastCollection_->setText((success ? QStringLiteral("Last success: ") + at(success->when) +
                                                account(success->account)
                                          : QStringLiteral("No successful collection yet")) +
                                 (failure ? QStringLiteral("\nLast failure: ") + at(failure->when) +
                                                account(failure->account)
                                          : QString()));
        return;
    }
    download::CollectState state(stateFolder);
    if (const auto failure = state.load()) {
        lastCollection_->setText(QStringLiteral("Cannot read the last collection: ") +
                                 QString::fromStdString(*failure));
        return;
    }
    const auto& last = state.lastRun();
    if (!last) {
        lastCollection_->setText(QStringLiteral("No collection yet"));
        return;
    }
    lastCollection_->setText(QStringLiteral("Last collection: ") + at(last->when) +
                             account(last->ended));
}

void CSetupDlg::fetchNextCollection() {
    // The service manager may take its time to answer: the window opens
    // without it and shows the answer when it comes. The thread owns the
    // result; the window takes it only while it is still open.
    auto next = std::make_shared<std::optional<std::chrono::system_clock::time_point>>();
    QThread* worker = QThread::create([next] { *next = desktop::nextRun(); });
    connect(worker, &QThread::finished, this, [this, next] {
        if (*next) {
            nextCollection_->setText(QStringLiteral("Next: ") + when(**next));
        }
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void CSetupDlg::applyDailyCollection() {
    const bool wanted = daily_->isChecked();
    const QTime time = dailyTime_->time();
    const QTime minute(time.hour(), time.minute());
    if (wanted == scheduled_ && (!wanted || minute == scheduledTime_)) {
        return;
    }
    desktop::ScheduleOutcome outcome;
    {
        const WaitCursor waiting;
        outcome =
            wanted
                ? desktop::schedule(minute.toString(QString::fromLatin1(kTimeFormat)).toStdString())
                : desktop::unschedule();
    }
    if (!outcome.ok()) {
        prompter_.ask({"The daily collection was not changed: " + outcome.error, PromptButtons::Ok,
                       PromptIcon::Error});
        return;
    }
    if (std::find(outcome.done.begin(), outcome.done.end(), desktop::kNoServiceManagerHint) !=
        outcome.done.end()) {
        prompter_.ask({desktop::kNoServiceManagerHint, PromptButtons::Ok, PromptIcon::Information});
    }
}

// Moves the passwords when the choice changed, or after the server they
// belong to; says why when they stay where they were.
void CSetupDlg::applyKeyring() {
    // Following the server first: a move out then finds them.
    std::optional<std::string> failure;
    if (storedKeyring_) {
        failure = settings::followMailbox(profiles_, mailbox_);
    }
    if (!failure && keyring_->isChecked() != storedKeyring_) {
        failure = keyring_->isChecked() ? settings::movePasswordsToKeyring(profiles_)
                                        : settings::movePasswordsToFile(profiles_);
    }
    if (failure) {
        prompter_.ask({*failure, PromptButtons::Ok, PromptIcon::Error});
    }
}

void CSetupDlg::toFields() {
    host_->setText(m_strHost);
    port_->setText(m_strPort);
}

void CSetupDlg::fromFields() {
    m_strHost = host_->text();
    m_strPort = port_->text();
}

void CSetupDlg::showEncryption(const std::string& stored) {
    // An absent or unknown value is the default, the first item.
    int index = 0;
    for (int i = 0; i < encryption_->count(); ++i) {
        if (encryption_->itemData(i).toString().compare(QString::fromUtf8(stored).trimmed(),
                                                        Qt::CaseInsensitive) == 0) {
            index = i;
        }
    }
    encryption_->setCurrentIndex(index);
}

void CSetupDlg::onDefault() {
    m_strHost = QString::fromUtf8(settings::kDefaultHost);
    m_strPort = QString::fromUtf8(settings::kDefaultPortText);
    showEncryption(settings::kEncryptionIfOffered);
    connections_->setValue(settings::kDefaultConnections);
    toFields();
    repaint();
}

void CSetupDlg::accept() {
    fromFields();
    // Write failures go unreported, as everywhere in the program.
    // A value left alone goes back byte for byte, whatever its encoding.
    static_cast<void>(
        settings::write(profiles_, settings::Key::Host, settingBytesFor(m_strHost, shownHost_)));
    static_cast<void>(
        settings::write(profiles_, settings::Key::Port, settingBytesFor(m_strPort, shownPort_)));
    // Written only when it changes what the file means: an absent key is the
    // default already.
    const std::string chosen = encryption_->currentData().toString().toStdString();
    const int before = encryption_->findData(QString::fromUtf8(storedEncryption_).trimmed(),
                                             Qt::UserRole, Qt::MatchFixedString);
    if (encryption_->currentIndex() != std::max(before, 0)) {
        static_cast<void>(settings::write(profiles_, settings::Key::Encryption, chosen));
    }
    if (connections_->value() != storedConnections_) {
        static_cast<void>(settings::write(profiles_, settings::Key::Connections,
                                          std::to_string(connections_->value())));
    }
    applyKeyring();
    applyDailyCollection();
    QDialog::accept();
}

}  // namespace tyq::ui
