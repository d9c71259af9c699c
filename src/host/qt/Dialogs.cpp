#include "host/Dialogs.h"

#include "host/Application.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <vector>

namespace host {
namespace {

// The Windows message-box codes the program passes and receives.
enum : int64_t {
    kButtonsMask = 0x0F,
    kIconMask = 0xF0,
    kDefaultButtonMask = 0xF00,
    kOK = 0,
    kOKCancel = 1,
    kAbortRetryIgnore = 2,
    kYesNoCancel = 3,
    kYesNo = 4,
    kRetryCancel = 5,
    kIconStop = 16,
    kIconQuestion = 32,
    kIconExclamation = 48,
    kIconInformation = 64,
};

enum : int64_t {
    kResultOK = 1,
    kResultCancel = 2,
    kResultAbort = 3,
    kResultRetry = 4,
    kResultIgnore = 5,
    kResultYes = 6,
    kResultNo = 7,
};

struct ButtonCode {
    QMessageBox::StandardButton button;
    int64_t result;
};

std::vector<ButtonCode> buttonsFor(int64_t style) {
    switch (style & kButtonsMask) {
    case kOKCancel:
        return {{QMessageBox::Ok, kResultOK}, {QMessageBox::Cancel, kResultCancel}};
    case kAbortRetryIgnore:
        return {{QMessageBox::Abort, kResultAbort},
                {QMessageBox::Retry, kResultRetry},
                {QMessageBox::Ignore, kResultIgnore}};
    case kYesNoCancel:
        return {{QMessageBox::Yes, kResultYes},
                {QMessageBox::No, kResultNo},
                {QMessageBox::Cancel, kResultCancel}};
    case kYesNo:
        return {{QMessageBox::Yes, kResultYes}, {QMessageBox::No, kResultNo}};
    case kRetryCancel:
        return {{QMessageBox::Retry, kResultRetry}, {QMessageBox::Cancel, kResultCancel}};
    case kOK:
    default:
        return {{QMessageBox::Ok, kResultOK}};
    }
}

QMessageBox::Icon iconFor(int64_t style) {
    switch (style & kIconMask) {
    case kIconStop:
        return QMessageBox::Critical;
    case kIconQuestion:
        return QMessageBox::Question;
    case kIconExclamation:
        return QMessageBox::Warning;
    case kIconInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// Closing the box without a button counts as its escape answer, as on Windows: Cancel when
// there is one, No for a Yes/No box, otherwise the only button.
int64_t escapeResult(const std::vector<ButtonCode>& buttons) {
    for (const ButtonCode& b : buttons) {
        if (b.result == kResultCancel) {
            return kResultCancel;
        }
    }
    for (const ButtonCode& b : buttons) {
        if (b.result == kResultNo) {
            return kResultNo;
        }
    }
    return buttons.size() == 1 ? buttons.front().result : kResultCancel;
}

} // namespace

int64_t MsgBox(const std::string& message, int64_t style, const std::optional<std::string>& title) {
    requireUIThread("MsgBox");
    ensureRuntime();

    const std::vector<ButtonCode> buttons = buttonsFor(style);
    QMessageBox box;
    box.setIcon(iconFor(style));
    box.setWindowTitle(title ? QString::fromStdString(*title)
                             : QCoreApplication::applicationName());
    box.setText(QString::fromStdString(message));
    QMessageBox::StandardButtons standard;
    for (const ButtonCode& b : buttons) {
        standard |= b.button;
    }
    box.setStandardButtons(standard);
    // 0x100 / 0x200 pick the second or third button as the default one.
    const size_t defaultIndex = static_cast<size_t>((style & kDefaultButtonMask) >> 8);
    if (defaultIndex < buttons.size()) {
        box.setDefaultButton(buttons[defaultIndex].button);
    }

    const int answer = box.exec();
    for (const ButtonCode& b : buttons) {
        if (answer == b.button) {
            return b.result;
        }
    }
    return escapeResult(buttons);
}

void ShowURL(const std::string& url) {
    requireUIThread("ShowURL");
    ensureRuntime();
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

} // namespace host
