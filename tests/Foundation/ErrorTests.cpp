#include "Foundation/Error.h"
#include "Foundation/StackTrace.h"
#include "Foundation/Uuid.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <system_error>

namespace hushnote {
namespace {

class SampleError : public Error {
public:
    std::string description() const override { return "Sample went wrong"; }
    std::string typeName() const override { return "HushnoteCore.SampleError"; }
    int code() const override { return 2; }
};

TEST(DescribeError, ReportsOwnSystemAndForeignErrors)
{
    const auto own = describeError(std::make_exception_ptr(SampleError{}));
    EXPECT_EQ(own.typeName, "HushnoteCore.SampleError");
    EXPECT_EQ(own.domain, "HushnoteCore.SampleError");
    EXPECT_EQ(own.code, 2);
    EXPECT_EQ(own.description, "Sample went wrong");

    const auto posix = describeError(
        std::make_exception_ptr(std::system_error(ENOENT, std::generic_category(), "open")));
    EXPECT_EQ(posix.typeName, "std::system_error");
    EXPECT_EQ(posix.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(posix.code, ENOENT);

    const auto fs = describeError(std::make_exception_ptr(std::filesystem::filesystem_error(
        "copy", std::make_error_code(std::errc::no_space_on_device))));
    EXPECT_EQ(fs.typeName, "std::filesystem::__cxx11::filesystem_error");
    EXPECT_EQ(fs.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(fs.code, ENOSPC);

    const auto foreign = describeError(std::make_exception_ptr(std::out_of_range("index")));
    EXPECT_EQ(foreign.typeName, "std::out_of_range");
    EXPECT_EQ(foreign.description, "index");

    const auto unknown = describeError(std::make_exception_ptr(42));
    EXPECT_EQ(unknown.typeName, "unknown");
}

TEST(CurrentStackTrace, IsOneFramePerLineWithoutTrailingNewline)
{
    const auto trace = currentStackTrace();
    ASSERT_FALSE(trace.empty());
    EXPECT_NE(trace.back(), '\n');
    EXPECT_NE(trace.find('\n'), std::string::npos);
    // Executables export their symbols, so frames of functions with external linkage (here
    // GoogleTest's runner) carry demangled names.
    EXPECT_NE(trace.find("testing::Test::Run()"), std::string::npos) << trace;
}

TEST(MakeUuidString, IsUpperCaseVersionFourAndFresh)
{
    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const auto uuid = makeUuidString();
        EXPECT_TRUE(std::regex_match(uuid, shape)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

} // namespace
} // namespace hushnote
