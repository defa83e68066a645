#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "serial/com_port.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace lan2com {

// The port selection dialog ComSelectForm: lists the serial devices COM1 … COM50 that exist and
// lets the operator choose one. OK closes it with QDialog::Accepted, Cancel with kAbort, the
// close box with QDialog::Rejected.
class PortSelectDialog : public QDialog {
  public:
    static constexpr int kAbort = 3;
    static constexpr std::uint16_t kHighestPort = 50;

    using Probe = std::function<bool(std::uint16_t number)>;

    // probe tells whether COMn exists; comDeviceExists unless given.
    explicit PortSelectDialog(QWidget* parent = nullptr, Probe probe = {});

    QLabel* problemLabel;
    QLabel* adviceLabel;
    QFrame* messageFrame;
    QComboBox* portList;
    QPushButton* okButton;
    QPushButton* cancelButton;

    // The selected entry's text ("COM3"), empty when nothing is selected.
    QString selectedPort() const;
};

// Asks the operator through the dialog, modally. Answers the selected entry's text on OK
// (empty when the list is empty), nothing on Cancel or the close box.
class PortSelectPrompt final : public PortPrompt {
  public:
    explicit PortSelectPrompt(QWidget* parent = nullptr, PortSelectDialog::Probe probe = {})
        : parent_(parent), probe_(std::move(probe)) {}

    std::optional<std::string> choosePort() override;

  private:
    QWidget* parent_;
    PortSelectDialog::Probe probe_;
};

}  // namespace lan2com
