#include "app/App.h"

#include "app/Constants.h"
#include "app/UpdateCheck.h"
#include "host/Strings.h"

namespace tamsel {
namespace {

App& registeredApp() {
    tamsel::App* app = ::App();
    if (app == nullptr) {
        throw host::NilObjectException("there is no application object");
    }
    return *app;
}

} // namespace

App::App() = default;

void App::Open() {
    Event_Open();
}

// The update check, at every start; nothing else happens on Open.
void App::Event_Open() {
    runUpdateCheck(std::string(constants::kVersionEndpoint),
                   std::string(constants::kProductWebSite), constants::kVersionCheckTimeoutSeconds);
}

std::string VersionString() {
    // A fresh accessor call for each component: nothing is kept between the reads.
    const std::string major = host::Int64ToText(registeredApp().MajorVersion());
    const std::string minor = host::Int64ToText(registeredApp().MinorVersion());
    const std::string bug = host::Int64ToText(registeredApp().BugVersion());
    return major + "." + minor + "." + bug;
}

} // namespace tamsel

tamsel::App* App() {
    host::Application* registered = host::getAppObject();
    if (registered == nullptr) {
        return nullptr;
    }
    auto* app = dynamic_cast<tamsel::App*>(registered);
    if (app == nullptr) {
        throw host::IllegalCastException("the application object is not an App");
    }
    return app;
}
