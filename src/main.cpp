// The process entry: the arguments go to the host runtime untouched, then the program's
// start-up runs and its exit status becomes the process's.

#include "app/Startup.h"
#include "host/Application.h"

#if defined(_WIN32)
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, PWSTR commandLine,
                    int showCommand) {
    host::RuntimeInit(instance, previousInstance, commandLine, showCommand);
    return tamsel::runProcess();
}
#else
int main(int argc, char** argv) {
    host::RuntimeInit(argc, argv);
    return tamsel::runProcess();
}
#endif
