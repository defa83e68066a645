#include "app/timestamp.h"

namespace lan2com {

QString longTimeFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    // Drop the time-zone field 't' wherever it stands outside a quoted literal.
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char('t')) {
            continue;
        }
        result += c;
    }
    return result.simplified();
}

QString timestampText(const QDateTime& local, const QLocale& locale) {
    const QString date = locale.toString(local.date(), QLocale::ShortFormat);
    if (local.time() == QTime(0, 0)) {
        return date;
    }
    return date + QLatin1Char(' ') + locale.toString(local.time(), longTimeFormat(locale));
}

}  // namespace lan2com
