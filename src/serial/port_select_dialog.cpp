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
    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 42);

    Label1 = new QLabel("The configured serial port is not valid.", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(18, 14, 176, 13);

    Label2 = new QLabel("Please choose another port.", this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(18, 30, 133, 13);

    OkBtn = new QPushButton("OK", this);
    OkBtn->setObjectName("OkBtn");
    OkBtn->setGeometry(8, 95, 85, 27);
    OkBtn->setDefault(true);
    OkBtn->setAutoDefault(true);

    AbortBtn = new QPushButton("Cancel", this);
    AbortBtn->setObjectName("AbortBtn");
    AbortBtn->setGeometry(124, 95, 85, 27);
    AbortBtn->setAutoDefault(false);

    // Made after the buttons: the tab order is OK, Cancel, the list.
    PortsComboBox = new QComboBox(this);  // not editable: only listed names can be chosen
    PortsComboBox->setObjectName("PortsComboBox");
    PortsComboBox->setGeometry(8, 64, 201, 21);

    connect(OkBtn, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(kAbort); });

    if (!probe) {
        probe = comDeviceExists;
    }
    for (std::uint16_t n = 1; n <= kHighestPort; ++n) {
        if (probe(n)) {
            PortsComboBox->addItem(QString("COM%1").arg(n));
        }
    }
    PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    OkBtn->setFocus();
}

QString PortSelectDialog::selectedPort() const {
    return PortsComboBox->currentIndex() >= 0 ? PortsComboBox->currentText() : QString();
}

std::optional<std::string> PortSelectPrompt::choosePort() {
    PortSelectDialog form(parent_, probe_);
    if (form.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return form.selectedPort().toStdString();
}

}  // namespace lan2com
