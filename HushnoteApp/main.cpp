#include "HushnoteApp/ApplicationPaths.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            const auto info = hushnote::readInfoDictionary(
                hushnote::ApplicationPaths::resourceDirectory() / "Info.json");
            const auto version = info.count("CFBundleShortVersionString")
                ? info.at("CFBundleShortVersionString") : std::string("development");
            std::printf("Hushnote %s\n", version.c_str());
            return 0;
        }
    }
    std::fprintf(stderr, "usage: hushnote --headless | --version\n");
    return 2;
}
