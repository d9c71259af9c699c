#pragma once

// Host windows. A window is made through Window::create, which runs the construction hooks
// Layout and CreateControls, shows the window when it is Visible and holds it open until it
// is closed. Controls live in their window, registered and looked up by name.
//
// Every operation must be called on the main thread and raises ThreadAccessingUIException
// otherwise.

#include "host/Exceptions.h"
#include "host/PropertyBlock.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class Control;

class Window : public PropertyTarget {
public:
    Window();
    ~Window() override;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Makes a window of class W registered under its full class name, builds it and
    // returns it; the host keeps it while it is open.
    template <class W>
    static std::shared_ptr<W> create(const std::string& className) {
        auto window = std::make_shared<W>();
        build(window, className);
        return window;
    }

    // Registers a control made inside this window under its name; the window owns it.
    // Raises UnsupportedFormatException for an empty or already used name.
    Control& registerControl(const std::string& name, std::unique_ptr<Control> control);
    // The control registered under name (exact spelling), or nullptr.
    Control* controlNamed(std::string_view name) const;
    // The controls in the order they were registered.
    std::vector<Control*> controls() const;

    const std::string& ClassName() const;

    std::string Title() const;
    void setTitle(const std::string& title);
    int64_t Left() const;
    int64_t Top() const;
    int64_t Width() const;
    int64_t Height() const;
    void setWidth(int64_t width);
    void setHeight(int64_t height);
    bool Visible() const;
    void setVisible(bool visible);
    bool Resizeable() const;
    bool MinimizeButton() const;
    bool MaximizeButton() const;
    bool CloseButton() const;
    // Closes the window as its close button does.
    void Close();

    bool HasProperty(std::string_view name) const override;
    void SetProperty(std::string_view name, const PropertyValue& value) override;
    static std::span<const Property<Window>> properties();

    // Called by controls when their place in the tab order changes.
    void updateTabOrder();

    struct Impl;
    Impl& impl() const { return *impl_; }

protected:
    // Construction hooks, called in this order while the window is built.
    virtual void Layout() {}
    virtual void CreateControls() {}

private:
    static void build(const std::shared_ptr<Window>& window, const std::string& className);

    std::unique_ptr<Impl> impl_;
};

// The open window registered under the class name (e.g. "Window1.Window1"), or nullptr.
std::shared_ptr<Window> RuntimeGetImplicitWindow(std::string_view className);
// How many windows are open.
int64_t WindowCount();
// The open windows, frontmost last registered last.
std::vector<std::shared_ptr<Window>> openWindows();

// Looks a control up by name and checks its class: a nil window or a missing control
// raises NilObjectException, a control of another class IllegalCastException.
template <class C>
C& controlAs(const Window* window, std::string_view name);

} // namespace host

#include "host/Controls.h"

namespace host {

template <class C>
C& controlAs(const Window* window, std::string_view name) {
    if (window == nullptr) {
        throw NilObjectException("the window is nil");
    }
    Control* control = window->controlNamed(name);
    if (control == nullptr) {
        throw NilObjectException("the window has no control named \"" + std::string(name) + "\"");
    }
    C* typed = dynamic_cast<C*>(control);
    if (typed == nullptr) {
        throw IllegalCastException("the control \"" + std::string(name) + "\" is a " +
                                   control->ClassName());
    }
    return *typed;
}

} // namespace host
