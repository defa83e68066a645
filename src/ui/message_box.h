#pragma once

#include <memory>
#include <string>

class QMessageBox;
class QWidget;

namespace lan2com {

// Every message to the operator is a modal box described by one request and answered by the
// button pressed. The interface is free of Qt so that every layer can show its messages; the
// window hands the one implementation around.

enum class BoxButtons { Ok, YesNo };
enum class BoxIcon { Information, Warning, Error, Question };
enum class BoxAnswer { Ok, Yes, No };

struct BoxRequest {
    std::string title;  // UTF-8
    std::string text;   // UTF-8
    BoxButtons buttons = BoxButtons::Ok;
    BoxIcon icon = BoxIcon::Information;
    BoxAnswer defaultButton = BoxAnswer::Ok;
    bool stayOnTop = false;  // kept above all other windows
};

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows the box modally (window events, handed-over events included, go on meanwhile) and
    // answers the button pressed. A Yes/No box closed without a button answers No; an OK box
    // answers Ok.
    virtual BoxAnswer show(const BoxRequest& request) = 0;
};

// The boxes of the program: QMessageBox with Russian button texts.
class QtMessageBoxes final : public MessageBoxes {
  public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    BoxAnswer show(const BoxRequest& request) override;

    // The box that show() runs, built but not shown.
    static std::unique_ptr<QMessageBox> build(const BoxRequest& request, QWidget* parent);

  private:
    QWidget* parent_;
};

}  // namespace lan2com
