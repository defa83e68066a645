#include "app/station.h"

#include <QString>
#include <QTimer>
#include <stdexcept>

#include "app/application.h"
#include "app/main_window.h"
#include "channels/startup_plan.h"
#include "journal/journal_config.h"

namespace lan2com {
namespace {

Registry& requireRegistry(Registry* registry) {
    if (registry == nullptr) {
        throw std::invalid_argument("the station needs a configuration store");
    }
    return *registry;
}

void showBox(MessageBoxes& boxes, const std::string& title, const std::string& text, BoxIcon icon,
             bool stayOnTop) {
    BoxRequest request;
    request.title = title;
    request.text = text;
    request.buttons = BoxButtons::Ok;
    request.icon = icon;
    request.stayOnTop = stayOnTop;
    boxes.show(request);
}

StationLoopOptions loopOptions(const StationOptions& options,
                               const std::function<void()>& waiting) {
    StationLoopOptions o;
    o.heartbeatMs = static_cast<std::uint32_t>(options.heartbeatMs);
    o.retryMs = static_cast<std::uint32_t>(options.reopenPeriodMs);
    o.clock = options.clock;
    o.reportsWaiting = waiting;
    o.journal = options.journal;
    return o;
}

// How long reports gather before the window shows them.
constexpr int kReportDelayMs = 20;

}  // namespace

Station::Station(MainWindow& window, StationOptions options)
    : window_(window),
      registry_(requireRegistry(options.registry)),
      localAddresses_(std::move(options.localAddresses)),
      portPrompt_(options.portPrompt),
      errors_(window.boxes, options.title),
      display_(window, state_),
      editor_(window.editorControls(), state_, window.boxes, errors_),
      journal_(options.journal),
      loop_(loopOptions(options, [this] {
          // The loop's thread, when reports start to wait: the window takes them on its own
          // event loop a moment later, so that a burst of events costs one repaint, and the
          // loop never waits for it.
          QMetaObject::invokeMethod(
              &reportContext_,
              [this] {
                  QTimer::singleShot(kReportDelayMs, &reportContext_, [this] { showReports(); });
              },
              Qt::QueuedConnection);
      })) {
    window_.onFirstShown = [this] { startUp(); };
    window_.onExitConfirmed = [this] { shutdown(); };
    window_.onApply = reportingHandler(errors_, [this] { apply(); });
    window_.onClearLog = reportingHandler(errors_, [this] { clearDiagnosticsLog(); });
}

Station::~Station() {
    window_.onFirstShown = nullptr;
    window_.onExitConfirmed = nullptr;
    window_.onApply = nullptr;
    window_.onClearLog = nullptr;
    loop_.shutdown();
}

void Station::showReports() {
    display_.show(loop_.takeReports());
}

ActivationPass Station::activateAll() {
    std::vector<ChannelSetup> setups;
    state_.table.forEachOccupied([&](int slot, const ChannelRecord& record) {
        setups.push_back(channelSetup(slot, record, portPrompt_));
    });
    const ActivationPass pass = loop_.activate(setups);
    if (journal_ != nullptr) {
        runningChannels_ = describeChannels(state_.table);
    }
    showReports();
    return pass;
}

// ---- start-up ----

void Station::startUp() {
    clearStartupFields();
    const StartupPlan plan = planStartup(registry_, state_);
    showDiscoveredPairs(plan.discovery);
    if (plan.noPairs) {
        showStoreWarnings(plan);
        askToEndWithoutPairs();
        return;
    }
    if (!plan.load.configurationFound) {
        showStoreWarnings(plan);
        return;
    }
    showStoredFields(plan.load);
    listChannels(plan);
    // Every stored channel is brought up before any warning waits for the operator: a warning
    // left unanswered on an unattended station must not keep alarms from being relayed. No failure
    // of one channel holds another back.
    const ActivationPass pass = activateAll();
    updateListButtons();
    showStoreWarnings(plan);
    showPairCheckMessages(plan);
    // Last, so that their boxes follow the warnings instead of opening on top of one of them.
    reportActivationFailures(pass);
}

void Station::clearStartupFields() {
    window_.resetChannelFields(localAddresses_);
}

void Station::showDiscoveredPairs(const PairDiscovery& discovery) {
    window_.showPortPairs(discovery.comboItems);
}

void Station::askToEndWithoutPairs() {
    showBox(window_.boxes, std::string(kNoPairsTitle), std::string(kNoPairsText), BoxIcon::Error,
            true);
    window_.close();  // asks the operator; No keeps the window with nothing loaded
}

void Station::showStoredFields(const ChannelLoad& load) {
    if (load.localAddress) {
        window_.setLocalAddress(*load.localAddress);
    }
    if (load.receivePort) {
        window_.setReceivePort(*load.receivePort);
    }
}

void Station::listChannels(const StartupPlan& plan) {
    for (const ChannelListGroup& group : plan.list) {
        std::array<QString, ChannelList::kChildren> children;
        for (int c = 0; c < ChannelList::kChildren; ++c) {
            children[static_cast<std::size_t>(c)] =
                QString::fromStdString(group.nodes[static_cast<std::size_t>(c + 1)]);
        }
        window_.channelList().appendGroup(QString::fromStdString(group.nodes[0]), children,
                                          group.slot);
    }
    window_.focusChannelList();
    if (window_.channelList().selectedIndex() < 0) {
        window_.channelList().selectIndex(0);
    }
    if (plan.load.subkeyCount > 0) {
        editor_.showSelectedChannel();
    }
}

void Station::showStoreWarnings(const StartupPlan& plan) {
    for (const std::string& warning : plan.storeWarnings) {
        showBox(window_.boxes, std::string(kStoreWarningTitle), warning, BoxIcon::Warning, true);
    }
}

void Station::showPairCheckMessages(const StartupPlan& plan) {
    for (const std::string& message : plan.pairCheckMessages) {
        showBox(window_.boxes, std::string(kPairCheckTitle), message, BoxIcon::Warning, true);
    }
}

// ---- channels that wait ----

bool Station::reportActivationFailures(const ActivationPass& pass) {
    reportBindFailures(pass);
    reportPortFailures(pass.failures);
    return !pass.bindFailed.empty() || !pass.portOutOfRange.empty() || !pass.failures.empty();
}

void Station::reportBindFailures(const ActivationPass& pass) {
    if (pass.bindFailed.empty() && pass.portOutOfRange.empty()) {
        return;
    }
    auto endpoint = [this](int slot) {
        const ChannelRecord& record = state_.table[slot];
        return record.AddrIP.str() + ":" + std::to_string(record.Port);
    };
    std::string text;
    auto add = [&text](const std::string& line) {
        if (!text.empty()) {
            text += "\n";
        }
        text += line;
    };
    for (const int slot : pass.bindFailed) {
        add(endpoint(slot) + " уже существует.");
    }
    if (!pass.bindFailed.empty()) {
        add(pass.bindFailed.size() == 1
                ? "Канал остается в настройках и будет запущен, как только порт приема "
                  "освободится (попытка каждые " +
                      retryPeriodSecondsText() + " секунд)."
                : "Каналы остаются в настройках и будут запущены, как только их порты приема "
                  "освободятся (попытка каждые " +
                      retryPeriodSecondsText() + " секунд).");
    }
    for (const int slot : pass.portOutOfRange) {
        add(endpoint(slot) +
            ": порт приема вне диапазона 1..65535. Канал остается в настройках, но не "
            "принимает; исправьте порт приема и примените настройки.");
    }
    showBox(window_.boxes, "Ошибка создания канала", text, BoxIcon::Error, true);
}

void Station::reportPortFailures(const std::vector<std::string>& failures) {
    if (failures.empty()) {
        return;
    }
    std::string text = failures.size() == 1 ? "Не удалось открыть COM-порт канала:"
                                            : "Не удалось открыть COM-порты каналов:";
    for (const std::string& failure : failures) {
        text += "\n" + failure;
    }
    text +=
        "\nКаналы работают; порт будет открыт, как только станет доступен "
        "(попытка каждые " +
        retryPeriodSecondsText() + " секунд).";
    errors_.report(text);
}

void Station::updateListButtons() {
    window_.setListButtonsEnabled(window_.channelList().nodeCount() > 0);
}

// ---- Apply ----

void Station::apply() {
    if (!receivePortFilledIn()) {
        return;
    }
    // Every occupied slot is stored, listed or not (a channel whose pair is missing today is still
    // the station's channel); the stored configuration is deleted only when the table holds no
    // channel at all.
    const bool anyChannel = state_.table.anyOccupied();
    if (!storeConfiguration(anyChannel)) {
        return;
    }
    stopChannels();
    if (!anyChannel) {
        return;
    }
    if (reportActivationFailures(activateAll())) {
        return;  // not done: the operator is told which channels wait instead
    }
    showBox(window_.boxes, "Применить", "Выполнено!", BoxIcon::Information, false);
}

bool Station::receivePortFilledIn() {
    if (!window_.receivePort().empty()) {
        return true;
    }
    showBox(window_.boxes, "Ошибка", "Проверьте заполнение порта приема приложения!",
            BoxIcon::Error, false);
    return false;
}

bool Station::storeConfiguration(bool anyChannel) {
    // Stored first: when the store fails, the channels run on as they were, and the store keeps
    // the previous configuration (the store writes all or nothing).
    const std::string localAddress = window_.localAddress();
    try {
        storeChannels(registry_, state_.table, localAddress, anyChannel);
    } catch (const std::exception& e) {
        showBox(window_.boxes, "Применить",
                std::string("Настройки не сохранены: ") + e.what() +
                    "\nКаналы работают с прежними настройками.",
                BoxIcon::Error, false);
        return false;
    }
    if (journal_ != nullptr) {
        const std::string applied = describeChannels(state_.table);
        journal_->record(configurationRow(runningChannels_, applied));
        runningChannels_ = applied;
    }
    return true;
}

void Station::stopChannels() {
    // Everything stops before anything starts again: a channel that moved down a slot must find
    // its port free, a slot that became empty must not go on receiving or beating, and a datagram
    // waiting for its acknowledgement ends without a reply (its transceiver sends it again).
    loop_.stopAll();
    showReports();
}

// ---- the diagnostics log and the end ----

void Station::clearDiagnosticsLog() {
    BoxRequest request;
    request.title = "Диагностика";
    request.text = "Очистить диагностику?";
    request.buttons = BoxButtons::YesNo;
    request.icon = BoxIcon::Question;
    request.defaultButton = BoxAnswer::No;
    if (window_.boxes.show(request) == BoxAnswer::Yes) {
        display_.clearDiagnostics();
    }
}

void Station::shutdown() {
    window_.setExitConfirmed();
    loop_.shutdown();
    showReports();
}

}  // namespace lan2com
