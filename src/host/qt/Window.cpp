#include "host/Window.h"

#include "host/Application.h"
#include "host/qt/WidgetAccess.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPalette>
#include <QPointer>
#include <QResizeEvent>
#include <QWidget>
#include <algorithm>
#include <map>
#include <utility>

namespace host {
namespace {

struct Registry {
    std::vector<std::shared_ptr<Window>> open;
    std::map<std::string, std::weak_ptr<Window>, std::less<>> implicit;
    bool finalizerAdded = false;
};

// Never destroyed, like the runtime's own state: windows must not outlive the platform's
// GUI instance, which static destruction cannot promise.
Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

void releaseWindow(const Window* window) {
    Registry& r = registry();
    std::shared_ptr<Window> keep;
    const auto it = std::find_if(r.open.begin(), r.open.end(),
                                 [window](const auto& w) { return w.get() == window; });
    if (it != r.open.end()) {
        keep = std::move(*it);
        r.open.erase(it);
    }
    for (auto i = r.implicit.begin(); i != r.implicit.end();) {
        i = i->second.lock().get() == window || i->second.expired() ? r.implicit.erase(i)
                                                                    : std::next(i);
    }
    // keep goes last, outside the registry, so a destructor that looks at the registry
    // finds it consistent.
}

// Windows still open when the process ends go before the application object and the
// platform's GUI instance, so their players and widgets are torn down while both exist.
void releaseAllWindows() {
    Registry& r = registry();
    std::vector<std::shared_ptr<Window>> open = std::move(r.open);
    r.open.clear();
    r.implicit.clear();
    r.finalizerAdded = false;
    open.clear();
}

int64_t integerOf(const PropertyValue& value) {
    return std::get<int64_t>(value);
}
bool booleanOf(const PropertyValue& value) {
    return std::get<bool>(value);
}

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

struct Window::Impl {
    explicit Impl(Window* owner) : widget(std::make_unique<WindowWidget>(owner)) {}

    std::unique_ptr<WindowWidget> widget;
    // Declared after the widget so the controls (and their widgets) go first.
    std::vector<std::pair<std::string, std::unique_ptr<Control>>> controls;

    std::string className;
    bool building = false;

    int64_t width = 100;
    int64_t height = 100;
    int64_t minWidth = 64;
    int64_t minHeight = 64;
    int64_t maxWidth = 32000;
    int64_t maxHeight = 32000;
    int64_t frame = 0;
    int64_t macProcID = 0;
    int64_t placement = 0;
    bool closeButton = true;
    bool resizeable = true;
    bool maximizeButton = true;
    bool minimizeButton = true;
    bool fullScreenButton = false;
    bool composite = false;
    bool visible = true;
    bool liveResize = true;
    bool fullScreen = false;
    bool hasBackColor = false;
    Color backColor{0xFF, 0xFF, 0xFF, 0x00};
    bool menuBarVisible = true;

    void applyFlags() {
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

    void applySize() {
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

    void applyBackground() {
        widget->setAutoFillBackground(hasBackColor);
        if (hasBackColor) {
            QPalette palette = widget->palette();
            palette.setColor(QPalette::Window, QColor(backColor.red, backColor.green,
                                                      backColor.blue, 255 - backColor.alpha));
            widget->setPalette(palette);
        }
    }

    void applyVisibility() {
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
};

Window::Window() {
    requireUIThread("Window.Constructor");
    ensureRuntime();
    impl_ = std::make_unique<Impl>(this);
    impl_->applyFlags();
    impl_->applySize();
}

Window::~Window() = default;

void Window::build(const std::shared_ptr<Window>& window, const std::string& className) {
    requireUIThread("Window.Constructor");
    Registry& r = registry();
    if (!r.finalizerAdded) {
        r.finalizerAdded = true;
        RuntimeAddFinalizer(releaseAllWindows);
    }
    Impl& impl = *window->impl_;
    impl.className = className;
    r.open.push_back(window);
    r.implicit[className] = window;
    impl.building = true;
    try {
        window->Layout();
        window->CreateControls();
    } catch (...) {
        impl.building = false;
        releaseWindow(window.get());
        throw;
    }
    impl.building = false;
    window->updateTabOrder();
    impl.applyVisibility();
}

Control& Window::registerControl(const std::string& name, std::unique_ptr<Control> control) {
    requireUIThread("Window.RegisterControl");
    if (control == nullptr) {
        throw NilObjectException("no control to register as \"" + name + "\"");
    }
    if (name.empty() || controlNamed(name) != nullptr) {
        throw UnsupportedFormatException("the window already has a control named \"" + name + "\"");
    }
    Control& registered = *control;
    impl_->controls.emplace_back(name, std::move(control));
    return registered;
}

Control* Window::controlNamed(std::string_view name) const {
    requireUIThread("Window.Control");
    for (const auto& [registeredName, control] : impl_->controls) {
        if (registeredName == name) {
            return control.get();
        }
    }
    return nullptr;
}

std::vector<Control*> Window::controls() const {
    std::vector<Control*> result;
    for (const auto& entry : impl_->controls) {
        result.push_back(entry.second.get());
    }
    return result;
}

const std::string& Window::ClassName() const {
    return impl_->className;
}

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

void Window::setWidth(int64_t width) {
    requireUIThread("Window.Width");
    impl_->width = width;
    impl_->applySize();
}

void Window::setHeight(int64_t height) {
    requireUIThread("Window.Height");
    impl_->height = height;
    impl_->applySize();
}

bool Window::Visible() const {
    requireUIThread("Window.Visible");
    return impl_->visible;
}

void Window::setVisible(bool visible) {
    requireUIThread("Window.Visible");
    impl_->visible = visible;
    impl_->applyVisibility();
}

bool Window::Resizeable() const {
    return impl_->resizeable;
}
bool Window::MinimizeButton() const {
    return impl_->minimizeButton;
}
bool Window::MaximizeButton() const {
    return impl_->maximizeButton;
}
bool Window::CloseButton() const {
    return impl_->closeButton;
}

void Window::Close() {
    requireUIThread("Window.Close");
    impl_->widget->close();
}

bool Window::HasProperty(std::string_view name) const {
    static const std::vector<std::string_view> names = {"Width",
                                                        "Height",
                                                        "MinWidth",
                                                        "MinHeight",
                                                        "MaxWidth",
                                                        "MaxHeight",
                                                        "Frame",
                                                        "Title",
                                                        "CloseButton",
                                                        "Resizeable",
                                                        "MaximizeButton",
                                                        "MinimizeButton",
                                                        "FullScreenButton",
                                                        "Composite",
                                                        "MacProcID",
                                                        "Placement",
                                                        "Visible",
                                                        "LiveResize",
                                                        "FullScreen",
                                                        "HasBackColor",
                                                        "BackColor",
                                                        "MenuBarVisible"};
    return std::find(names.begin(), names.end(), name) != names.end();
}

void Window::SetProperty(std::string_view name, const PropertyValue& value) {
    requireUIThread("Window.SetProperty");
    Impl& d = *impl_;
    if (name == "Width") {
        d.width = integerOf(value);
        d.applySize();
    } else if (name == "Height") {
        d.height = integerOf(value);
        d.applySize();
    } else if (name == "MinWidth") {
        d.minWidth = integerOf(value);
        d.applySize();
    } else if (name == "MinHeight") {
        d.minHeight = integerOf(value);
        d.applySize();
    } else if (name == "MaxWidth") {
        d.maxWidth = integerOf(value);
        d.applySize();
    } else if (name == "MaxHeight") {
        d.maxHeight = integerOf(value);
        d.applySize();
    } else if (name == "Frame") {
        // 0, the document window, is the platform's ordinary top-level window.
        d.frame = integerOf(value);
    } else if (name == "Title") {
        d.widget->setWindowTitle(QString::fromStdString(std::get<std::string>(value)));
    } else if (name == "CloseButton") {
        d.closeButton = booleanOf(value);
        d.applyFlags();
    } else if (name == "Resizeable") {
        d.resizeable = booleanOf(value);
        d.applyFlags();
        d.applySize();
    } else if (name == "MaximizeButton") {
        d.maximizeButton = booleanOf(value);
        d.applyFlags();
    } else if (name == "MinimizeButton") {
        d.minimizeButton = booleanOf(value);
        d.applyFlags();
    } else if (name == "FullScreenButton") {
        // A macOS title-bar button; other platforms have none.
        d.fullScreenButton = booleanOf(value);
    } else if (name == "Composite") {
        d.composite = booleanOf(value);
    } else if (name == "MacProcID") {
        d.macProcID = integerOf(value);
    } else if (name == "Placement") {
        // 0 leaves the position to the platform's window manager.
        d.placement = integerOf(value);
    } else if (name == "Visible") {
        d.visible = booleanOf(value);
        d.applyVisibility();
    } else if (name == "LiveResize") {
        d.liveResize = booleanOf(value);
    } else if (name == "FullScreen") {
        d.fullScreen = booleanOf(value);
        d.applyVisibility();
    } else if (name == "HasBackColor") {
        d.hasBackColor = booleanOf(value);
        d.applyBackground();
    } else if (name == "BackColor") {
        d.backColor = std::get<Color>(value);
        d.applyBackground();
    } else if (name == "MenuBarVisible") {
        // The program defines no menu bar, so there is nothing to show or hide.
        d.menuBarVisible = booleanOf(value);
    } else {
        throw UnsupportedFormatException("a window has no property \"" + std::string(name) + "\"");
    }
}

void Window::updateTabOrder() {
    if (impl_->building) {
        return;
    }
    std::vector<Control*> chain;
    for (Control* control : controls()) {
        if (control->TabStop() && (widgetOf(*control)->focusPolicy() & Qt::TabFocus) != 0) {
            chain.push_back(control);
        }
    }
    std::stable_sort(chain.begin(), chain.end(), [](const Control* a, const Control* b) {
        return a->TabIndex() < b->TabIndex();
    });
    for (size_t i = 1; i < chain.size(); ++i) {
        QWidget::setTabOrder(widgetOf(*chain[i - 1]), widgetOf(*chain[i]));
    }
}

std::shared_ptr<Window> RuntimeGetImplicitWindow(std::string_view className) {
    requireUIThread("RuntimeGetImplicitWindow");
    Registry& r = registry();
    const auto it = r.implicit.find(className);
    return it == r.implicit.end() ? nullptr : it->second.lock();
}

int64_t WindowCount() {
    requireUIThread("WindowCount");
    return static_cast<int64_t>(registry().open.size());
}

std::vector<std::shared_ptr<Window>> openWindows() {
    requireUIThread("Window");
    return registry().open;
}

QWidget* widgetOf(const Window& window) {
    return window.impl().widget.get();
}

} // namespace host
