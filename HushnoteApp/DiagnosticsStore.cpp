#include "HushnoteApp/DiagnosticsStore.h"

#include "HushnoteApp/ApplicationPaths.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

namespace hushnote {

std::string_view toString(SetupItemStatus status)
{
    switch (status) {
    case SetupItemStatus::pending: return "pending";
    case SetupItemStatus::settingUp: return "settingUp";
    case SetupItemStatus::ready: return "ready";
    case SetupItemStatus::failed: return "failed";
    }
    return "pending";
}

namespace {

std::string distributionName()
{
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            auto value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return "Linux";
}

} // namespace

std::string SystemFacts::appVersionFrom(const std::map<std::string, std::string>& info)
{
    const auto lookup = [&](const char* key, const char* fallback) {
        const auto it = info.find(key);
        return it == info.end() || it->second.empty() ? std::string(fallback) : it->second;
    };
    return lookup("CFBundleShortVersionString", "development") + " ("
        + lookup("CFBundleVersion", "local") + ")";
}

SystemFacts SystemFacts::current(const std::filesystem::path& resourceDirectory)
{
    SystemFacts facts;
    facts.appVersion = appVersionFrom(readInfoDictionary(resourceDirectory / "Info.json"));
    facts.macOSVersion = distributionName();
    struct utsname names {};
    if (::uname(&names) == 0) {
        facts.macOSVersion += std::string(" (kernel ") + names.release + ")";
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        facts.memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }
    return facts;
}

DiagnosticsStore::DiagnosticsStore(Permissions& permissions, SystemFacts facts)
    : permissions_(permissions)
    , facts_(std::move(facts))
{
    refreshPermissions(false);
}

DiagnosticsStore::ObserverID DiagnosticsStore::addObserver(Observer observer)
{
    const auto id = nextObserverID_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void DiagnosticsStore::removeObserver(ObserverID id)
{
    observers_.erase(id);
}

void DiagnosticsStore::notify(Property property)
{
    // Copy so an observer may remove itself (or others) while being notified.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers) {
        if (observers_.count(id)) {
            observer(property);
        }
    }
}

bool DiagnosticsStore::localModelsReady() const
{
    return whisperSetup_.status == SetupItemStatus::ready && gemmaSetup_.status == SetupItemStatus::ready;
}

bool DiagnosticsStore::setupComplete() const
{
    return localModelsReady() && microphone_ == PermissionState::authorized
        && accessibility_ == PermissionState::authorized;
}

void DiagnosticsStore::refreshPermissions(bool includeLaunchAtLogin)
{
    setAccessibility(permissions_.isAccessibilityTrusted() ? PermissionState::authorized : PermissionState::denied);
    setMicrophone(permissions_.microphoneAuthorization());
    if (includeLaunchAtLogin) {
        setLaunchAtLogin(permissions_.isLaunchAtLoginEnabled());
    }
}

void DiagnosticsStore::appendToScratchpad(const std::string& text)
{
    setDictationScratchpad(dictationScratchpad_.empty() ? text : dictationScratchpad_ + " " + text);
    ++dictationScratchpadAppendRevision_;
    notify(Property::dictationScratchpadAppendRevision);
}

} // namespace hushnote
