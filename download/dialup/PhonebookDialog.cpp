#include "download/dialup/PhonebookDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace tyq::dialup {
namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kPollIntervalMs = 200;

QString kindText(const std::string& type) {
    if (type == "gsm") {
        return "Mobile broadband (GSM)";
    }
    if (type == "cdma") {
        return "Mobile broadband (CDMA)";
    }
    if (type == "pppoe") {
        return "DSL (PPPoE)";
    }
    if (type == "adsl") {
        return "ADSL";
    }
    if (type == "bluetooth") {
        return "Bluetooth dial-up";
    }
    return QString::fromStdString(type);
}

// The connections up, for the line under the list.
QString connectionsText(const Listing& listing) {
    QStringList connected;
    for (const Active& active : listing.active) {
        connected << QString::fromStdString(active.id);
    }
    return connected.isEmpty() ? QString("Not connected.")
                               : "Connected: " + connected.join(", ") + ".";
}

}  // namespace

PhonebookDialog::PhonebookDialog(NetworkManager& manager, const Listing& listing,
                                 const QString& selectEntry, QWidget* parent)
    : QDialog(parent),
      manager_(manager),
      profiles_(new QListWidget(this)),
      status_(new QLabel(this)),
      dial_(new QPushButton("&Dial", this)),
      close_(new QPushButton("&Close", this)) {
    setWindowTitle("Dial-up Connections");
    profiles_->setObjectName("profiles");
    status_->setObjectName("status");
    dial_->setObjectName("dial");
    close_->setObjectName("close");
    status_->setWordWrap(true);

    for (const Profile& profile : listing.profiles) {
        auto* item = new QListWidgetItem(QString::fromStdString(profile.id), profiles_);
        item->setData(kPathRole, QString::fromStdString(profile.path));
        item->setToolTip(kindText(profile.type));
        if (!selectEntry.isEmpty() && item->text() == selectEntry) {
            profiles_->setCurrentItem(item);
        }
    }
    status_->setText(connectionsText(listing));

    auto* prompt = new QLabel("Choose a dial-up connection, then click Dial.", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(dial_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(profiles_);
    layout->addWidget(status_);
    layout->addLayout(buttons);

    dial_->setAutoDefault(false);
    close_->setAutoDefault(false);
    dial_->setEnabled(profiles_->currentItem() != nullptr);
    connect(profiles_, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem* current) { dial_->setEnabled(current != nullptr); });
    connect(profiles_, &QListWidget::itemActivated, this, [this] { dial(); });
    connect(dial_, &QPushButton::clicked, this, [this] { dial(); });
    connect(close_, &QPushButton::clicked, this, [this] { reject(); });
    poll_.setInterval(kPollIntervalMs);
    connect(&poll_, &QTimer::timeout, this, [this] { poll(); });
}

void PhonebookDialog::dial() {
    const QListWidgetItem* item = profiles_->currentItem();
    if (item == nullptr || dialling_) {
        return;
    }
    entry_ = item->text();
    status_->setText("Dialling " + entry_ + "...");
    dialling_ = true;
    setBusy(true);
    // The request itself returns at once; the connection then comes up or not.
    const std::optional<std::string> path =
        manager_.activate(item->data(kPathRole).toString().toStdString());
    if (!path) {
        finish("Could not connect to " + entry_ + ": " +
               QString::fromStdString(manager_.lastError()) + ".");
        return;
    }
    activePath_ = *path;
    since_.start();
    poll();
    if (dialling_) {
        poll_.start();
    }
}

void PhonebookDialog::poll() {
    const std::optional<uint32_t> state = manager_.state(activePath_);
    if (state && *state == kStateActivated) {
        dialled_ = true;
        finish("Connected to " + entry_ + ".");
    } else if (!state || *state >= kStateDeactivating) {
        finish("Could not connect to " + entry_ + ": the connection failed.");
    } else if (since_.hasExpired(kDialLimitMs)) {
        finish("Could not connect to " + entry_ + ": no answer in time.");
    }
}

void PhonebookDialog::finish(const QString& text) {
    dialling_ = false;
    poll_.stop();
    status_->setText(text);
    setBusy(false);
}

void PhonebookDialog::setBusy(bool busy) {
    profiles_->setEnabled(!busy);
    dial_->setEnabled(!busy && profiles_->currentItem() != nullptr);
}

}  // namespace tyq::dialup
