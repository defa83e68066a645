#include <QTranslator>
#include <cstdlib>
#include <memory>

#include "app/application.h"
#include "app/single_instance.h"
#include "app/station.h"
#include "app/termination.h"
#include "app/ts_form.h"
#include "net/local_addresses.h"
#include "platform/registry.h"
#include "platform/tick_clock.h"
#include "serial/com_select_form.h"

namespace {

// LAN2COM_HEARTBEAT_MS shortens the heartbeat period for field checks and tests; the station's
// period is 29 seconds.
int heartbeatPeriodMs() {
    const char* text = std::getenv("LAN2COM_HEARTBEAT_MS");
    if (text == nullptr) {
        return lan2com::QtHeartbeatTimer::kDefaultIntervalMs;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 100 || value > 3600000) {
        return lan2com::QtHeartbeatTimer::kDefaultIntervalMs;
    }
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    lan2com::Lan2comApplication app(argc, argv);
    // The serial ports' timer triggers count on a fine clock for the whole run.
    lan2com::ClockResolution clockResolution;

    QTranslator qtRussian;
    if (lan2com::loadQtRussian(qtRussian)) {
        QCoreApplication::installTranslator(&qtRussian);
    }

    lan2com::TS_FormOptions options;
    options.title =
        lan2com::applicationTitle(QCoreApplication::applicationFilePath()).toStdString();
    options.heartbeatIntervalMs = heartbeatPeriodMs();
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
        lan2com::StationOptions stationOptions;
        stationOptions.registry = registry.get();
        stationOptions.localAddresses = lan2com::TIdIPAddrMon().IPAddresses;
        stationOptions.portPrompt = &portPrompt;
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
