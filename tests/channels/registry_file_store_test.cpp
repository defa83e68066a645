// The configuration store over the registry file of Linux, as the program opens it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "channels/config_store.h"
#include "channels/startup_plan.h"
#include "platform/registry_file.h"

namespace lan2com {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary XDG_DATA_HOME for the registry file, restored afterwards.
class StoreOnFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lan2com-store-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        file_ = home_ / "lan2com" / "registry.reg";
        fs::create_directories(file_.parent_path());
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            saved_ = old;
        }
        ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_) {
            ::setenv("XDG_DATA_HOME", saved_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    fs::path home_;
    fs::path file_;
    std::optional<std::string> saved_;
};

TEST_F(StoreOnFile, AHandWrittenSampleLoadsIntoTheExpectedTables) {
    fs::copy_file(fs::path(LAN2COM_SOURCE_DIR) / "tests/channels/sample_registry.reg", file_);
    const auto registry = openSystemRegistry();
    SharedState state;
    const StartupPlan plan = planStartup(*registry, state);

    EXPECT_TRUE(plan.proceed());
    EXPECT_TRUE(plan.storeWarnings.empty());
    EXPECT_EQ(plan.discovery.comboItems,
              (std::vector<ComboItem>{{"COM10", 0}, {"COM12", 1}, {"COM30", 2}}));
    EXPECT_EQ(state.portPairs[0].Pair, 1);
    EXPECT_EQ(state.portPairs[1].ComOut, "COM13");
    EXPECT_EQ(state.portPairs[2].Pair, 11);
    EXPECT_EQ(state.portPairs[3].Pair, 0);

    EXPECT_EQ(plan.load.localAddress, "192.168.1.10");
    ASSERT_EQ(plan.load.loaded, 3);
    const ChannelTable& t = state.table;
    EXPECT_EQ(t[0].Pair, 11);  // listed first in the file
    EXPECT_EQ(t[0].Port, 70000u);
    EXPECT_EQ(t[0].Cnvrt, 2);
    EXPECT_EQ(t[1].Pair, 1);
    EXPECT_EQ(t[1].Port, 10301u);
    EXPECT_EQ(t[2].AddrIP, "<tqaWnsu");
    EXPECT_EQ(t[3].Pair, kEmptyPair);

    ASSERT_EQ(plan.list.size(), 2u);
    EXPECT_EQ(plan.list[0].nodes, (std::array<std::string, 6>{"Канал №11", "192.168.1.111", "COM30",
                                                              "COM31", "70000", "нет"}));
    EXPECT_EQ(plan.list[1].nodes[0], "Канал №1");
    EXPECT_EQ(plan.pairCheckMessages,
              std::vector<std::string>{"Внимание! В com0com отсутствует пара COM12->COM14. Прием "
                                       "от IP <tqaWnsu невозможен."});
}

TEST_F(StoreOnFile, StoredChannelsRoundTripThroughTheFileWithEscapesAndCyrillic) {
    fs::copy_file(fs::path(LAN2COM_SOURCE_DIR) / "tests/channels/sample_registry.reg", file_);
    const auto registry = openSystemRegistry();
    SharedState state;
    planStartup(*registry, state);
    ChannelTable& t = state.table;
    t[2].AddrIP = "Я\"кв\\ы\"";  // what the operator typed, however odd
    t[2].ComOut = "COM13";
    storeChannels(*registry, t, "Адрес \\ \"ПК\"", true);

    const std::string text = slurp(file_);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP]\n"
                        "\"AddrIP\"=\"Адрес \\\\ \\\"ПК\\\"\"\n\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair2]\n"
                        "\"Pair\"=dword:00000002\n"
                        "\"AddrIP\"=\"Я\\\"кв\\\\ы\\\"\"\n"
                        "\"ComIn\"=\"COM12\"\n"
                        "\"ComOut\"=\"COM13\"\n"
                        "\"Port\"=dword:0000138a\n"
                        "\"Conv\"=dword:00000001\n\n"),
              std::string::npos)
        << text;
    // The device map was not touched: its values are still there, in their order.
    EXPECT_NE(
        text.find("\"\\\\Device\\\\Serial0\"=\"COM1\"\n\"\\\\Device\\\\com0com10\"=\"COM10\"\n"),
        std::string::npos);

    SharedState again;
    const StartupPlan plan = planStartup(*openSystemRegistry(), again);
    EXPECT_EQ(plan.load.localAddress, "Адрес \\ \"ПК\"");
    ASSERT_EQ(plan.load.loaded, 3);
    EXPECT_EQ(again.table[2].AddrIP, "Я\"кв\\ы\"");
    EXPECT_EQ(plan.list.size(), 3u);  // COM12->COM13 is a discovered pair now
    EXPECT_TRUE(plan.pairCheckMessages.empty());
}

TEST_F(StoreOnFile, AFailedStoreLeavesThePreviousConfigurationWhole) {
    fs::copy_file(fs::path(LAN2COM_SOURCE_DIR) / "tests/channels/sample_registry.reg", file_);
    const std::string before = slurp(file_);
    ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
    const auto registry = openSystemRegistry();
    SharedState state;
    planStartup(*registry, state);
    try {
        storeChannels(*registry, state.table, "10.0.0.1", true);
        ADD_FAILURE() << "stored into a read-only file";
    } catch (const RegistryError& e) {
        EXPECT_STREQ(e.what(), "Failed to create key \\SOFTWARE\\Vesko\\Device\\ComIP");
    }
    EXPECT_EQ(slurp(file_), before);
    // Deleting the configuration (an empty list) that does not last is reported too.
    try {
        storeChannels(*registry, state.table, "10.0.0.1", false);
        ADD_FAILURE() << "deleted from a read-only file";
    } catch (const RegistryError& e) {
        EXPECT_STREQ(e.what(), "Failed to delete key \\SOFTWARE\\Vesko");
    }
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(StoreOnFile, ACorruptFileStartsEmptyWithANoticeFirst) {
    std::ofstream(file_) << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n"
                            "\"Port\"=dword:-5\n";
    const auto registry = openSystemRegistry();
    SharedState state;
    const StartupPlan plan = planStartup(*registry, state);
    EXPECT_TRUE(plan.noPairs);
    ASSERT_EQ(plan.storeWarnings.size(), 1u);
    EXPECT_NE(plan.storeWarnings[0].find("строка 4"), std::string::npos) << plan.storeWarnings[0];
    EXPECT_NE(plan.storeWarnings[0].find(".bad-"), std::string::npos) << plan.storeWarnings[0];
}

}  // namespace
}  // namespace lan2com
