// The rules of host windows that are the same on every platform: the open windows and their
// implicit instances, building a window, its controls by name, its property table, its tab
// chain and where the focus goes when a handler greys out the focused control.

#include "host/Application.h"
#include "host/Backend.h"
#include "host/Controls.h"
#include "host/Window.h"
#include "host/WindowState.h"

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

// Windows still open when the process ends go before the application object and the
// platform's GUI instance, so their players and controls are torn down while both exist.
void releaseAllWindows() {
    Registry& r = registry();
    std::vector<std::shared_ptr<Window>> open = std::move(r.open);
    r.open.clear();
    r.implicit.clear();
    r.finalizerAdded = false;
    open.clear();
}

} // namespace

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
    if (r.open.empty()) {
        backend::lastWindowReleased();
    }
    // keep goes last, outside the registry, so a destructor that looks at the registry
    // finds it consistent.
}

const std::vector<std::shared_ptr<Window>>& openWindowList() {
    return registry().open;
}

void Window::build(const std::shared_ptr<Window>& window, const std::string& className) {
    requireUIThread("Window.Constructor");
    Registry& r = registry();
    if (!r.finalizerAdded) {
        r.finalizerAdded = true;
        RuntimeAddFinalizer(releaseAllWindows);
    }
    WindowState& state = stateOf(*window);
    state.className = className;
    r.open.push_back(window);
    r.implicit[className] = window;
    state.building = true;
    try {
        window->Layout();
        window->CreateControls();
    } catch (...) {
        state.building = false;
        releaseWindow(window.get());
        throw;
    }
    state.building = false;
    window->updateTabOrder();
    state.applyVisibility();
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
    stateOf(*this).controls.emplace_back(name, std::move(control));
    return registered;
}

Control* Window::controlNamed(std::string_view name) const {
    requireUIThread("Window.Control");
    for (const auto& [registeredName, control] : stateOf(*this).controls) {
        if (registeredName == name) {
            return control.get();
        }
    }
    return nullptr;
}

std::vector<Control*> Window::controls() const {
    std::vector<Control*> result;
    for (const auto& entry : stateOf(*this).controls) {
        result.push_back(entry.second.get());
    }
    return result;
}

const std::string& Window::ClassName() const {
    return stateOf(*this).className;
}

void Window::setWidth(int64_t width) {
    requireUIThread("Window.Width");
    WindowState& d = stateOf(*this);
    d.width = width;
    d.applySize();
}

void Window::setHeight(int64_t height) {
    requireUIThread("Window.Height");
    WindowState& d = stateOf(*this);
    d.height = height;
    d.applySize();
}

bool Window::Visible() const {
    requireUIThread("Window.Visible");
    return stateOf(*this).visible;
}

void Window::setVisible(bool visible) {
    requireUIThread("Window.Visible");
    WindowState& d = stateOf(*this);
    d.visible = visible;
    d.applyVisibility();
}

bool Window::Resizeable() const {
    return stateOf(*this).resizeable;
}
bool Window::MinimizeButton() const {
    return stateOf(*this).minimizeButton;
}
bool Window::MaximizeButton() const {
    return stateOf(*this).maximizeButton;
}
bool Window::CloseButton() const {
    return stateOf(*this).closeButton;
}

std::span<const Property<Window>> Window::properties() {
    using T = PropertyType;
    using S = WindowState;
    static const Property<Window> table[] = {
        {"Width", T::Integer, keep<stateOf, &S::width, &S::applySize>},
        {"Height", T::Integer, keep<stateOf, &S::height, &S::applySize>},
        {"MinWidth", T::Integer, keep<stateOf, &S::minWidth, &S::applySize>},
        {"MinHeight", T::Integer, keep<stateOf, &S::minHeight, &S::applySize>},
        {"MaxWidth", T::Integer, keep<stateOf, &S::maxWidth, &S::applySize>},
        {"MaxHeight", T::Integer, keep<stateOf, &S::maxHeight, &S::applySize>},
        // 0, the document window, is the platform's ordinary top-level window.
        {"Frame", T::Integer, keep<stateOf, &S::frame>},
        {"Title", T::String, pass<&Window::setTitle>},
        {"CloseButton", T::Boolean, keep<stateOf, &S::closeButton, &S::applyFlags>},
        {"Resizeable", T::Boolean, keep<stateOf, &S::resizeable, &S::applyResizeable>},
        {"MaximizeButton", T::Boolean, keep<stateOf, &S::maximizeButton, &S::applyFlags>},
        {"MinimizeButton", T::Boolean, keep<stateOf, &S::minimizeButton, &S::applyFlags>},
        // A macOS title-bar button; other platforms have none.
        {"FullScreenButton", T::Boolean, keep<stateOf, &S::fullScreenButton>},
        {"Composite", T::Boolean, keep<stateOf, &S::composite>},
        {"MacProcID", T::Integer, keep<stateOf, &S::macProcID>},
        // 0 leaves the position to the platform's window manager.
        {"Placement", T::Integer, keep<stateOf, &S::placement>},
        {"Visible", T::Boolean, keep<stateOf, &S::visible, &S::applyVisibility>},
        {"LiveResize", T::Boolean, keep<stateOf, &S::liveResize>},
        {"FullScreen", T::Boolean, keep<stateOf, &S::fullScreen, &S::applyVisibility>},
        {"HasBackColor", T::Boolean, keep<stateOf, &S::hasBackColor, &S::applyBackground>},
        {"BackColor", T::Color, keep<stateOf, &S::backColor, &S::applyBackground>},
        // The program defines no menu bar, so there is nothing to show or hide.
        {"MenuBarVisible", T::Boolean, keep<stateOf, &S::menuBarVisible>},
    };
    return table;
}

bool Window::HasProperty(std::string_view name) const {
    return findProperty(properties(), name) != nullptr;
}

void Window::SetProperty(std::string_view name, const PropertyValue& value) {
    requireUIThread("Window.SetProperty");
    const Property<Window>* property = findProperty(properties(), name);
    if (property == nullptr) {
        throw UnsupportedFormatException("a window has no property \"" + std::string(name) + "\"");
    }
    property->set(*this, value);
}

void Window::updateTabOrder() {
    WindowState& d = stateOf(*this);
    if (!d.building) {
        d.applyTabOrder(tabChain(*this));
    }
}

std::vector<Control*> tabChain(const Window& window) {
    std::vector<Control*> chain;
    for (Control* control : window.controls()) {
        if (control->TabStop() && dynamic_cast<const MoviePlayer*>(control) == nullptr) {
            chain.push_back(control);
        }
    }
    std::stable_sort(chain.begin(), chain.end(), [](const Control* a, const Control* b) {
        return a->TabIndex() < b->TabIndex();
    });
    return chain;
}

void raiseEvent(const Window& window, const std::function<void()>& handler) {
    WindowState& d = stateOf(window);
    const Control* focused = d.focusedControl();
    runUnderExceptionPolicy(handler);
    if (focused == nullptr || focused->Enabled()) {
        return;
    }
    const std::vector<Control*> chain = tabChain(window);
    const auto at = std::find(chain.begin(), chain.end(), focused);
    for (size_t step = 1; at != chain.end() && step < chain.size(); ++step) {
        Control* candidate = chain[(static_cast<size_t>(at - chain.begin()) + step) % chain.size()];
        if (candidate->Enabled() && candidate->Visible()) {
            d.giveFocus(*candidate);
            return;
        }
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

} // namespace host
