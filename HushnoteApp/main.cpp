#include "HushnoteApp/ApplicationPaths.h"
#include "HushnoteApp/HeadlessApplication.h"

#include <cstdio>
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
    }
    std::fprintf(stderr, "usage: hushnote --headless | --version\n");
    return 2;
}
