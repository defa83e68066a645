#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>

#include "app/application.h"
#include "app/timestamp.h"
#include "ui/message_box.h"

namespace lan2com {
namespace {

TEST(Timestamp, DateInShortFormatThenLongTimeWithoutZone) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    const QDateTime at(QDate(2024, 3, 5), QTime(7, 8, 9, 450));
    EXPECT_EQ(timestampText(at, russian), QStringLiteral("05.03.2024 07:08:09"));
    EXPECT_EQ(longTimeFormat(russian), QStringLiteral("HH:mm:ss"));

    const QLocale american(QLocale::English, QLocale::UnitedStates);
    EXPECT_FALSE(longTimeFormat(american).contains(QLatin1Char('t')));
    EXPECT_TRUE(longTimeFormat(american).contains(QStringLiteral("ss")));
    const QString stamp = timestampText(at, american);
    EXPECT_TRUE(
        stamp.startsWith(american.toString(at.date(), QLocale::ShortFormat) + QLatin1Char(' ')))
        << stamp.toStdString();
    EXPECT_TRUE(stamp.contains(QStringLiteral("7:08:09"))) << stamp.toStdString();
}

TEST(Timestamp, ExactlyMidnightShowsTheDateOnly) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    EXPECT_EQ(timestampText(QDateTime(QDate(2024, 12, 31), QTime(0, 0, 0, 0)), russian),
              QStringLiteral("31.12.2024"));
    EXPECT_EQ(timestampText(QDateTime(QDate(2024, 12, 31), QTime(0, 0, 0, 1)), russian),
              QStringLiteral("31.12.2024 00:00:00"));
    EXPECT_EQ(timestampText(QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59, 999)), russian),
              QStringLiteral("31.12.2024 23:59:59"));
}

TEST(ApplicationTitle, IsTheProgramFileNameWithoutExtension) {
    EXPECT_EQ(applicationTitle(QStringLiteral("/opt/station/lan2com")), QStringLiteral("lan2com"));
    EXPECT_EQ(applicationTitle(QStringLiteral("C:/Program Files/Station/lan2com.exe")),
              QStringLiteral("lan2com"));
    EXPECT_EQ(applicationTitle(QStringLiteral("/opt/lan2com.v2.exe")),
              QStringLiteral("lan2com.v2"));
}

TEST(QtRussian, TranslationGivesTheStandardButtonsTheirRussianNames) {
    QTranslator translator;
    ASSERT_TRUE(loadQtRussian(translator)) << "qtbase_ru is installed with Qt's translations";
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    BoxRequest request;
    request.buttons = BoxButtons::YesNo;
    request.defaultButton = BoxAnswer::No;
    const auto box = QtMessageBoxes::build(request, nullptr);
    // The mnemonic marks that these texts come from the translation.
    EXPECT_EQ(box->button(QMessageBox::Yes)->text(), QStringLiteral("&Да"));
    EXPECT_EQ(box->button(QMessageBox::No)->text(), QStringLiteral("&Нет"));
    QCoreApplication::removeTranslator(&translator);
}

class RecordingReport final : public ErrorReport {
  public:
    void report(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

TEST(DeliverGuarded, AnEscapedFailureIsReportedAndTheDeliveryAnswersFalse) {
    RecordingReport report;
    EXPECT_TRUE(deliverGuarded(&report, [] { return true; }));
    EXPECT_FALSE(deliverGuarded(
        &report, []() -> bool { throw std::runtime_error("ie_NOpen - device not open"); }));
    EXPECT_FALSE(deliverGuarded(&report, []() -> bool { throw 42; }));
    ASSERT_EQ(report.messages.size(), 2u);
    EXPECT_EQ(report.messages[0], "ie_NOpen - device not open");
    EXPECT_EQ(report.messages[1], "Неизвестная ошибка");
    // Without a report the failure goes to the standard error, and still no further.
    EXPECT_FALSE(deliverGuarded(nullptr, []() -> bool { throw std::logic_error("lost"); }));
}

}  // namespace
}  // namespace lan2com
