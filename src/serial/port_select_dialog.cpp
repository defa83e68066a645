#include "serial/port_select_dialog.h"

#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>

namespace lan2com {

PortSelectDialog::PortSelectDialog(QWidget* parent, Probe probe)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName("ComSelectForm");
    setWindowTitle("Select Port");
    setFixedSize(220, 131);

    QFont font("MS Sans Serif");
    font.setPixelSize(11);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::Text, Qt::black);
    setPalette(palette);

    // The frame first, so that the labels lie above it.
    messageFrame = new QFrame(this);
    messageFrame->setObjectName("Bevel1");
    messageFrame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    messageFrame->setGeometry(8, 8, 201, 42);

    problemLabel = new QLabel("The configured serial port is not valid.", this);
    problemLabel->setObjectName("Label1");
    problemLabel->setGeometry(18, 14, 176, 13);

    adviceLabel = new QLabel("Please choose another port.", this);
    adviceLabel->setObjectName("Label2");
    adviceLabel->setGeometry(18, 30, 133, 13);

    okButton = new QPushButton("OK", this);
    okButton->setObjectName("OkBtn");
    okButton->setGeometry(8, 95, 85, 27);
    okButton->setDefault(true);
    okButton->setAutoDefault(true);

    cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("AbortBtn");
    cancelButton->setGeometry(124, 95, 85, 27);
    cancelButton->setAutoDefault(false);

    // Made after the buttons: the tab order is OK, Cancel, the list.
    portList = new QComboBox(this);  // not editable: only listed names can be chosen
    portList->setObjectName("PortsComboBox");
    portList->setGeometry(8, 64, 201, 21);

    connect(okButton, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(cancelButton, &QPushButton::clicked, this, [this] { done(kAbort); });

    if (!probe) {
        probe = comDeviceExists;
    }
    for (std::uint16_t n = 1; n <= kHighestPort; ++n) {
        if (probe(n)) {
            portList->addItem(QString("COM%1").arg(n));
        }
    }
    portList->setCurrentIndex(portList->count() > 0 ? 0 : -1);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    okButton->setFocus();
}

QString PortSelectDialog::selectedPort() const {
    return portList->currentIndex() >= 0 ? portList->currentText() : QString();
}

std::optional<std::string> PortSelectPrompt::choosePort() {
    PortSelectDialog form(parent_, probe_);
    if (form.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return form.selectedPort().toStdString();
}

}  // namespace lan2com
