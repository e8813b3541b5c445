#include "HushnoteApp/DictationKey.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

TEST(DictationKey, NamesResolveToEvdevCodesAndX11Keycodes)
{
    struct Case {
        const char* name;
        int evdevCode;
        std::optional<int> x11Keycode;
        const char* display;
    };
    const Case cases[] = {
        {"KEY_RIGHTCTRL", 97, 105, "Right Ctrl"},
        {"key_rightalt", 100, 108, "Right Alt"},
        {"F13", 183, 191, "F13"},
        {"KEY_CAPSLOCK", 58, 66, "Caps Lock"},
        {"KEY_PAUSE", 119, 127, "Pause"},
        // Beyond X11's 255: only evdev can see it.
        {"KEY_FN", 0x1d0, std::nullopt, "Fn"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto key = DictationKey::fromName(c.name);
        ASSERT_TRUE(key);
        EXPECT_EQ(key->evdevCode, c.evdevCode);
        EXPECT_EQ(key->x11Keycode(), c.x11Keycode);
        EXPECT_EQ(key->displayName(), c.display);
    }
    EXPECT_FALSE(DictationKey::fromName("KEY_NOT_A_KEY"));
    EXPECT_FALSE(DictationKey::fromName("REL_X"));
}

TEST(DictationKey, EnvironmentChoosesTheKeyAndFallsBackToRightCtrl)
{
    struct Case {
        const char* value;
        const char* expected;
        bool invalid;
    };
    const Case cases[] = {
        {nullptr, "KEY_RIGHTCTRL", false},
        {"", "KEY_RIGHTCTRL", false},
        {"KEY_F13", "KEY_F13", false},
        {"KEY_BOGUS", "KEY_RIGHTCTRL", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value) {
            ::setenv("HUSHNOTE_DICTATION_KEY", c.value, 1);
        } else {
            ::unsetenv("HUSHNOTE_DICTATION_KEY");
        }
        std::optional<std::string> invalid;
        EXPECT_EQ(dictationKeyFromEnvironment(&invalid).evdevName, c.expected);
        EXPECT_EQ(invalid.has_value(), c.invalid);
    }
    ::unsetenv("HUSHNOTE_DICTATION_KEY");
}

} // namespace
} // namespace hushnote
