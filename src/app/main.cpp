#include <QTranslator>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/heartbeat_period.h"
#include "app/single_instance.h"
#include "app/station.h"
#include "app/termination.h"
#include "app/ts_form.h"
#include "journal/journal_config.h"
#ifdef LAN2COM_HAVE_JOURNAL
#include "journal/journal_store.h"
#include "journal/journal_writer.h"
#endif
#include "net/local_addresses.h"
#include "platform/registry.h"
#include "platform/tick_clock.h"
#include "serial/com_select_form.h"

namespace {}  // namespace

int main(int argc, char** argv) {
    lan2com::Lan2comApplication app(argc, argv);
    // The acknowledgement timeouts count on a fine clock for the whole run.
    lan2com::ClockResolution clockResolution;

    QTranslator qtRussian;
    if (lan2com::loadQtRussian(qtRussian)) {
        QCoreApplication::installTranslator(&qtRussian);
    }

    lan2com::TS_FormOptions options;
    options.title =
        lan2com::applicationTitle(QCoreApplication::applicationFilePath()).toStdString();
    const lan2com::HeartbeatPeriod heartbeat =
        lan2com::heartbeatPeriodFrom(std::getenv("LAN2COM_HEARTBEAT_MS"));
    const lan2com::SingleInstance instance;
    if (!instance.acquired()) {
        lan2com::QtMessageBoxes boxes;
        const lan2com::TerminationRequests termination([] { QCoreApplication::exit(1); });
        lan2com::BoxRequest request;
        request.title = options.title;
        request.text = lan2com::kAlreadyRunningText;
        request.icon = lan2com::BoxIcon::Error;
        request.stayOnTop = true;
        boxes.show(request);
        return 1;
    }
    const std::unique_ptr<lan2com::Registry> registry = lan2com::openSystemRegistry();
    lan2com::ComSelectPrompt portPrompt;
    int result = 0;
    {
        lan2com::TS_Form S_Form(options);
        app.setErrorReport(&S_Form.errors);
        if (!heartbeat.logText.empty()) {
            S_Form.appendLogLine(S_Form.timestamp() + "  " + heartbeat.logText);
        }
        lan2com::JournalSink* journal = nullptr;
#ifdef LAN2COM_HAVE_JOURNAL
        // The event journal: rows go to a writer thread of its own; what it has to say about
        // itself goes into the log.
        lan2com::JournalWriterOptions journalOptions;
        journalOptions.path = lan2com::defaultJournalPath();
        journalOptions.retentionDays = lan2com::journalRetentionDays(*registry);
        journalOptions.notice = [&S_Form](const std::string& line) {
            QMetaObject::invokeMethod(
                &S_Form,
                [&S_Form, line] { S_Form.appendLogLine(S_Form.timestamp() + "  " + line); },
                Qt::QueuedConnection);
        };
        lan2com::JournalWriter journalWriter(journalOptions);
        journal = &journalWriter;
        S_Form.appendLogLine(S_Form.timestamp() + "  Журнал событий: " + journalWriter.path());
#endif
        const lan2com::JournalRunRows runRows(journal);  // outlives the station
        lan2com::StationOptions stationOptions;
        stationOptions.journal = journal;
        stationOptions.registry = registry.get();
        stationOptions.localAddresses = lan2com::TIdIPAddrMon().IPAddresses;
        stationOptions.portPrompt = &portPrompt;
        stationOptions.heartbeatMs = heartbeat.ms;
        lan2com::Station station(S_Form, stationOptions);
        // A system shutdown or a service manager ends the program as the operator's Yes would.
        lan2com::TerminationRequests termination([&station] {
            station.shutdown();
            QCoreApplication::exit(0);  // no close question: the end is already decided
        });
        S_Form.show();
        result = QApplication::exec();
        // Failures of the window's own destruction have no window left to be shown in.
        app.setErrorReport(nullptr);
    }
    return result;
}
