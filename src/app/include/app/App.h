#pragma once

// The application object: one per process, created and registered in early start-up.

#include "host/Application.h"

#include <string>

namespace tamsel {

class App : public host::Application {
public:
    App();

    // The only event the application handles.
    void Open() override;
    void Event_Open();
};

// "Major.Minor.Bug" in plain decimal from the registered application object, built afresh
// at each call. Raises NilObjectException when there is no application object.
std::string VersionString();

} // namespace tamsel

// The registered application object as an App: nullptr when none is registered,
// IllegalCastException when the registered object is not an App.
tamsel::App* App();
