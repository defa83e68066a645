#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace lan2com {

// The locale's long time format without its time-zone name: hours, minutes and seconds.
QString longTimeFormat(const QLocale& locale);

// The log's timestamp: the date in the locale's short date format, one blank, the time in its long
// time format; at exactly midnight (00:00:00.000) only the date.
QString timestampText(const QDateTime& local, const QLocale& locale);

}  // namespace lan2com
