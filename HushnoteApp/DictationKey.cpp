#include "HushnoteApp/DictationKey.h"

#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace hushnote {

namespace {

struct KnownName {
    int code;
    std::string_view display;
};

// Names users know; every other key reads as its evdev name without the prefix.
constexpr std::array kDisplayNames{
    KnownName{KEY_RIGHTCTRL, "Right Ctrl"},
    KnownName{KEY_LEFTCTRL, "Left Ctrl"},
    KnownName{KEY_RIGHTALT, "Right Alt"},
    KnownName{KEY_LEFTALT, "Left Alt"},
    KnownName{KEY_RIGHTSHIFT, "Right Shift"},
    KnownName{KEY_LEFTSHIFT, "Left Shift"},
    KnownName{KEY_RIGHTMETA, "Right Super"},
    KnownName{KEY_LEFTMETA, "Left Super"},
    KnownName{KEY_CAPSLOCK, "Caps Lock"},
    KnownName{KEY_SCROLLLOCK, "Scroll Lock"},
    KnownName{KEY_NUMLOCK, "Num Lock"},
    KnownName{KEY_COMPOSE, "Menu"},
    KnownName{KEY_SYSRQ, "Print Screen"},
    KnownName{KEY_FN, "Fn"},
};

std::string upper(std::string text)
{
    for (auto& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

DictationKey DictationKey::rightControl()
{
    return DictationKey{"KEY_RIGHTCTRL", KEY_RIGHTCTRL};
}

std::optional<DictationKey> DictationKey::fromName(const std::string& name)
{
    std::string canonical = upper(name);
    if (canonical.rfind("KEY_", 0) != 0) {
        canonical = "KEY_" + canonical;
    }
    const int code = libevdev_event_code_from_name(EV_KEY, canonical.c_str());
    if (code < 0) {
        return std::nullopt;
    }
    // Several names share a code (KEY_MUTE and KEY_MIN_INTERESTING); report the one given.
    return DictationKey{canonical, code};
}

std::string DictationKey::displayName() const
{
    for (const auto& known : kDisplayNames) {
        if (known.code == evdevCode) {
            return std::string(known.display);
        }
    }
    std::string name = evdevName.rfind("KEY_", 0) == 0 ? evdevName.substr(4) : evdevName;
    for (std::size_t i = 1; i < name.size(); ++i) {
        if (std::isalpha(static_cast<unsigned char>(name[i - 1]))) {
            name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
        }
    }
    return name;
}

std::optional<int> DictationKey::x11Keycode() const
{
    const int keycode = evdevCode + 8;
    if (keycode > 255) {
        return std::nullopt;
    }
    return keycode;
}

DictationKey dictationKeyFromEnvironment(std::optional<std::string>* invalidName)
{
    const char* value = std::getenv("HUSHNOTE_DICTATION_KEY");
    if (value == nullptr || *value == '\0') {
        return DictationKey::rightControl();
    }
    if (auto key = DictationKey::fromName(value)) {
        return *key;
    }
    if (invalidName != nullptr) {
        *invalidName = std::string(value);
    }
    return DictationKey::rightControl();
}

} // namespace hushnote
