#pragma once

#include <QDialog>
#include <QString>
#include <QTime>
#include <filesystem>
#include <string>

#include "common/Prompter.h"
#include "settings/ProfileStore.h"
#include "settings/Secrets.h"
#include "ui/TextBytes.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QTimeEdit;
class QLineEdit;
class QSpinBox;

namespace tyq::ui {

class DialogUnits;

// The server setup window: host and port of the mailbox server, and whether
// the connection is encrypted; the daily collection and how the last one went.
class CSetupDlg : public QDialog {
    Q_OBJECT
  public:
    // stateFolder holds the record of the collections.
    CSetupDlg(const settings::ProfileStore& profiles, Prompter& prompter,
              const std::filesystem::path& stateFolder, QWidget* parent = nullptr);

    QString m_strHost;
    QString m_strPort;

    void accept() override;

  private:
    void onDefault();
    void toFields();
    void fromFields();
    void showEncryption(const std::string& stored);
    QLabel* placeServer(const DialogUnits& units);
    QLabel* placeServerPort(const DialogUnits& units);
    QLabel* placeEncryption(const DialogUnits& units);
    QLabel* placeConnections(const DialogUnits& units);
    void placeKeyring(const DialogUnits& units);
    void showStored();
    void applyKeyring();
    void widenPortField();
    int fitLastCollection();
    void placeButtons(const DialogUnits& units, int grown);
    void placeDailyCollection(const DialogUnits& units);
    void showLastCollection(const std::filesystem::path& stateFolder);
    void fetchNextCollection();
    void applyDailyCollection();

    const settings::ProfileStore& profiles_;
    // The values as read, so those left alone are saved back unchanged.
    ShownSetting shownHost_;
    ShownSetting shownPort_;
    QLineEdit* host_;
    QLineEdit* port_;
    QComboBox* encryption_;
    QSpinBox* connections_;
    // The number as read (the default when absent), so an untouched field
    // leaves the file as it was.
    int storedConnections_ = 0;
    // The stored value as read ("" when absent), so an untouched choice
    // leaves the file as it was.
    std::string storedEncryption_;
    Prompter& prompter_;
    QCheckBox* keyring_;
    // The choice and the mailbox as they were on opening: the passwords move
    // when either changed.
    bool storedKeyring_ = false;
    settings::Mailbox mailbox_;
    QCheckBox* daily_;
    QTimeEdit* dailyTime_;
    QLabel* lastCollection_;
    QLabel* nextCollection_;
    // The schedule as the timer file told it on opening: OK changes it only
    // when the choice differs.
    bool scheduled_ = false;
    QTime scheduledTime_;
};

}  // namespace tyq::ui
