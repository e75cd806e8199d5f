#include "SimFixture.h"

#include "core/PrivateFile.h"
#include "sim/SimScenarioError.h"

#include <filesystem>
#include <sys/stat.h>

namespace corvane {
namespace {

class SimKeychainPersistenceTest : public SimFixture {
protected:
    std::filesystem::path file() const {
        return std::filesystem::path(root.path().toStdString()) / "keychain.json";
    }
    Keychain::Query query(const std::string& account) const {
        return {"local.corvane.agent", account, false};
    }
    Keychain::Status copy(SimulatedMac& on, const std::string& account, std::string& secret) {
        return on.platform().keychain.copy(query(account), secret);
    }
};

TEST_F(SimKeychainPersistenceTest, ItemsOutliveARestartInAnOwnerOnlyFile) {
    Keychain& keychain = platform().keychain;
    EXPECT_FALSE(std::filesystem::exists(file())) << "nothing is written before a change";
    ASSERT_EQ(keychain.add(query("device-token"), "device-secret"), Keychain::Status::Success);
    ASSERT_EQ(keychain.add(query("bootstrap-token"), "bootstrap-secret"),
              Keychain::Status::Success);
    ASSERT_EQ(keychain.update(query("device-token"), "rotated"), Keychain::Status::Success);
    ASSERT_EQ(keychain.remove(query("bootstrap-token")), Keychain::Status::Success);

    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A new process on the same root, with the scenario loaded again.
    SimulatedMac restarted(root.path());
    restarted.load(defaultScenarioText());
    std::string secret;
    EXPECT_EQ(copy(restarted, "device-token", secret), Keychain::Status::Success);
    EXPECT_EQ(secret, "rotated");
    EXPECT_EQ(copy(restarted, "bootstrap-token", secret), Keychain::Status::NotFound);

    // Reloading a scenario in the running simulator keeps them too.
    mac->load(defaultScenarioText());
    EXPECT_EQ(copy(*mac, "device-token", secret), Keychain::Status::Success);
}

TEST_F(SimKeychainPersistenceTest, ABadFileRefusesTheLoadAndKeepsTheState) {
    ASSERT_EQ(platform().keychain.add(query("device-token"), "secret"), Keychain::Status::Success);
    for (const char* text : {"not json", "{}", "{\"items\":[{\"service\":\"s\"}]}",
                             "{\"items\":[{\"service\":\"s\",\"account\":\"a\",\"secret\":1}]}"}) {
        SCOPED_TRACE(text);
        PrivateFile::write(text, file());
        EXPECT_THROW(mac->load(defaultScenarioText()), SimScenarioError);
        std::string secret;
        EXPECT_EQ(copy(*mac, "device-token", secret), Keychain::Status::Success);
    }
}

TEST_F(SimKeychainPersistenceTest, AChangeThatCannotBeSavedIsNotMade) {
    std::filesystem::create_directory(file()); // the file's place is taken
    EXPECT_EQ(platform().keychain.add(query("device-token"), "secret"), Keychain::Status::Other);
    std::string secret;
    EXPECT_EQ(copy(*mac, "device-token", secret), Keychain::Status::NotFound);
}

} // namespace
} // namespace corvane
