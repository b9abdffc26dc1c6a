// The dial-up service's dialog library: the modal phonebook dialog over
// NetworkManager's dial-up profiles. Loaded by the program at each use.
#include <QApplication>
#include <QThread>
#include <exception>

#include "common/DialUpApi.h"
#include "download/dialup/NetworkManager.h"
#include "download/dialup/PhonebookDialog.h"

#define TY_RAS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int32_t showPhonebook(const char* entry, TyRasPbDlgA* info) {
    if (info == nullptr || info->dwSize != TY_RAS_PBDLG_SIZE) {
        if (info != nullptr) {
            info->dwError = TY_RAS_ERROR_INVALID_SIZE;
        }
        return 0;
    }
    // A dialog needs the caller's widget application, on its own thread.
    const auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        info->dwError = TY_RAS_ERROR_SERVICE_FAILED;
        return 0;
    }
    tyq::dialup::NetworkManager manager;
    const tyq::dialup::Listing listing = manager.list();
    if (listing.status != tyq::dialup::Status::Ok) {
        info->dwError = listing.status == tyq::dialup::Status::Missing
                            ? TY_RAS_ERROR_SERVICE_MISSING
                            : TY_RAS_ERROR_SERVICE_FAILED;
        return 0;
    }
    tyq::dialup::PhonebookDialog dialog(manager, listing,
                                        entry != nullptr ? QString::fromUtf8(entry) : QString());
    dialog.exec();
    info->dwError = 0;
    return dialog.dialled() ? 1 : 0;
}

}  // namespace

// There is one phonebook, NetworkManager's: a phonebook name is not used.
TY_RAS_EXPORT int32_t RasPhonebookDlgA(const char* /*phonebook*/, const char* entry,
                                       TyRasPbDlgA* info) {
    try {
        return showPhonebook(entry, info);
    } catch (const std::exception&) {
        return 0;
    }
}
