#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/HeadlessApplication.h"
#if HUSHNOTE_WITH_DESKTOP
#include "HushnoteApp/UI/DesktopApplication.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

int main(int argc, char** argv)
{
    using namespace hushnote;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            const auto info = readInfoDictionary(ApplicationPaths::resourceDirectory() / "Info.json");
            const auto it = info.find("CFBundleShortVersionString");
            std::printf("Hushnote %s\n", it == info.end() ? "development" : it->second.c_str());
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0) {
            try {
                return runHeadless(ApplicationPaths::appSupportDirectory(), ApplicationPaths::resourceDirectory());
            } catch (const std::exception& error) {
                std::fprintf(stderr, "hushnote: %s\n", error.what());
                return 1;
            }
        }
        std::fprintf(stderr, "usage: hushnote [--headless | --version]\n");
        return 2;
    }
#if HUSHNOTE_WITH_DESKTOP
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        std::fprintf(stderr, "hushnote: no X11 display (DISPLAY is not set); run it in a desktop session, "
                             "or use --headless\n");
        return 1;
    }
    try {
        return ui::runDesktopApplication(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "hushnote: %s\n", error.what());
        return 1;
    }
#else
    std::fprintf(stderr, "hushnote: built without the desktop application; use --headless\n");
    return 2;
#endif
}
