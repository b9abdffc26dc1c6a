#pragma once

#include <QDialog>
#include <QString>

#include "settings/ProfileStore.h"
#include "ui/TextBytes.h"

class QLineEdit;

namespace tyq::ui {

// The server setup window: host and port of the mailbox server.
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

    const settings::ProfileStore& profiles_;
    // The values as read, so those left alone are saved back unchanged.
    ShownSetting shownHost_;
    ShownSetting shownPort_;
    QLineEdit* host_;
    QLineEdit* port_;
};

}  // namespace tyq::ui
