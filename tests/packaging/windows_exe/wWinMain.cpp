// Only the entry point: linking fails unless the build selects the wide GUI start-up code.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
