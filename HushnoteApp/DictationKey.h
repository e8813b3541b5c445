#pragma once

#include <optional>
#include <string>

namespace hushnote {

// The key held to dictate, named by its Linux input-event name ("KEY_RIGHTCTRL"). Most PC
// keyboards never report Fn, so Right Ctrl is the default.
struct DictationKey {
    // The canonical evdev name, e.g. "KEY_RIGHTCTRL".
    std::string evdevName;
    // The evdev key code (linux/input-event-codes.h).
    int evdevCode = 0;

    static DictationKey rightControl();

    // Looks `name` up among the evdev key names, case-insensitively and with or without the
    // "KEY_" prefix; nullopt for names that are not keys.
    static std::optional<DictationKey> fromName(const std::string& name);

    // What the user should hold, for status texts: "Right Ctrl", "F13", "Caps Lock".
    std::string displayName() const;

    // The X11 key code (evdev code + 8). X11 cannot report codes above 255, so keys beyond
    // that (KEY_FN among them) have none.
    std::optional<int> x11Keycode() const;

    bool operator==(const DictationKey&) const = default;
};

// The key chosen with HUSHNOTE_DICTATION_KEY, or Right Ctrl when the variable is unset or
// empty. `invalidName` receives a set value that names no key (Right Ctrl is used then).
DictationKey dictationKeyFromEnvironment(std::optional<std::string>* invalidName = nullptr);

} // namespace hushnote
