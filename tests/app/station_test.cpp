#include <gtest/gtest.h>

#include <QTest>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/station.h"
#include "net/test_socket.h"
#include "platform/reg_text.h"
#include "platform/registry_file.h"
#include "support/pty_peer.h"
#include "support/scripted_boxes.h"
#include "support/temp_dir.h"
#include "support/window_controls.h"

namespace lan2com::test {
namespace {

using lan2com::testing::ScriptedBoxes;
using Bytes = std::vector<std::uint8_t>;

const Bytes kEvent = {0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x01, 0x01,
                      0x03, 0x0A, 0x0A, 0x01, 0x0A, 0x0A, 0x05, 0x0C};

struct StoredChannel {
    int pair;
    std::string addrIP;
    int comIn;  // ComOut is the next number
    std::uint32_t port;
};

std::string hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", v);
    return text;
}

// The station on a real window (not shown), a registry file, pseudo-terminal COM ports and
// loopback transceivers.
class StationTest : public ::testing::Test {
  protected:
    // pairs: the ComIn numbers of the device map's pairs (pair k is channel k+1).
    void store(const std::vector<int>& pairs, const std::vector<StoredChannel>& channels) {
        std::ostringstream reg;
        reg << "Windows Registry Editor Version 5.00\n\n";
        if (!pairs.empty()) {
            reg << "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
            for (std::size_t k = 0; k < pairs.size(); ++k) {
                reg << "\"\\\\Device\\\\com0com1" << k << "\"=\"COM" << pairs[k] << "\"\n";
                reg << "\"\\\\Device\\\\com0com2" << k << "\"=\"COM" << pairs[k] + 1 << "\"\n";
            }
            reg << "\n";
        }
        reg << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP]\n\"AddrIP\"=\"127.0.0.1\"\n\n";
        for (const StoredChannel& c : channels) {
            reg << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair" << c.pair << "]\n"
                << "\"Pair\"=dword:" << hex8(std::uint32_t(c.pair)) << "\n"
                << "\"AddrIP\"=\"" << c.addrIP << "\"\n"
                << "\"ComIn\"=\"COM" << c.comIn << "\"\n"
                << "\"ComOut\"=\"COM" << c.comIn + 1 << "\"\n"
                << "\"Port\"=dword:" << hex8(c.port) << "\n"
                << "\"Conv\"=dword:00000002\n\n";
        }
        std::filesystem::create_directories(home.appData());
        std::ofstream(home.registryFile()) << reg.str();
    }

    PtyPeer& monitor(int com) {
        monitors.push_back(std::make_unique<PtyPeer>(home.devices(), com));
        return *monitors.back();
    }

    void start() {
        registry = std::make_unique<FileRegistry>(home.registryFile().string());
        MainWindowOptions options;
        options.boxes = &boxes;
        form = std::make_unique<MainWindow>(options);
        ui = std::make_unique<testing::WindowControls>(*form);
        StationOptions stationOptions;
        stationOptions.registry = registry.get();
        stationOptions.localAddresses = {"127.0.0.1"};
        stationOptions.reopenPeriodMs = reopenPeriodMs;
        stationOptions.portPrompt = prompt;
        station = std::make_unique<Station>(*form, stationOptions);
        station->startUp();
    }

    // The channel receives: its endpoint is bound.
    bool active(int slot) { return station->loop().status(slot).receivePort != 0; }
    bool portOpen(int slot) { return station->loop().status(slot).comNumber != 0; }
    bool bindFailed(int slot) { return station->loop().status(slot).bindFailed; }
    bool portFailed(int slot) { return station->loop().status(slot).portFailed; }

    // Sends an event and collects its 21-byte line from the monitor, running window events.
    Bytes lineFor(UdpPeer& from, std::uint16_t port, PtyPeer& at) {
        from.sendTo(port, kEvent);
        Bytes line;
        (void)QTest::qWaitFor(
            [&] {
                const Bytes got = at.read(21 - line.size(), 5);
                line.insert(line.end(), got.begin(), got.end());
                return line.size() >= 21;
            },
            3000);
        return line;
    }

    bool replyArrives(UdpPeer& peer, int timeoutMs) {
        Bytes reply;
        std::uint16_t from = 0;
        bool got = false;
        (void)QTest::qWaitFor([&] { return got = peer.receive(reply, from, 5); }, timeoutMs);
        return got && reply == Bytes({'O', 'K'});
    }

    std::string storedText() {
        std::ifstream in(home.registryFile());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Relays one event from 127.0.0.2 on the port through the monitor: line and "OK".
    bool relays(std::uint16_t port, PtyPeer& at) {
        UdpPeer transceiver("127.0.0.2");
        if (lineFor(transceiver, port, at).size() != 21u) {
            return false;
        }
        at.write(0x06);
        return replyArrives(transceiver, 3000);
    }

    int reopenPeriodMs = static_cast<int>(kRetryPeriodMs);
    PortPrompt* prompt = nullptr;
    DataHome home;
    ScriptedBoxes boxes;
    std::vector<std::unique_ptr<PtyPeer>> monitors;
    std::unique_ptr<FileRegistry> registry;
    std::unique_ptr<MainWindow> form;
    std::unique_ptr<testing::WindowControls> ui;  // the controls of form
    std::unique_ptr<Station> station;
};

TEST_F(StationTest, StartUpRunsEveryStoredChannelBeforeItWarnsAboutAMissingPair) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort(), p3 = freeUdpPort();
    store({40, 44}, {{1, "127.0.0.2", 40, p1}, {2, "127.0.0.2", 42, p2}, {3, "127.0.0.3", 44, p3}});
    monitor(40);
    monitor(42);  // the device is there, only its pair is missing from the device map
    monitor(44);
    bool allUpDuringWarning = false;
    boxes.expect(BoxAnswer::Ok, [&](const BoxRequest&) {
        allUpDuringWarning =
            active(0) && active(1) && active(2) && portOpen(0) && portOpen(1) && portOpen(2);
    });
    start();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Велтар. Проверка соответствия пар");
    EXPECT_EQ(boxes.shown[0].text,
              "Внимание! В com0com отсутствует пара COM42->COM43. Прием от IP 127.0.0.2 "
              "невозможен.");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Warning);
    EXPECT_TRUE(allUpDuringWarning);
    EXPECT_EQ(ui->channelList.nodeCount(), 12);
    EXPECT_EQ(ui->channelList.nodeText(6).toStdString(), "Канал №3");
    EXPECT_EQ(ui->transceiverAddressEdit->text().toStdString(),
              "127.0.0.2");  // the first channel is shown
    EXPECT_TRUE(ui->deleteButton->isEnabled());
}

TEST_F(StationTest, WithoutPairsTheOperatorIsToldAndAskedWhetherToEnd) {
    store({}, {{1, "127.0.0.2", 40, freeUdpPort()}});
    boxes.expect(BoxAnswer::Ok);
    boxes.expect(BoxAnswer::No);  // stay
    start();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text,
              "Нет ни одной пары Сом-портов. Создайте пары и запустите приложение.");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes.shown[1].title, "Завершение работы");
    EXPECT_FALSE(form->exitConfirmed());
    EXPECT_TRUE(station->state().table[0].isEmpty());
    EXPECT_FALSE(active(0));
}

TEST_F(StationTest, ApplyAfterDeletingTheFirstChannelKeepsEveryLaterChannel) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort(), p3 = freeUdpPort();
    store({40, 42, 44},
          {{1, "127.0.0.2", 40, p1}, {2, "127.0.0.2", 42, p2}, {3, "127.0.0.2", 44, p3}});
    monitor(40);
    PtyPeer& second = monitor(42);
    monitor(44);
    start();
    ASSERT_TRUE(boxes.shown.empty());

    ui->channelList.selectIndex(0);
    station->editor().deleteSelectedChannel();
    boxes.expect(BoxAnswer::Ok);
    station->apply();

    // Each channel moved down a slot and still found its own port free.
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Выполнено!");
    EXPECT_TRUE(active(0) && active(1));
    EXPECT_FALSE(active(2));  // the emptied slot neither receives nor beats
    EXPECT_FALSE(station->loop().status(2).active);
    UdpPeer transceiver("127.0.0.2");
    const Bytes line = lineFor(transceiver, p2, second);
    ASSERT_EQ(line.size(), 21u);
    EXPECT_EQ(line[1], '0');  // now served by slot 0: channel digits 01
    EXPECT_EQ(line[2], '1');
    const std::string stored = storedText();
    EXPECT_EQ(stored.find("\"ComIn\"=\"COM40\""), std::string::npos);
    EXPECT_NE(stored.find("\"ComIn\"=\"COM44\""), std::string::npos);
}

TEST_F(StationTest, AReceivePortInUseHoldsNoChannelBackAndItsChannelRunsOnceThePortIsFree) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort(), p3 = freeUdpPort();
    const std::uint32_t same = 65536u + p1;  // binds the same port as channel 1: its low 16 bits
    store({40, 42, 44, 46}, {{1, "127.0.0.2", 40, p1},
                             {2, "127.0.0.3", 42, same},
                             {3, "127.0.0.2", 44, p2},
                             {4, "127.0.0.2", 46, p3}});
    monitor(40);
    PtyPeer& second = monitor(42);
    PtyPeer& third = monitor(44);
    PtyPeer& fourth = monitor(46);
    auto holder = std::make_unique<lan2com::testing::TestSocket>("127.0.0.1", p2);
    reopenPeriodMs = 100;
    bool laterChannelsUpDuringMessage = false;
    boxes.expect(BoxAnswer::Ok, [&](const BoxRequest&) {
        laterChannelsUpDuringMessage = active(3) && portOpen(3);
    });
    start();

    // One message after the pass names both channels; nothing is deleted.
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Ошибка создания канала");
    EXPECT_EQ(boxes.shown[0].text,
              "127.0.0.3:" + std::to_string(same) +
                  " уже существует.\n127.0.0.2:" + std::to_string(p2) +
                  " уже существует.\nКаналы остаются в настройках и будут запущены, как только "
                  "их порты приема освободятся (попытка каждые 5 секунд).");
    EXPECT_TRUE(boxes.shown[0].stayOnTop);
    EXPECT_TRUE(laterChannelsUpDuringMessage);
    EXPECT_EQ(ui->channelList.nodeCount(), 24);
    EXPECT_EQ(station->state().table[2].Port, p2);
    EXPECT_TRUE(bindFailed(2));
    EXPECT_EQ(ui->lamps[2]->color(), MainWindow::lampColor(LampColor::Red));
    EXPECT_TRUE(relays(p3, fourth));  // channel 4 keeps its own slot: its lines say channel 4
    const std::string stored = storedText();
    EXPECT_NE(stored.find("\"ComIn\"=\"COM42\""), std::string::npos);
    EXPECT_NE(stored.find("\"ComIn\"=\"COM44\""), std::string::npos);

    // The other program lets the port go: the channel comes up by itself.
    holder.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return active(2) && portOpen(2); }, 3000));
    EXPECT_FALSE(bindFailed(2));
    EXPECT_TRUE(relays(p2, third));
    // Channel 1 holds its own port: channel 2 keeps waiting, without another message.
    EXPECT_TRUE(bindFailed(1));
    EXPECT_FALSE(portOpen(1));
    (void)second;
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(StationTest, AReceivePortWhoseLow16BitsAreZeroIsAFailureOfItsOwnNotAnyPort) {
    const std::uint16_t p1 = freeUdpPort();
    store({40, 42}, {{1, "127.0.0.2", 40, 65536u}, {2, "127.0.0.2", 42, p1}});
    monitor(40);
    PtyPeer& second = monitor(42);
    reopenPeriodMs = 50;
    boxes.expect(BoxAnswer::Ok);
    start();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "127.0.0.2:65536: порт приема вне диапазона 1..65535. Канал остается в настройках, "
              "но не принимает; исправьте порт приема и примените настройки.");
    EXPECT_FALSE(active(0));
    EXPECT_FALSE(portOpen(0));
    EXPECT_EQ(ui->lamps[0]->color(), MainWindow::lampColor(LampColor::Red));
    EXPECT_TRUE(relays(p1, second));
    QTest::qWait(200);  // no retry binds it after all
    EXPECT_FALSE(active(0));
    EXPECT_NE(storedText().find("dword:00010000"), std::string::npos);
}

TEST_F(StationTest, ApplyStoresAndRunsTheChannelsThatTheListDoesNotShow) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort();
    // Neither channel's pair is in the device map today: the list is empty.
    store({44}, {{1, "127.0.0.2", 40, p1}, {2, "127.0.0.2", 42, p2}});
    PtyPeer& first = monitor(40);
    PtyPeer& second = monitor(42);
    boxes.expect(BoxAnswer::Ok);  // the two pair-check warnings
    boxes.expect(BoxAnswer::Ok);
    start();
    ASSERT_EQ(ui->channelList.nodeCount(), 0);
    const std::string before = storedText();

    ui->receivePortEdit->setText("10301");
    boxes.expect(BoxAnswer::Ok);
    station->apply();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[2].text, "Выполнено!");
    // The same configuration, written again.
    EXPECT_EQ(parseRegText(storedText()), parseRegText(before));
    EXPECT_TRUE(relays(p1, first));
    EXPECT_TRUE(relays(p2, second));
}

TEST_F(StationTest, ApplyDeletesTheStoredConfigurationOnlyWhenNoChannelIsLeft) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    monitor(40);
    start();
    ui->channelList.selectIndex(0);
    station->editor().deleteSelectedChannel();
    ASSERT_FALSE(station->state().table.anyOccupied());
    station->apply();  // no message
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(storedText().find("Vesko"), std::string::npos);
    EXPECT_NE(storedText().find("SERIALCOMM"), std::string::npos);
    EXPECT_FALSE(active(0));
    EXPECT_FALSE(portOpen(0));
}

TEST_F(StationTest, ApplyWhoseStoreFailsLeavesTheChannelsRunningAsTheyWere) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort();
    store({40, 42}, {{1, "127.0.0.2", 40, p1}, {2, "127.0.0.2", 42, p2}});
    PtyPeer& first = monitor(40);
    monitor(42);
    start();
    const std::string before = storedText();
    std::filesystem::permissions(home.registryFile(), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::group_read);
    ui->channelList.selectIndex(6);
    station->editor().deleteSelectedChannel();
    boxes.expect(BoxAnswer::Ok);
    station->apply();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text.rfind("Настройки не сохранены: ", 0), 0u);
    EXPECT_NE(boxes.shown[0].text.find("Каналы работают с прежними настройками."),
              std::string::npos);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Error);
    EXPECT_EQ(storedText(), before);
    EXPECT_TRUE(active(0) && active(1));
    EXPECT_TRUE(relays(p1, first));
}

TEST_F(StationTest, ApplyUsesAPortThatCameBackSinceItFailed) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    reopenPeriodMs = 60000;  // only the apply may bring it back here
    boxes.expect(BoxAnswer::Ok);
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 3000));
    ASSERT_TRUE(portFailed(0));

    PtyPeer& software = monitor(40);  // the device is back
    boxes.expect(BoxAnswer::Ok);
    station->apply();
    EXPECT_EQ(boxes.shown.back().text, "Выполнено!");
    EXPECT_FALSE(portFailed(0));
    EXPECT_TRUE(relays(p1, software));
}

TEST_F(StationTest, APortLostAgainAfterItCameBackIsReopenedAgain) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    auto software = std::make_unique<PtyPeer>(home.devices(), 40);
    reopenPeriodMs = 50;
    start();
    for (int round = 0; round < 2; ++round) {
        software.reset();  // the far end goes
        ASSERT_TRUE(QTest::qWaitFor([&] { return portFailed(0); }, 3000)) << "round " << round;
        software = std::make_unique<PtyPeer>(home.devices(), 40);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !portFailed(0); }, 3000)) << "round " << round;
    }
    EXPECT_TRUE(relays(p1, *software));
}

// The port selection dialog, cancelled.
class CancellingPrompt final : public PortPrompt {
  public:
    std::optional<std::string> choosePort() override {
        ++shown;
        return std::nullopt;
    }
    int shown = 0;
};

TEST_F(StationTest, ACancelledPortSelectionIsNotAskedAgainUntilTheNextApply) {
    store({0}, {{1, "127.0.0.2", 0, freeUdpPort()}});  // COM0: the dialog asks for a port
    CancellingPrompt dialog;
    prompt = &dialog;
    reopenPeriodMs = 20;
    boxes.expect(BoxAnswer::Ok);  // the port failure
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 3000));
    QTest::qWait(300);
    EXPECT_EQ(dialog.shown, 1);
    EXPECT_TRUE(portFailed(0));
    EXPECT_EQ(ui->lamps[0]->color(), MainWindow::lampColor(LampColor::Red));
    EXPECT_TRUE(active(0));

    boxes.expect(BoxAnswer::Ok);
    station->apply();
    QTest::qWait(300);
    EXPECT_EQ(dialog.shown, 2);
}

TEST_F(StationTest, ApplyWhileAnEventWaitsEndsItWithoutAReplyAndRelaysTheNextOne) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    PtyPeer& software = monitor(40);
    start();
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(lineFor(transceiver, p1, software).size(), 21u);  // waits for its 0x06

    boxes.expect(BoxAnswer::Ok);
    station->apply();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(replyArrives(transceiver, 100));

    ASSERT_EQ(lineFor(transceiver, p1, software).size(), 21u);
    software.write(0x06);
    EXPECT_TRUE(replyArrives(transceiver, 3000));
}

TEST_F(StationTest, EndingTheProgramEndsWaitsWithoutAReplyAndClosesEverything) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    PtyPeer& software = monitor(40);
    start();
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(lineFor(transceiver, p1, software).size(), 21u);

    boxes.expect(BoxAnswer::Yes);
    EXPECT_TRUE(form->confirmExit());
    EXPECT_TRUE(form->exitConfirmed());
    EXPECT_FALSE(station->loop().status(0).holding);
    EXPECT_FALSE(active(0));
    EXPECT_FALSE(portOpen(0));
    software.write(0x06);  // too late: nothing answers the transceiver any more
    EXPECT_FALSE(replyArrives(transceiver, 100));
}

TEST_F(StationTest, AMissingComPortIsReportedOnceWhileTheOtherChannelsRun) {
    const std::uint16_t p1 = freeUdpPort(), p2 = freeUdpPort();
    store({40, 42}, {{1, "127.0.0.2", 40, p1}, {2, "127.0.0.2", 42, p2}});
    PtyPeer& software = monitor(40);  // COM42 has no device
    boxes.expect(BoxAnswer::Ok);
    start();
    // The report is shown from the event loop, once start-up has returned.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 3000));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].text.find("COM42"), std::string::npos);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Error);
    EXPECT_TRUE(portFailed(1));
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(lineFor(transceiver, p1, software).size(), 21u);
    software.write(0x06);
    EXPECT_TRUE(replyArrives(transceiver, 3000));
}

TEST_F(StationTest, ApplyWithoutAReceivePortChangesNothing) {
    const std::uint16_t p1 = freeUdpPort();
    store({40}, {{1, "127.0.0.2", 40, p1}});
    monitor(40);
    start();
    ui->receivePortEdit->clear();
    boxes.expect(BoxAnswer::Ok);
    station->apply();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Проверьте заполнение порта приема приложения!");
    EXPECT_TRUE(active(0));
    EXPECT_TRUE(portOpen(0));
}

TEST_F(StationTest, ClearingTheLogAsksFirstAndNoKeepsIt) {
    store({40}, {{1, "127.0.0.2", 40, freeUdpPort()}});
    monitor(40);
    start();
    ASSERT_GT(form->logLineCount(), 0);  // the port-opened line
    boxes.expect(BoxAnswer::No);
    station->clearDiagnosticsLog();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Очистить диагностику?");
    EXPECT_EQ(boxes.shown[0].defaultButton, BoxAnswer::No);
    EXPECT_GT(form->logLineCount(), 0);
    boxes.expect(BoxAnswer::Yes);
    station->clearDiagnosticsLog();
    EXPECT_TRUE(ui->diagnosticsLog->toPlainText().isEmpty());
    EXPECT_EQ(ui->recordCountLabel->text().toStdString(), "0");
}

}  // namespace
}  // namespace lan2com::test
