#include "host/Window.h"

#include "host/Application.h"
#include "host/Backend.h"
#include "host/WindowState.h"
#include "host/qt/WidgetAccess.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPalette>
#include <QPointer>
#include <QResizeEvent>
#include <QWidget>
#include <algorithm>
#include <utility>

namespace host {
namespace {

int clampToInt(int64_t value, int64_t low, int64_t high) {
    return static_cast<int>(std::clamp(value, low, high));
}

} // namespace

class WindowWidget : public QWidget {
public:
    explicit WindowWidget(Window* owner) : QWidget(nullptr, Qt::Window), owner_(owner) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        // The host lets go of the window after the close has run its course; the widget
        // must not be destroyed inside its own event.
        const Window* owner = owner_;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [owner] { releaseWindow(owner); }, Qt::QueuedConnection);
    }

    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        if (!event->oldSize().isValid()) {
            return;
        }
        for (Control* control : owner_->controls()) {
            control->parentResized(event->oldSize().width(), event->oldSize().height(),
                                   event->size().width(), event->size().height());
        }
    }

    void keyPressEvent(QKeyEvent* event) override {
        // Escape presses the window's cancel button, as the platform does for dialogs.
        if (event->key() == Qt::Key_Escape) {
            for (Control* control : owner_->controls()) {
                auto* button = dynamic_cast<PushButton*>(control);
                if (button != nullptr && button->Cancel() && button->Enabled()) {
                    button->Push();
                    return;
                }
            }
        }
        QWidget::keyPressEvent(event);
    }

private:
    Window* owner_;
};

namespace {

// A plain top-level widget tells assistive technology it is a filler; a host window is a
// frame, as the platform's main windows are.
QAccessibleInterface* accessibleWindow(const QString&, QObject* object) {
    if (auto* widget = dynamic_cast<WindowWidget*>(object)) {
        return new QAccessibleWidget(widget, QAccessible::Window);
    }
    return nullptr;
}

} // namespace

struct Window::Impl : WindowState {
    explicit Impl(Window* owner) : widget(std::make_unique<WindowWidget>(owner)) {}
    // The controls (and their widgets) go before the window's widget.
    ~Impl() override { controls.clear(); }

    std::unique_ptr<WindowWidget> widget;

    void applyFlags() override {
        Qt::WindowFlags flags =
            Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
        if (closeButton) {
            flags |= Qt::WindowCloseButtonHint;
        }
        if (minimizeButton) {
            flags |= Qt::WindowMinimizeButtonHint;
        }
        if (maximizeButton && resizeable) {
            flags |= Qt::WindowMaximizeButtonHint;
        }
        const bool wasVisible = widget->isVisible();
        widget->setWindowFlags(flags);
        // Changing the flags hides a shown window; show it again as it was.
        if (wasVisible) {
            widget->show();
        }
    }

    void applySize() override {
        const int w = clampToInt(width, 1, 32000);
        const int h = clampToInt(height, 1, 32000);
        if (resizeable) {
            widget->setMinimumSize(clampToInt(minWidth, 0, 32000), clampToInt(minHeight, 0, 32000));
            widget->setMaximumSize(clampToInt(maxWidth, 1, 32000), clampToInt(maxHeight, 1, 32000));
            widget->resize(w, h);
        } else {
            widget->setFixedSize(w, h);
        }
    }

    void applyResizeable() override {
        applyFlags();
        applySize();
    }

    void applyBackground() override {
        widget->setAutoFillBackground(hasBackColor);
        if (hasBackColor) {
            QPalette palette = widget->palette();
            palette.setColor(QPalette::Window, QColor(backColor.red, backColor.green,
                                                      backColor.blue, 255 - backColor.alpha));
            widget->setPalette(palette);
        }
    }

    void applyVisibility() override {
        if (building) {
            return;
        }
        if (!visible) {
            widget->hide();
        } else if (fullScreen) {
            widget->showFullScreen();
        } else {
            widget->show();
        }
    }

    void applyTabOrder(const std::vector<Control*>& chain) override {
        for (size_t i = 1; i < chain.size(); ++i) {
            QWidget::setTabOrder(widgetOf(*chain[i - 1]), widgetOf(*chain[i]));
        }
    }

    Control* focusedControl() const override {
        const QWidget* focused = widget->focusWidget();
        for (const auto& entry : controls) {
            if (focused != nullptr && widgetOf(*entry.second) == focused) {
                return entry.second.get();
            }
        }
        return nullptr;
    }

    void giveFocus(Control& control) override { widgetOf(control)->setFocus(Qt::TabFocusReason); }
};

Window::Window() {
    requireUIThread("Window.Constructor");
    ensureRuntime();
    static const bool accessibleAsFrame = (QAccessible::installFactory(accessibleWindow), true);
    (void)accessibleAsFrame;
    impl_ = std::make_unique<Impl>(this);
    impl_->applyFlags();
    impl_->applySize();
}

Window::~Window() = default;

std::string Window::Title() const {
    requireUIThread("Window.Title");
    return impl_->widget->windowTitle().toStdString();
}

void Window::setTitle(const std::string& title) {
    requireUIThread("Window.Title");
    impl_->widget->setWindowTitle(QString::fromStdString(title));
}

int64_t Window::Left() const {
    requireUIThread("Window.Left");
    return impl_->widget->geometry().x();
}

int64_t Window::Top() const {
    requireUIThread("Window.Top");
    return impl_->widget->geometry().y();
}

int64_t Window::Width() const {
    requireUIThread("Window.Width");
    return impl_->widget->width();
}

int64_t Window::Height() const {
    requireUIThread("Window.Height");
    return impl_->widget->height();
}

void Window::Close() {
    requireUIThread("Window.Close");
    impl_->widget->close();
}

WindowState& stateOf(const Window& window) {
    return window.impl();
}

namespace backend {

// Qt ends the program with its last window by itself.
void lastWindowReleased() {}

void raiseWindow(Window& window) {
    QWidget* widget = widgetOf(window);
    if (!widget->isVisible()) {
        return;
    }
    widget->setWindowState(widget->windowState() & ~Qt::WindowMinimized);
    widget->raise();
    widget->activateWindow();
}

} // namespace backend

QWidget* widgetOf(const Window& window) {
    return window.impl().widget.get();
}

} // namespace host
