#include "app/application.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <cstdio>

#include "platform/event_log.h"

namespace lan2com {

Lan2comApplication::Lan2comApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool Lan2comApplication::notify(QObject* receiver, QEvent* event) {
    return deliverGuarded(report_, [&] { return QApplication::notify(receiver, event); });
}

void reportEscaped(ErrorReport* report, const std::string& message) {
    if (report != nullptr) {
        report->report(message);
        return;
    }
    // A windowed program's standard error goes nowhere on Windows: the event log keeps it.
    writeEventLog(EventLogKind::Error, withFullStop(message));
    std::fprintf(stderr, "lan2com: %s\n", withFullStop(message).c_str());
}

bool loadQtRussian(QTranslator& translator) {
    return translator.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

QString applicationTitle(const QString& programPath) {
    return QFileInfo(programPath).completeBaseName();
}

}  // namespace lan2com
