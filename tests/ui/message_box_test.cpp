#include "ui/message_box.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace lan2com {
namespace {

QString plain(QString text) {
    return text.remove(QLatin1Char('&'));
}

BoxRequest question() {
    BoxRequest request;
    request.title = "Завершение работы";
    request.text = "Завершить работу приложения?";
    request.buttons = BoxButtons::YesNo;
    request.icon = BoxIcon::Question;
    request.defaultButton = BoxAnswer::No;
    request.stayOnTop = true;
    return request;
}

TEST(QtMessageBoxes, BuildsTheRequestedBox) {
    const auto box = QtMessageBoxes::build(question(), nullptr);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Завершение работы"));
    EXPECT_EQ(box->text(), QStringLiteral("Завершить работу приложения?"));
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
    EXPECT_TRUE(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    // Russian whether or not Qt's translation is installed.
    EXPECT_EQ(plain(box->button(QMessageBox::Yes)->text()), QStringLiteral("Да"));
    EXPECT_EQ(plain(box->button(QMessageBox::No)->text()), QStringLiteral("Нет"));
}

TEST(QtMessageBoxes, OkBoxWithEachIcon) {
    BoxRequest request;
    request.title = "Ошибка";
    request.text = "Нарушен формат IP-адреса.";
    const std::pair<BoxIcon, QMessageBox::Icon> icons[] = {
        {BoxIcon::Information, QMessageBox::Information},
        {BoxIcon::Warning, QMessageBox::Warning},
        {BoxIcon::Error, QMessageBox::Critical},
        {BoxIcon::Question, QMessageBox::Question}};
    for (const auto& [icon, qtIcon] : icons) {
        request.icon = icon;
        const auto box = QtMessageBoxes::build(request, nullptr);
        EXPECT_EQ(box->icon(), qtIcon);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ok));
        EXPECT_FALSE(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }
}

TEST(QtMessageBoxes, TextIsShownAsTypedNeverAsMarkup) {
    BoxRequest request;
    request.text = "<b>10.0.0.1</b>:9000 уже существует.";
    const auto box = QtMessageBoxes::build(request, nullptr);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->text(), QString::fromStdString(request.text));
}

// Presses a button of the box that is about to open, from the box's own event loop.
void pressWhenOpen(QMessageBox::StandardButton which, bool* seen) {
    QTimer::singleShot(0, [which, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        *seen = true;
        if (which == QMessageBox::NoButton) {
            box->reject();  // closed by Escape or the window's close button
        } else {
            box->button(which)->click();
        }
    });
}

TEST(QtMessageBoxes, ShowAnswersTheButtonPressed) {
    QtMessageBoxes boxes;
    bool seen = false;
    pressWhenOpen(QMessageBox::Yes, &seen);
    EXPECT_EQ(boxes.show(question()), BoxAnswer::Yes);
    EXPECT_TRUE(seen);

    seen = false;
    pressWhenOpen(QMessageBox::No, &seen);
    EXPECT_EQ(boxes.show(question()), BoxAnswer::No);
    EXPECT_TRUE(seen);

    seen = false;
    pressWhenOpen(QMessageBox::NoButton, &seen);
    EXPECT_EQ(boxes.show(question()), BoxAnswer::No) << "closing the box is not a Yes";
    EXPECT_TRUE(seen);

    BoxRequest ok;
    ok.text = "Выполнено!";
    seen = false;
    pressWhenOpen(QMessageBox::Ok, &seen);
    EXPECT_EQ(boxes.show(ok), BoxAnswer::Ok);
    EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace lan2com
