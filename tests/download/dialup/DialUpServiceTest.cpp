// The connection library over NetworkManager, called through dlopen against
// python3-dbusmock's NetworkManager on a private bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "NmMock.h"
#include "common/DialUpApi.h"
#include "common/SharedLibrary.h"
#include "download/dialup/NetworkManager.h"

namespace tyq::dialup {
namespace {

using test::NmMock;

const std::filesystem::path kBin = TYQ_BIN_DIR;

struct Enumeration {
    uint32_t result = 0;
    uint32_t count = 0;
    uint32_t bufferSize = 0;
    std::vector<TyRasConnA> records;
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < std::min<size_t>(count, records.size()); ++i) {
            out.emplace_back(records[i].szEntryName);
        }
        return out;
    }
};

// The library as the program uses it: loaded by absolute path for each use.
class ConnectionLibrary {
  public:
    ConnectionLibrary() : library_(kBin / TY_RASAPI_LIBRARY) {
        if (!library_.loaded()) {
            throw std::runtime_error(library_.error());
        }
    }
    Enumeration enumerate(size_t room = 1) const {
        Enumeration out;
        out.records.assign(room, TyRasConnA{});
        out.records[0].dwSize = TY_RAS_CONN_SIZE;
        out.bufferSize = static_cast<uint32_t>(room * TY_RAS_CONN_SIZE);
        out.result = library_.entryAs<TyRasEnumConnectionsA>("RasEnumConnectionsA")(
            out.records.data(), &out.bufferSize, &out.count);
        return out;
    }
    uint32_t hangUp(uint64_t handle) const {
        return library_.entryAs<TyRasHangUpA>("RasHangUpA")(handle);
    }
    uint32_t dial(const char* name, uint64_t& handle) const {
        return library_.entryAs<TyRasDialA>("RasDialA")(name, &handle);
    }

  private:
    SharedLibrary library_;
};

constexpr uint32_t kNotActive = 0;

struct Connection {
    const char* id;
    const char* type;
    const char* bluetoothType;
    uint32_t state;  // kNotActive: the profile only
};

struct EnumerationCase {
    const char* name;
    std::vector<Connection> connections;
    uint32_t result;
    std::vector<std::string> names;
    uint32_t connectivity = 3;  // limited: no internet unless a case says so
};

void PrintTo(const EnumerationCase& c, std::ostream* out) {
    *out << c.name;
}

class EnumerationTest : public testing::TestWithParam<EnumerationCase> {};

TEST_P(EnumerationTest, ReportsDialUpConnectionsComingUpOrUp) {
    const EnumerationCase& c = GetParam();
    NmMock mock;
    mock.setConnectivity(c.connectivity);
    for (const Connection& connection : c.connections) {
        const std::string profile =
            mock.addProfile(connection.id, connection.type, connection.bluetoothType);
        if (connection.state != kNotActive) {
            mock.addActive(profile, connection.state);
        }
    }
    const Enumeration found = ConnectionLibrary().enumerate();
    ASSERT_EQ(found.result, c.result);
    if (c.result == TY_RAS_SUCCESS) {
        EXPECT_EQ(found.names(), c.names);
        EXPECT_EQ(found.count, c.names.size());
        if (found.count == 1) {
            EXPECT_NE(found.records[0].hrasconn, 0u);
            EXPECT_EQ(found.records[0].dwSize, TY_RAS_CONN_SIZE);
        }
    }
    if (c.result == TY_RAS_ERROR_BUFFER_TOO_SMALL) {
        EXPECT_EQ(found.count, c.names.size());
        EXPECT_EQ(found.bufferSize, c.names.size() * TY_RAS_CONN_SIZE);
    }
}

const std::vector<std::string> kNone;

INSTANTIATE_TEST_SUITE_P(
    Kinds, EnumerationTest,
    testing::Values(
        EnumerationCase{"ProfileOnly", {{"Mobile", "gsm", "", kNotActive}}, TY_RAS_SUCCESS, kNone},
        EnumerationCase{
            "GsmUp", {{"Mobile", "gsm", "", kStateActivated}}, TY_RAS_SUCCESS, {"Mobile"}},
        EnumerationCase{"PppoeComingUp",
                        {{"DSL line", "pppoe", "", kStateActivating}},
                        TY_RAS_SUCCESS,
                        {"DSL line"}},
        EnumerationCase{
            "CdmaGoingDown", {{"CDMA", "cdma", "", kStateDeactivating}}, TY_RAS_SUCCESS, kNone},
        EnumerationCase{
            "AdslDown", {{"ADSL", "adsl", "", kStateDeactivated}}, TY_RAS_SUCCESS, kNone},
        EnumerationCase{"BluetoothDun",
                        {{"Phone", "bluetooth", "dun", kStateActivated}},
                        TY_RAS_SUCCESS,
                        {"Phone"}},
        EnumerationCase{
            "BluetoothPanIsNotDialUp",
            {{"Phone", "bluetooth", "panu", kStateActivated}, {"Mobile", "gsm", "", kNotActive}},
            TY_RAS_SUCCESS,
            kNone},
        EnumerationCase{"EthernetWifiVpnIgnored",
                        {{"Wired", "802-3-ethernet", "", kStateActivated},
                         {"Home", "802-11-wireless", "", kStateActivated},
                         {"Work VPN", "vpn", "", kStateActivated},
                         {"Mobile", "gsm", "", kNotActive}},
                        TY_RAS_SUCCESS,
                        kNone},
        EnumerationCase{"DialUpBesideEthernet",
                        {{"Wired", "802-3-ethernet", "", kStateActivated},
                         {"Mobile", "gsm", "", kStateActivated}},
                        TY_RAS_SUCCESS,
                        {"Mobile"}},
        EnumerationCase{
            "TwoDialUpsOverflowOneRecord",
            {{"Mobile", "gsm", "", kStateActivated}, {"DSL line", "pppoe", "", kStateActivating}},
            TY_RAS_ERROR_BUFFER_TOO_SMALL,
            {"Mobile", "DSL line"}},
        EnumerationCase{"NoDialUpProfileMeansNoService",
                        {{"Wired", "802-3-ethernet", "", kStateActivated},
                         {"Home", "802-11-wireless", "", kNotActive},
                         {"Phone", "bluetooth", "panu", kNotActive}},
                        TY_RAS_ERROR_SERVICE_MISSING,
                        kNone},
        EnumerationCase{"NoProfileAtAll", {}, TY_RAS_ERROR_SERVICE_MISSING, kNone},
        EnumerationCase{
            "FullConnectivityElsewhereCountsAsConnected",
            {{"Home", "802-11-wireless", "", kStateActivated}, {"Mobile", "gsm", "", kNotActive}},
            TY_RAS_ERROR_SERVICE_MISSING,
            kNone,
            kConnectivityFull},
        EnumerationCase{"FullConnectivityStillListsTheDialUpLine",
                        {{"Mobile", "gsm", "", kStateActivated}},
                        TY_RAS_SUCCESS,
                        {"Mobile"},
                        kConnectivityFull}),
    [](const testing::TestParamInfo<EnumerationCase>& info) {
        return std::string(info.param.name);
    });

TEST(DialUpService, LargerBufferListsEveryDialUpConnection) {
    NmMock mock;
    mock.activate(mock.addProfile("Mobile", "gsm"));
    mock.activate(mock.addProfile("DSL line", "pppoe"));
    const Enumeration found = ConnectionLibrary().enumerate(3);
    ASSERT_EQ(found.result, TY_RAS_SUCCESS);
    EXPECT_EQ(found.names(), (std::vector<std::string>{"Mobile", "DSL line"}));
    EXPECT_STREQ(found.records[1].szDeviceType, "pppoe");
    EXPECT_NE(found.records[0].hrasconn, found.records[1].hrasconn);
}

TEST(DialUpService, LongNamesAreCutBetweenCharacters) {
    NmMock mock;
    std::string euros;
    for (int i = 0; i < 100; ++i) {
        euros += "\u20ac";  // three bytes each
    }
    mock.activate(mock.addProfile(euros, "gsm"));
    const Enumeration found = ConnectionLibrary().enumerate();
    ASSERT_EQ(found.result, TY_RAS_SUCCESS);
    EXPECT_EQ(std::string(found.records[0].szEntryName), euros.substr(0, 85 * 3));
}

TEST(DialUpService, RejectsBadBuffers) {
    NmMock mock;
    mock.activate(mock.addProfile("Mobile", "gsm"));
    TyRasConnA record{};
    uint32_t size = TY_RAS_CONN_SIZE;
    uint32_t count = 0;
    SharedLibrary api(kBin / TY_RASAPI_LIBRARY);
    const auto enumerate = api.entryAs<TyRasEnumConnectionsA>("RasEnumConnectionsA");
    EXPECT_EQ(enumerate(&record, &size, &count), TY_RAS_ERROR_INVALID_SIZE);  // size field 0
    record.dwSize = TY_RAS_CONN_SIZE;
    size = TY_RAS_CONN_SIZE - 1;
    EXPECT_EQ(enumerate(&record, &size, &count), TY_RAS_ERROR_INVALID_SIZE);
    EXPECT_EQ(enumerate(nullptr, &size, &count), TY_RAS_ERROR_INVALID_SIZE);
    size = TY_RAS_CONN_SIZE;
    EXPECT_EQ(enumerate(&record, &size, &count), TY_RAS_SUCCESS);
    EXPECT_EQ(count, 1u);
}

TEST(DialUpService, HangUpEndsExactlyThatConnection) {
    NmMock mock;
    const std::string wired = mock.activate(mock.addProfile("Wired", "802-3-ethernet"));
    const std::string mobile = mock.activate(mock.addProfile("Mobile", "gsm"));
    const std::string dsl = mock.activate(mock.addProfile("DSL line", "pppoe"));
    const ConnectionLibrary library;
    const Enumeration before = library.enumerate(2);
    ASSERT_EQ(before.result, TY_RAS_SUCCESS);
    ASSERT_EQ(before.names(), (std::vector<std::string>{"Mobile", "DSL line"}));

    EXPECT_EQ(library.hangUp(before.records[0].hrasconn), TY_RAS_SUCCESS);

    EXPECT_EQ(mock.activeConnections(), (std::vector<std::string>{wired, dsl}));
    const Enumeration after = library.enumerate();
    ASSERT_EQ(after.result, TY_RAS_SUCCESS);
    EXPECT_EQ(after.names(), (std::vector<std::string>{"DSL line"}));
    EXPECT_EQ(after.records[0].hrasconn, before.records[1].hrasconn);
}

TEST(DialUpService, HangUpRefusesHandlesOfNoDialUpConnection) {
    NmMock mock;
    const std::string wired = mock.activate(mock.addProfile("Wired", "802-3-ethernet"));
    const std::string mobile = mock.activate(mock.addProfile("Mobile", "gsm"));
    const std::vector<std::string> active = mock.activeConnections();
    const ConnectionLibrary library;
    for (const uint64_t handle :
         {uint64_t{0}, handleOf(wired), handleOf(mobile) + 1000, UINT64_MAX}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(library.hangUp(handle), TY_RAS_ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(mock.activeConnections(), active);
}

TEST(DialUpService, RefusedHangUpIsAFailure) {
    NmMock mock;
    const std::string mobile = mock.activate(mock.addProfile("Mobile", "gsm"));
    mock.replaceManagerMethod("DeactivateConnection", "o", "",
                              "raise dbus.exceptions.DBusException('Not authorized', "
                              "name='org.freedesktop.NetworkManager.PermissionDenied')");
    EXPECT_EQ(ConnectionLibrary().hangUp(handleOf(mobile)), TY_RAS_ERROR_SERVICE_FAILED);
    EXPECT_EQ(mock.activeConnections(), std::vector<std::string>{mobile});
}

TEST(DialUpService, DialBringsTheProfileUp) {
    NmMock mock;
    mock.addProfile("Mobile", "gsm");
    const ConnectionLibrary library;
    uint64_t handle = 0;
    ASSERT_EQ(library.dial("Mobile", handle), TY_RAS_SUCCESS);
    EXPECT_NE(handle, 0u);
    const Enumeration found = library.enumerate();
    ASSERT_EQ(found.result, TY_RAS_SUCCESS);
    EXPECT_EQ(found.names(), std::vector<std::string>{"Mobile"});
    EXPECT_EQ(found.records[0].hrasconn, handle);

    // Dialling a connection that is up keeps it as it is.
    uint64_t again = 0;
    EXPECT_EQ(library.dial("Mobile", again), TY_RAS_SUCCESS);
    EXPECT_EQ(again, handle);
    EXPECT_EQ(mock.activeConnections().size(), 1u);
}

TEST(DialUpService, DialWaitsForAConnectionAlreadyComingUp) {
    NmMock mock;
    const std::string coming = mock.addActive(mock.addProfile("Mobile", "gsm"), kStateActivating);
    // The modem finishes while the dial waits, or before it looks: either way
    // the same connection is reported and no second one is started.
    std::thread modem([&] { mock.setActiveState(coming, kStateActivated); });
    uint64_t handle = 0;
    const uint32_t result = ConnectionLibrary().dial("Mobile", handle);
    modem.join();
    EXPECT_EQ(result, TY_RAS_SUCCESS);
    EXPECT_EQ(handle, handleOf(coming));
    EXPECT_EQ(mock.activeConnections(), std::vector<std::string>{coming});
}

TEST(DialUpService, DialFailures) {
    struct Case {
        const char* name;
        const char* entry;
        const char* activateCode;  // replaces ActivateConnection when set
        uint32_t result;
    };
    const Case cases[] = {
        {"unknown entry", "Nobody", nullptr, TY_RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY},
        {"not a dial-up profile", "Wired", nullptr, TY_RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY},
        {"refused", "Mobile",
         "raise dbus.exceptions.DBusException('Not authorized', "
         "name='org.freedesktop.NetworkManager.PermissionDenied')",
         TY_RAS_ERROR_DIAL_FAILED},
        {"line drops while dialling", "Mobile",
         "ret = dbus.ObjectPath(objects['/org/freedesktop'].AddActiveConnection("
         "[], args[0], '/', '50', dbus.UInt32(4)))",
         TY_RAS_ERROR_DIAL_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NmMock mock;
        mock.addProfile("Wired", "802-3-ethernet");
        mock.addProfile("Mobile", "gsm");
        if (c.activateCode != nullptr) {
            mock.replaceManagerMethod("ActivateConnection", "ooo", "o", c.activateCode);
        }
        uint64_t handle = 7;
        EXPECT_EQ(ConnectionLibrary().dial(c.entry, handle), c.result);
        EXPECT_EQ(handle, 0u);
    }
}

TEST(DialUpService, NoNetworkManagerMeansNoService) {
    NmMock bus(NmMock::Start::BusOnly);
    const ConnectionLibrary library;
    EXPECT_EQ(library.enumerate().result, TY_RAS_ERROR_SERVICE_MISSING);
    EXPECT_EQ(library.hangUp(1), TY_RAS_ERROR_SERVICE_MISSING);
    uint64_t handle = 0;
    EXPECT_EQ(library.dial("Mobile", handle), TY_RAS_ERROR_SERVICE_MISSING);
}

TEST(DialUpService, NoSystemBusMeansNoService) {
    test::TempDir folder;
    const std::string address = "unix:path=" + (folder / "no-bus").string();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_EQ(ConnectionLibrary().enumerate().result, TY_RAS_ERROR_SERVICE_MISSING);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(DialUpService, SilentNetworkManagerIsAFailureNotAHang) {
    NmMock mock;
    mock.activate(mock.addProfile("Mobile", "gsm"));
    mock.replaceSettingsMethod("ListConnections", "", "ao", "time.sleep(5)\nret = []");
    EXPECT_EQ(ConnectionLibrary().enumerate().result, TY_RAS_ERROR_SERVICE_FAILED);
}

// This binary has no QApplication: the dialog library must not show anything.
TEST(DialUpService, PhonebookNeedsTheCallersApplication) {
    NmMock mock;
    mock.addProfile("Mobile", "gsm");
    SharedLibrary dialogs(kBin / TY_RASDLG_LIBRARY);
    const auto phonebook = dialogs.entryAs<TyRasPhonebookDlgA>("RasPhonebookDlgA");
    ASSERT_NE(phonebook, nullptr) << dialogs.error();
    TyRasPbDlgA info{};
    info.dwSize = TY_RAS_PBDLG_SIZE;
    EXPECT_EQ(phonebook(nullptr, nullptr, &info), 0);
    EXPECT_EQ(info.dwError, TY_RAS_ERROR_SERVICE_FAILED);
    EXPECT_TRUE(mock.activeConnections().empty());
}

TEST(DialUpService, HandlesNameOneActivePathEach) {
    const std::string prefix = "/org/freedesktop/NetworkManager/ActiveConnection/";
    EXPECT_EQ(handleOf(prefix + "0"), 1u);
    EXPECT_EQ(activePathOf(handleOf(prefix + "0")), prefix + "0");
    EXPECT_EQ(activePathOf(handleOf(prefix + "4711")), prefix + "4711");
    for (const std::string& path :
         {prefix, prefix + "07", prefix + "1x", prefix + "-1", prefix + "18446744073709551615",
          std::string("/org/freedesktop/NetworkManager/Devices/1")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(handleOf(path), 0u);
    }
    EXPECT_EQ(activePathOf(0), "");
}

}  // namespace
}  // namespace tyq::dialup
