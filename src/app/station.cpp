#include "app/station.h"

#include <QString>
#include <QTimer>
#include <stdexcept>

#include "app/application.h"
#include "app/ts_form.h"
#include "channels/startup_plan.h"
#include "journal/journal_config.h"

namespace lan2com {
namespace {

EditorControls editorControls(TS_Form& form) {
    EditorControls c;
    c.chanel = form.chanel;
    c.treePair = form.treePair;
    c.channelList = &form.channelList;
    c.btnAdd = form.btnAdd;
    c.btnDel = form.btnDel;
    c.btnApply = form.btnApply;
    c.editIP = form.editIP;
    c.comboCom = form.comboCom;
    c.lblCom = form.lblCom;
    c.edtIP = form.edtIP;
    c.PortIn = form.PortIn;
    c.Accnt = form.Accnt;
    c.cnvrtRG = form.cnvrtRG;
    return c;
}

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

Station::Station(TS_Form& form, StationOptions options)
    : form_(form),
      registry_(requireRegistry(options.registry)),
      localAddresses_(std::move(options.localAddresses)),
      portPrompt_(options.portPrompt),
      display_(form, form.state),
      editor_(editorControls(form), form.state, form.boxes, form.errors),
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
    form_.onFormShow = [this] { FormShow(); };
    form_.onExitConfirmed = [this] { shutdown(); };
    QObject::connect(form_.btnApply, &QPushButton::clicked, &form_,
                     reportingHandler(form_.errors, [this](bool) { btnApplyClick(); }));
    QObject::connect(form_.DelRec, &QPushButton::clicked, &form_,
                     reportingHandler(form_.errors, [this](bool) { DelRecClick(); }));
}

Station::~Station() {
    form_.onFormShow = nullptr;
    form_.onExitConfirmed = nullptr;
    loop_.shutdown();
}

void Station::showReports() {
    display_.show(loop_.takeReports());
}

ActivationPass Station::activateAll() {
    std::vector<ChannelSetup> setups;
    form_.state.table.forEachOccupied([&](int slot, const TPair& record) {
        setups.push_back(channelSetup(slot, record, portPrompt_));
    });
    const ActivationPass pass = loop_.activate(setups);
    if (journal_ != nullptr) {
        runningChannels_ = describeChannels(form_.state.table);
    }
    showReports();
    return pass;
}

void Station::FormShow() {
    form_.comboCom->clear();
    form_.comboCom->setEditText(QString());
    form_.editIP->clear();
    form_.edtIP->clear();
    for (const std::string& address : localAddresses_) {
        form_.edtIP->addItem(QString::fromStdString(address));
    }

    StartupPlan plan = PlanStartup(registry_, form_.state);
    for (const ComboItem& item : plan.discovery.comboItems) {
        form_.comboCom->addItem(QString::fromStdString(item.text), item.index);
    }
    form_.comboCom->setCurrentIndex(-1);
    form_.comboCom->setEditText(QString());

    auto showStoreWarnings = [&] {
        for (const std::string& warning : plan.storeWarnings) {
            showBox(form_.boxes, std::string(kStoreWarningTitle), warning, BoxIcon::Warning, true);
        }
    };

    if (plan.noPairs) {
        showStoreWarnings();
        showBox(form_.boxes, std::string(kNoPairsTitle), std::string(kNoPairsText), BoxIcon::Error,
                true);
        form_.close();  // asks the operator; No keeps the window with nothing loaded
        return;
    }
    if (!plan.load.configurationFound) {
        showStoreWarnings();
        return;
    }
    if (plan.load.edtIP) {
        form_.edtIP->setEditText(QString::fromStdString(*plan.load.edtIP));
    }
    if (plan.load.PortIn) {
        form_.PortIn->setText(QString::fromStdString(*plan.load.PortIn));
    }

    for (const ChannelListGroup& group : plan.list) {
        std::array<QString, ChannelList::kChildren> children;
        for (int c = 0; c < ChannelList::kChildren; ++c) {
            children[static_cast<std::size_t>(c)] =
                QString::fromStdString(group.nodes[static_cast<std::size_t>(c + 1)]);
        }
        form_.channelList.appendGroup(QString::fromStdString(group.nodes[0]), children, group.slot);
    }

    form_.treePair->setFocus();
    if (form_.channelList.selectedIndex() < 0) {
        form_.channelList.selectIndex(0);
    }
    if (plan.load.subkeyCount > 0) {
        editor_.treePairClick();
    }

    // Every stored channel is brought up before any warning waits for the operator: a warning
    // left unanswered on an unattended station must not keep alarms from being relayed. No failure
    // of one channel holds another back.
    const ActivationPass pass = activateAll();
    updateListButtons();

    showStoreWarnings();
    for (const std::string& message : plan.pairCheckMessages) {
        showBox(form_.boxes, std::string(kPairCheckTitle), message, BoxIcon::Warning, true);
    }
    // Last, so that their boxes follow the warnings instead of opening on top of one of them.
    reportBindFailures(pass);
    reportPortFailures(pass.failures);
}

void Station::reportBindFailures(const ActivationPass& pass) {
    if (pass.bindFailed.empty() && pass.portOutOfRange.empty()) {
        return;
    }
    auto endpoint = [this](int slot) {
        const TPair& record = form_.state.table[slot];
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
                  "освободится (попытка каждые 5 секунд)."
                : "Каналы остаются в настройках и будут запущены, как только их порты приема "
                  "освободятся (попытка каждые 5 секунд).");
    }
    for (const int slot : pass.portOutOfRange) {
        add(endpoint(slot) +
            ": порт приема вне диапазона 1..65535. Канал остается в настройках, но не "
            "принимает; исправьте порт приема и примените настройки.");
    }
    showBox(form_.boxes, "Ошибка создания канала", text, BoxIcon::Error, true);
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
        "(попытка каждые 5 секунд).";
    form_.errors.report(text);
}

void Station::updateListButtons() {
    const bool listed = form_.channelList.nodeCount() > 0;
    form_.btnDel->setEnabled(listed);
    form_.btnApply->setEnabled(listed);
}

void Station::btnApplyClick() {
    if (form_.PortIn->text().isEmpty()) {
        showBox(form_.boxes, "Ошибка", "Проверьте заполнение порта приема приложения!",
                BoxIcon::Error, false);
        return;
    }
    // Stored first: when the store fails, the channels run on as they were, and the store keeps
    // the previous configuration (the store writes all or nothing). Every occupied slot is stored,
    // listed or not (a channel whose pair is missing today is still the station's channel); the
    // stored configuration is deleted only when the table holds no channel at all.
    const std::string localAddress = form_.edtIP->currentText().toStdString();
    const bool anyChannel = form_.state.table.anyOccupied();
    try {
        StoreChannels(registry_, form_.state.table, localAddress, anyChannel);
    } catch (const std::exception& e) {
        showBox(form_.boxes, "Применить",
                std::string("Настройки не сохранены: ") + e.what() +
                    "\nКаналы работают с прежними настройками.",
                BoxIcon::Error, false);
        return;
    }
    if (journal_ != nullptr) {
        const std::string applied = describeChannels(form_.state.table);
        journal_->record(configurationRow(runningChannels_, applied));
        runningChannels_ = applied;
    }
    // Everything stops before anything starts again: a channel that moved down a slot must find
    // its port free, a slot that became empty must not go on receiving or beating, and a datagram
    // waiting for its acknowledgement ends without a reply (its transceiver sends it again).
    loop_.stopAll();
    showReports();
    if (!anyChannel) {
        return;
    }
    const ActivationPass pass = activateAll();
    if (!pass.bindFailed.empty() || !pass.portOutOfRange.empty() || !pass.failures.empty()) {
        // Not done: the operator is told which channels wait instead.
        reportBindFailures(pass);
        reportPortFailures(pass.failures);
        return;
    }
    showBox(form_.boxes, "Применить", "Выполнено!", BoxIcon::Information, false);
}

void Station::DelRecClick() {
    BoxRequest request;
    request.title = "Диагностика";
    request.text = "Очистить диагностику?";
    request.buttons = BoxButtons::YesNo;
    request.icon = BoxIcon::Question;
    request.defaultButton = BoxAnswer::No;
    if (form_.boxes.show(request) == BoxAnswer::Yes) {
        display_.clearDiagnostics();
    }
}

void Station::shutdown() {
    form_.state.AppExit = true;
    loop_.shutdown();
    showReports();
}

}  // namespace lan2com
