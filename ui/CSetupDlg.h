#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "settings/ProfileStore.h"
#include "ui/TextBytes.h"

class QComboBox;
class QLineEdit;
class QSpinBox;

namespace tyq::ui {

// The server setup window: host and port of the mailbox server, and whether
// the connection is encrypted.
class CSetupDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CSetupDlg(const settings::ProfileStore& profiles, QWidget* parent = nullptr);

    QString m_strHost;
    QString m_strPort;

    void accept() override;

  private:
    void onDefault();
    void toFields();
    void fromFields();
    void showEncryption(const std::string& stored);

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
};

}  // namespace tyq::ui
