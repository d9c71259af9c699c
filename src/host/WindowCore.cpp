// The rules of host windows that are the same on every platform: the open windows and their
// implicit instances, building a window, its controls by name and its property table.

#include "host/Backend.h"
#include "host/Window.h"
#include "host/WindowState.h"

#include <algorithm>
#include <array>
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

// One entry a property: the name HasProperty answers to and what SetProperty does with it.
struct WindowProperty {
    std::string_view name;
    void (*set)(Window& window, WindowState& d, const PropertyValue& value);
};

const std::array<WindowProperty, 22> kWindowProperties = {{
    {"Width",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.width = integerOf(v);
         d.applySize();
     }},
    {"Height",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.height = integerOf(v);
         d.applySize();
     }},
    {"MinWidth",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.minWidth = integerOf(v);
         d.applySize();
     }},
    {"MinHeight",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.minHeight = integerOf(v);
         d.applySize();
     }},
    {"MaxWidth",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.maxWidth = integerOf(v);
         d.applySize();
     }},
    {"MaxHeight",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.maxHeight = integerOf(v);
         d.applySize();
     }},
    // 0, the document window, is the platform's ordinary top-level window.
    {"Frame", [](Window&, WindowState& d, const PropertyValue& v) { d.frame = integerOf(v); }},
    {"Title",
     [](Window& w, WindowState&, const PropertyValue& v) { w.setTitle(std::get<std::string>(v)); }},
    {"CloseButton",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.closeButton = booleanOf(v);
         d.applyFlags();
     }},
    {"Resizeable",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.resizeable = booleanOf(v);
         d.applyResizeable();
     }},
    {"MaximizeButton",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.maximizeButton = booleanOf(v);
         d.applyFlags();
     }},
    {"MinimizeButton",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.minimizeButton = booleanOf(v);
         d.applyFlags();
     }},
    // A macOS title-bar button; other platforms have none.
    {"FullScreenButton",
     [](Window&, WindowState& d, const PropertyValue& v) { d.fullScreenButton = booleanOf(v); }},
    {"Composite",
     [](Window&, WindowState& d, const PropertyValue& v) { d.composite = booleanOf(v); }},
    {"MacProcID",
     [](Window&, WindowState& d, const PropertyValue& v) { d.macProcID = integerOf(v); }},
    // 0 leaves the position to the platform's window manager.
    {"Placement",
     [](Window&, WindowState& d, const PropertyValue& v) { d.placement = integerOf(v); }},
    {"Visible",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.visible = booleanOf(v);
         d.applyVisibility();
     }},
    {"LiveResize",
     [](Window&, WindowState& d, const PropertyValue& v) { d.liveResize = booleanOf(v); }},
    {"FullScreen",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.fullScreen = booleanOf(v);
         d.applyVisibility();
     }},
    {"HasBackColor",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.hasBackColor = booleanOf(v);
         d.applyBackground();
     }},
    {"BackColor",
     [](Window&, WindowState& d, const PropertyValue& v) {
         d.backColor = std::get<Color>(v);
         d.applyBackground();
     }},
    // The program defines no menu bar, so there is nothing to show or hide.
    {"MenuBarVisible",
     [](Window&, WindowState& d, const PropertyValue& v) { d.menuBarVisible = booleanOf(v); }},
}};

const WindowProperty* windowProperty(std::string_view name) {
    const auto it = std::find_if(kWindowProperties.begin(), kWindowProperties.end(),
                                 [name](const WindowProperty& p) { return p.name == name; });
    return it == kWindowProperties.end() ? nullptr : &*it;
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

bool Window::HasProperty(std::string_view name) const {
    return windowProperty(name) != nullptr;
}

void Window::SetProperty(std::string_view name, const PropertyValue& value) {
    requireUIThread("Window.SetProperty");
    const WindowProperty* property = windowProperty(name);
    if (property == nullptr) {
        throw UnsupportedFormatException("a window has no property \"" + std::string(name) + "\"");
    }
    property->set(*this, stateOf(*this), value);
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
