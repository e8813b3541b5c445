#include "Foundation/Error.h"

#include <cxxabi.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace hushnote {

const char* Error::what() const noexcept
{
    try {
        what_ = description();
    } catch (...) {
        return "Hushnote error";
    }
    return what_.c_str();
}

namespace {

std::string demangle(const char* mangled)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

std::string systemDomain(const std::error_category& category)
{
    if (category == std::generic_category() || category == std::system_category()) {
        return "NSPOSIXErrorDomain";
    }
    return std::string("std.") + category.name();
}

} // namespace

std::string demangledTypeName(const std::exception& error)
{
    return demangle(typeid(error).name());
}

ErrorInfo describeError(const std::exception_ptr& error)
{
    ErrorInfo info;
    if (!error) {
        info.typeName = "unknown";
        info.domain = "unknown";
        info.description = "Unknown error";
        return info;
    }
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        info.typeName = e.typeName();
        info.domain = e.domain();
        info.code = e.code();
        info.description = e.description();
    } catch (const std::filesystem::filesystem_error& e) {
        info.typeName = demangledTypeName(e);
        info.domain = systemDomain(e.code().category());
        info.code = e.code().value();
        info.description = e.what();
    } catch (const std::system_error& e) {
        info.typeName = demangledTypeName(e);
        info.domain = systemDomain(e.code().category());
        info.code = e.code().value();
        info.description = e.what();
    } catch (const std::exception& e) {
        info.typeName = demangledTypeName(e);
        info.domain = info.typeName;
        info.code = 0;
        info.description = e.what();
    } catch (...) {
        info.typeName = "unknown";
        info.domain = "unknown";
        info.description = "Unknown error";
    }
    return info;
}

} // namespace hushnote
