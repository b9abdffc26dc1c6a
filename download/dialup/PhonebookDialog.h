#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <string>

#include "download/dialup/NetworkManager.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace tyq::dialup {

// The dial-up phonebook: lists the dial-up profiles; Dial activates the chosen
// one and waits, without blocking the window, until it is up or has failed;
// Close ends the dialog. Object names: "profiles", "status", "dial", "close".
class PhonebookDialog : public QDialog {
  public:
    // How long a dial may take before it counts as failed.
    static constexpr int kDialLimitMs = 90'000;

    PhonebookDialog(NetworkManager& manager, const Listing& listing,
                    const QString& selectEntry = {}, QWidget* parent = nullptr);

    // Whether a connection came up through this dialog.
    bool dialled() const noexcept { return dialled_; }

  private:
    void dial();
    void poll();
    void finish(const QString& text);
    void setBusy(bool busy);

    NetworkManager& manager_;
    QListWidget* profiles_;
    QLabel* status_;
    QPushButton* dial_;
    QPushButton* close_;
    QTimer poll_;
    QElapsedTimer since_;
    QString entry_;
    std::string activePath_;
    bool dialling_ = false;
    bool dialled_ = false;
};

}  // namespace tyq::dialup
