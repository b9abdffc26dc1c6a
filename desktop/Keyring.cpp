#include "desktop/Keyring.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "settings/Keys.h"

namespace tyq::desktop {
namespace {

using settings::Mailbox;
using settings::SecretAnswer;
using settings::SecretKind;
using settings::SecretRead;

const SecretSchema kSchema = {
    "org.tessary.tyqlmftp.Password",
    SECRET_SCHEMA_NONE,
    {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"port", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

// A GError filled by a call, freed with its holder.
class Error {
  public:
    GError** out() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }
    std::string text() const { return error_ != nullptr ? error_->message : "unknown error"; }
    ~Error() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }
    Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;

  private:
    GError* error_ = nullptr;
};

// No session bus: nothing is started to find one (GLib would launch a bus
// of its own under X11).
bool sessionBusNamed() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat bus {};
    return runtime != nullptr && *runtime != '\0' &&
           ::stat((std::string(runtime) + "/bus").c_str(), &bus) == 0 && S_ISSOCK(bus.st_mode);
}

// The keyring for one call. Its connection is the process's shared one
// (libsecret takes no other), told not to end the whole process with SIGTERM
// should the bus go away, as it would by default.
class Service {
  public:
    Service() {
        if (!sessionBusNamed()) {
            return;
        }
        Error error;
        bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
        if (!bus_) {
            return;
        }
        g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);
        service_.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr,
                                                SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    }

    SecretService* get() const { return service_.get(); }
    explicit operator bool() const { return service_ != nullptr; }

  private:
    Owned<GDBusConnection> bus_;
    Owned<SecretService> service_;
};

Owned<GHashTable> attributesOf(SecretKind kind, const Mailbox& mailbox) {
    Owned<GHashTable> table(g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free));
    const auto add = [&](const char* name, const std::string& value) {
        g_hash_table_insert(table.get(), const_cast<char*>(name), g_strdup(value.c_str()));
    };
    add("application", "tyqlmftp");
    add("server", mailbox.host);
    add("port", std::to_string(mailbox.port));
    add("user", mailbox.user);
    add("kind", kind == SecretKind::FtpPassword ? "ftp" : "zip");
    return table;
}

// The keyring's default collection, unlocked first when the user may be
// asked; nothing when there is none.
Owned<SecretCollection> defaultCollection(SecretService* service, Prompting prompting) {
    Error error;
    Owned<SecretCollection> collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
    if (collection && secret_collection_get_locked(collection.get()) &&
        prompting == Prompting::Allowed) {
        GList objects{collection.get(), nullptr, nullptr};
        Error unlocking;
        static_cast<void>(
            secret_service_unlock_sync(service, &objects, nullptr, nullptr, unlocking.out()));
    }
    return collection;
}

}  // namespace

std::string keyringLabel(SecretKind kind, const Mailbox& mailbox) {
    std::string server = mailbox.host;
    if (mailbox.port != settings::kDefaultPort && mailbox.port != 0) {
        server += ":" + std::to_string(mailbox.port);
    }
    return std::string("ORV Mail ") + (kind == SecretKind::FtpPassword ? "FTP" : "zip") +
           " password for " + mailbox.user + " on " + server;
}

bool Keyring::available() {
    return static_cast<bool>(Service());
}

SecretRead Keyring::read(SecretKind kind, const Mailbox& mailbox) {
    const Service service;
    if (!service) {
        return {SecretAnswer::Unavailable, "", kNoKeyringText};
    }
    // Never unlocks: a locked item comes back locked, without its secret.
    Error error;
    const Owned<GList> items(secret_service_search_sync(
        service.get(), &kSchema, attributesOf(kind, mailbox).get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        error.out()));
    if (error) {
        return {SecretAnswer::Unavailable, "", "the keyring failed: " + error.text()};
    }
    bool locked = false;
    for (GList* it = items.get(); it != nullptr; it = it->next) {
        auto* item = static_cast<SecretItem*>(it->data);
        if (secret_item_get_locked(item)) {
            locked = true;
            continue;
        }
        const Owned<SecretValue> secret(secret_item_get_secret(item));
        if (secret) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret.get(), &length);
            return {SecretAnswer::Found, std::string(bytes, length), ""};
        }
    }
    if (locked) {
        return {SecretAnswer::Locked, "", kKeyringLockedText};
    }
    return {SecretAnswer::NotStored, "", kNotInKeyringText};
}

std::optional<std::string> Keyring::store(SecretKind kind, const Mailbox& mailbox,
                                          std::string_view value) {
    const Service service;
    if (!service) {
        return kNoKeyringText;
    }
    const auto collection = defaultCollection(service.get(), prompting_);
    if (collection && secret_collection_get_locked(collection.get())) {
        return kKeyringLockedText;
    }
    const Owned<SecretValue> secret(
        secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain"));
    Error error;
    if (!secret_service_store_sync(service.get(), &kSchema, attributesOf(kind, mailbox).get(),
                                   SECRET_COLLECTION_DEFAULT, keyringLabel(kind, mailbox).c_str(),
                                   secret.get(), nullptr, error.out())) {
        return "the keyring did not store it: " + error.text();
    }
    return std::nullopt;
}

std::optional<std::string> Keyring::remove(SecretKind kind, const Mailbox& mailbox) {
    const Service service;
    if (!service) {
        return kNoKeyringText;
    }
    Error error;
    secret_service_clear_sync(service.get(), &kSchema, attributesOf(kind, mailbox).get(), nullptr,
                              error.out());
    if (error) {
        return "the keyring did not remove it: " + error.text();
    }
    return std::nullopt;
}

bool Keyring::unlock() {
    const Service service;
    if (!service) {
        return false;
    }
    const auto collection = defaultCollection(service.get(), prompting_);
    return collection && !secret_collection_get_locked(collection.get());
}

}  // namespace tyq::desktop
