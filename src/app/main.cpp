#include <QTranslator>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/event_log_reports.h"
#include "app/heartbeat_period.h"
#include "app/main_window.h"
#include "app/station.h"
#include "app/termination.h"
#include "journal/journal_config.h"
#ifdef LAN2COM_HAVE_JOURNAL
#include "journal/journal_store.h"
#include "journal/journal_writer.h"
#endif
#include "net/local_addresses.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform/single_instance.h"
#include "platform/tick_clock.h"
#include "serial/port_select_dialog.h"

int main(int argc, char** argv) {
    lan2com::Lan2comApplication app(argc, argv);
    // The acknowledgement timeouts count on a fine clock for the whole run.
    lan2com::ClockResolution clockResolution;

    QTranslator qtRussian;
    if (lan2com::loadQtRussian(qtRussian)) {
        QCoreApplication::installTranslator(&qtRussian);
    }

    const std::string title =
        lan2com::applicationTitle(QCoreApplication::applicationFilePath()).toStdString();
    const lan2com::HeartbeatPeriod heartbeat =
        lan2com::heartbeatPeriodFrom(std::getenv("LAN2COM_HEARTBEAT_MS"));
    const lan2com::SingleInstance instance;
    if (!instance.acquired()) {
        lan2com::writeEventLog(lan2com::EventLogKind::Warning, lan2com::kAlreadyRunningText);
        lan2com::QtMessageBoxes boxes;
        const lan2com::TerminationRequests termination([] { QCoreApplication::exit(1); });
        lan2com::BoxRequest request;
        request.title = title;
        request.text = lan2com::kAlreadyRunningText;
        request.icon = lan2com::BoxIcon::Error;
        request.stayOnTop = true;
        boxes.show(request);
        return 1;
    }
    const std::unique_ptr<lan2com::Registry> registry = lan2com::openSystemRegistry();
    lan2com::PortSelectPrompt portPrompt;
    int result = 0;
    {
        // The failures of start-up, and those that escape a handler, go to the event log too.
        lan2com::StartupFailuresLogged loggedBoxes;
        lan2com::MainWindowOptions windowOptions;
        windowOptions.boxes = &loggedBoxes;
        lan2com::MainWindow mainWindow(windowOptions);
        lan2com::QtMessageBoxes windowBoxes(&mainWindow);
        loggedBoxes.setInner(&windowBoxes);
        if (!heartbeat.logText.empty()) {
            mainWindow.appendLogLine(mainWindow.timestamp() + "  " + heartbeat.logText);
        }
        lan2com::JournalSink* journal = nullptr;
#ifdef LAN2COM_HAVE_JOURNAL
        // The event journal: rows go to a writer thread of its own; what it has to say about
        // itself goes into the log.
        lan2com::JournalWriterOptions journalOptions;
        journalOptions.path = lan2com::defaultJournalPath();
        journalOptions.retentionDays = lan2com::journalRetentionDays(*registry);
        journalOptions.notice = [&mainWindow](const std::string& line) {
            QMetaObject::invokeMethod(
                &mainWindow,
                [&mainWindow, line] {
                    mainWindow.appendLogLine(mainWindow.timestamp() + "  " + line);
                },
                Qt::QueuedConnection);
        };
        lan2com::JournalWriter journalWriter(journalOptions);
        journal = &journalWriter;
        mainWindow.appendLogLine(mainWindow.timestamp() + "  Журнал событий: " + journalWriter.path());
#endif
        const lan2com::JournalRunRows runRows(journal);  // outlives the station
        lan2com::StationOptions stationOptions;
        stationOptions.title = title;
        stationOptions.journal = journal;
        stationOptions.registry = registry.get();
        stationOptions.localAddresses = lan2com::LocalAddressList().addresses;
        stationOptions.portPrompt = &portPrompt;
        stationOptions.heartbeatMs = heartbeat.ms;
        lan2com::Station station(mainWindow, stationOptions);
        lan2com::EscapedFailuresLogged loggedErrors(station.errors());
        app.setErrorReport(&loggedErrors);
        // A system shutdown or a service manager ends the program as the operator's Yes would.
        lan2com::TerminationRequests termination([&station] {
            station.shutdown();
            QCoreApplication::exit(0);  // no close question: the end is already decided
        });
        mainWindow.show();
        result = QApplication::exec();
        // Failures of the window's own destruction have no window left to be shown in.
        app.setErrorReport(nullptr);
        loggedBoxes.setInner(nullptr);
    }
    return result;
}
