#include <QTranslator>

#include "app/application.h"
#include "app/ts_form.h"
#include "platform/tick_clock.h"

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
    lan2com::TS_Form S_Form(options);
    app.setErrorReport(&S_Form.errors);
    S_Form.show();
    const int result = QApplication::exec();
    // Failures of the window's own destruction have no window left to be shown in.
    app.setErrorReport(nullptr);
    return result;
}
