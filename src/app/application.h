#pragma once

#include <QApplication>
#include <QString>
#include <QTranslator>
#include <utility>

#include "platform/error_report.h"

namespace lan2com {

// The application object of the program. A failure that escapes any event handler (a window
// event, a timer, a queued call) ends that handler only: it is handed to the error report and the
// event loop goes on.
class Lan2comApplication final : public QApplication {
  public:
    Lan2comApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Where escaped failures go; without a report they are written to the event log and the
    // standard error.
    void setErrorReport(ErrorReport* report) { report_ = report; }

  private:
    ErrorReport* report_ = nullptr;
};

// Runs one delivery and hands a failure that escapes it to the report (to the event log and the
// standard error when there is none). Answers what the delivery answered, false after a failure.
template <typename Deliver>
bool deliverGuarded(ErrorReport* report, Deliver&& deliver);

void reportEscaped(ErrorReport* report, const std::string& message);

// Wraps an event handler so that a failure escaping it is reported where it arises, at the
// handler's edge. Handlers of input events (clicks, keys) are best connected this way: a failure
// that unwinds through the toolkit's own delivery of such an event is still caught by
// Lan2comApplication, but leaves the toolkit's copy of the event behind.
template <typename Handler>
auto reportingHandler(ErrorReport& report, Handler handler) {
    return [&report, handler = std::move(handler)](auto&&... args) {
        deliverGuarded(&report, [&] {
            handler(std::forward<decltype(args)>(args)...);
            return true;
        });
    };
}

// Loads Qt's own Russian texts (standard buttons, edit menus) into the translator. Answers false
// when the translation is not installed.
bool loadQtRussian(QTranslator& translator);

// The application's title: the program file's name without its extension.
QString applicationTitle(const QString& programPath);

template <typename Deliver>
bool deliverGuarded(ErrorReport* report, Deliver&& deliver) {
    try {
        return deliver();
    } catch (const std::exception& e) {
        reportEscaped(report, e.what());
    } catch (...) {
        reportEscaped(report, "Неизвестная ошибка");
    }
    return false;
}

}  // namespace lan2com
