#include "HushnoteApp/DiagnosticsStore.h"
#include "tests/Fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace hushnote {
namespace {

using Property = DiagnosticsStore::Property;

TEST(DiagnosticsStore, StartsWithTheDocumentedValues)
{
    testing::FakePermissions permissions;
    permissions.accessibilityTrusted = false;
    permissions.microphone = PermissionState::notDetermined;
    DiagnosticsStore store(permissions, SystemFacts{"1.0 (3)", "Debian", 42});
    EXPECT_EQ(store.dictationState(), DictationState::idle);
    EXPECT_EQ(store.detail(), "Starting local services");
    EXPECT_FALSE(store.hasError());
    EXPECT_EQ(store.accessibility(), PermissionState::denied);
    EXPECT_EQ(store.microphone(), PermissionState::notDetermined);
    EXPECT_EQ(store.whisperModel(), "Not configured");
    EXPECT_EQ(store.whisperSetup(), (SetupItemState{SetupItemStatus::pending, "Waiting to install Whisper", std::nullopt}));
    EXPECT_EQ(store.gemmaSetup(), (SetupItemState{SetupItemStatus::pending, "Waiting to install Gemma", std::nullopt}));
    EXPECT_EQ(store.metrics().capacity(), 20);
    EXPECT_FALSE(store.localModelsReady());
    EXPECT_FALSE(store.setupComplete());
    EXPECT_EQ(store.appVersion(), "1.0 (3)");
    EXPECT_EQ(store.memory(), 42u);
}

TEST(DiagnosticsStore, DerivedFlagsNeedModelsAndBothPermissions)
{
    testing::FakePermissions permissions;
    permissions.microphone = PermissionState::notDetermined;
    DiagnosticsStore store(permissions, {});
    store.setWhisperSetup({SetupItemStatus::ready, "Ready", std::nullopt});
    store.setGemmaSetup({SetupItemStatus::ready, "Ready", SetupItemProgress{10, 10}});
    EXPECT_TRUE(store.localModelsReady());
    EXPECT_FALSE(store.setupComplete());
    permissions.microphone = PermissionState::authorized;
    store.refreshPermissions(false);
    EXPECT_TRUE(store.setupComplete());
    permissions.accessibilityTrusted = false;
    store.refreshPermissions(false);
    EXPECT_EQ(store.accessibility(), PermissionState::denied);
    EXPECT_FALSE(store.setupComplete());
}

TEST(DiagnosticsStore, LaunchAtLoginIsOnlyReadWhenAsked)
{
    testing::FakePermissions permissions;
    DiagnosticsStore store(permissions, {});
    permissions.launchAtLogin = true;
    store.refreshPermissions(false);
    EXPECT_FALSE(store.launchAtLogin());
    store.refreshPermissions(true);
    EXPECT_TRUE(store.launchAtLogin());
    permissions.launchAtLogin = false;
    store.refreshPermissions(true);
    EXPECT_FALSE(store.launchAtLogin());
}

TEST(DiagnosticsStore, ScratchpadAppendsWithOneSeparatorAndCountsRevisions)
{
    testing::FakePermissions permissions;
    DiagnosticsStore store(permissions, {});
    std::vector<Property> changes;
    const auto id = store.addObserver([&](Property p) { changes.push_back(p); });
    store.appendToScratchpad("first ");
    store.appendToScratchpad("second ");
    EXPECT_EQ(store.dictationScratchpad(), "first  second ");
    EXPECT_EQ(store.dictationScratchpadAppendRevision(), 2);
    EXPECT_EQ(changes, (std::vector<Property>{Property::dictationScratchpad, Property::dictationScratchpadAppendRevision,
                           Property::dictationScratchpad, Property::dictationScratchpadAppendRevision}));

    // Writing an unchanged value announces nothing; removed observers hear nothing.
    changes.clear();
    store.setDetail("Starting local services");
    EXPECT_TRUE(changes.empty());
    store.setDetail("Ready");
    EXPECT_EQ(changes, std::vector<Property>{Property::detail});
    store.removeObserver(id);
    store.setHasError(true);
    EXPECT_EQ(changes.size(), 1u);
}

TEST(SystemFacts, AppVersionFallsBackForMissingKeys)
{
    EXPECT_EQ(SystemFacts::appVersionFrom({{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "7"}}), "1.2 (7)");
    EXPECT_EQ(SystemFacts::appVersionFrom({}), "development (local)");
    EXPECT_EQ(SystemFacts::appVersionFrom({{"CFBundleVersion", "7"}}), "development (7)");
    const auto facts = SystemFacts::current("/nonexistent");
    EXPECT_EQ(facts.appVersion, "development (local)");
    EXPECT_GT(facts.memory, 0u);
    EXPECT_NE(facts.macOSVersion.find("kernel"), std::string::npos);
}

} // namespace
} // namespace hushnote
