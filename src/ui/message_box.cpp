#include "ui/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QString>

namespace lan2com {

namespace {

QMessageBox::Icon qtIcon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::Warning:
            return QMessageBox::Warning;
        case BoxIcon::Error:
            return QMessageBox::Critical;
        case BoxIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// The Russian texts come from Qt's own translation, loaded at program start. Where it is
// missing (a deployment without it) the buttons are named here, so that Yes and No never show
// in English.
void ensureText(QMessageBox& box, QMessageBox::StandardButton which, const QString& text) {
    QAbstractButton* button = box.button(which);
    if (button != nullptr && QString(button->text()).remove(QLatin1Char('&')) != text) {
        button->setText(text);
    }
}

}  // namespace

std::unique_ptr<QMessageBox> QtMessageBoxes::build(const BoxRequest& request, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(QString::fromStdString(request.title));
    box->setText(QString::fromStdString(request.text));
    box->setTextFormat(Qt::PlainText);  // messages carry operator input: never markup
    box->setIcon(qtIcon(request.icon));
    if (request.buttons == BoxButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        ensureText(*box, QMessageBox::Yes, QStringLiteral("Да"));
        ensureText(*box, QMessageBox::No, QStringLiteral("Нет"));
        box->setDefaultButton(request.defaultButton == BoxAnswer::Yes ? QMessageBox::Yes
                                                                      : QMessageBox::No);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    }
    if (request.stayOnTop) {
        box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    return box;
}

BoxAnswer QtMessageBoxes::show(const BoxRequest& request) {
    // The parent may go while the box runs its own event loop (the window is destroyed from a
    // handler that ran inside it): then the parent has deleted the box and it must not be deleted
    // again here.
    QPointer<QMessageBox> box = build(request, parent_).release();
    const int result = box->exec();
    if (!box.isNull()) {
        delete box.data();
    }
    if (request.buttons == BoxButtons::Ok) {
        return BoxAnswer::Ok;
    }
    return result == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
}

}  // namespace lan2com
