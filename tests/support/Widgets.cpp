#include "support/Widgets.h"

#include "host/qt/WidgetAccess.h"

namespace testsupport {

QWidget* widgetOf(const host::Window& window) {
    return host::widgetOf(window);
}

QWidget* widgetOf(const host::Control& control) {
    return host::widgetOf(control);
}

} // namespace testsupport
