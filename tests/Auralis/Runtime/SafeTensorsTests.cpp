#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <random>

namespace auralis::runtime {
namespace {

std::string smallFile()
{
    SafeTensorsWriter writer;
    writer.setMetadata("format", "pt");
    const std::vector<float> weights { 1, 2, 3, 4, 5, 6 };
    writer.addFloat32("b.weight", { 2, 3 }, weights);
    writer.addFloat16("a.half", { 3 }, std::vector<float> { 0.5f, -2.0f, 1024.0f });
    const std::int32_t ids[] = { 7, 8 };
    writer.add("c.ids", "I32", { 2 }, std::as_bytes(std::span(ids)));
    return writer.serialize();
}

std::string withHeader(const std::string& header, const std::string& data)
{
    std::string bytes(8, '\0');
    const std::uint64_t length = header.size();
    std::memcpy(bytes.data(), &length, 8);
    return bytes + header + data;
}

TEST(SafeTensors, WriterOutputFollowsTheReferenceLayoutAndReadsBack)
{
    const std::string bytes = smallFile();
    std::uint64_t headerLength = 0;
    std::memcpy(&headerLength, bytes.data(), 8);
    EXPECT_EQ(headerLength % 8, 0u);
    const auto header = nlohmann::json::parse(bytes.substr(8, headerLength));
    EXPECT_EQ(bytes.substr(8, 14), "{\"__metadata__");
    // Largest element first, then by name: F32 and I32 (4 bytes, by name) before F16.
    EXPECT_EQ(header["b.weight"]["data_offsets"], nlohmann::json({ 0, 24 }));
    EXPECT_EQ(header["c.ids"]["data_offsets"], nlohmann::json({ 24, 32 }));
    EXPECT_EQ(header["a.half"]["data_offsets"], nlohmann::json({ 32, 38 }));

    const auto file = SafeTensorsFile::fromBytes(bytes, "small.safetensors");
    EXPECT_EQ(file.metadata().at("format"), "pt");
    ASSERT_EQ(file.tensors().size(), 3u);
    const std::int64_t shape[] = { 2, 3 };
    EXPECT_EQ(file.floatTensor("b.weight", shape), (std::vector<float> { 1, 2, 3, 4, 5, 6 }));
    const std::int64_t halfShape[] = { 3 };
    EXPECT_EQ(file.floatTensor("a.half", halfShape), (std::vector<float> { 0.5f, -2.0f, 1024.0f }));
    EXPECT_EQ(file.find("c.ids")->dtype, "I32");
    EXPECT_EQ(file.find("missing"), nullptr);
}

TEST(SafeTensors, MalformedFilesAreRefusedWithTheReason)
{
    const std::string f32x2(8, '\0');
    struct Case {
        const char* name;
        std::string bytes;
        const char* message;
    };
    std::string hugeLength(8, '\0');
    hugeLength[5] = '\x10';
    const Case cases[] = {
        { "shorter than the length field", "abc", "too small for a header length" },
        { "header length over the cap", hugeLength + "{}", "exceeds the 100 MB limit" },
        { "header length past the end", withHeader("{}", "").substr(0, 9), "runs past the end" },
        { "header not an object", withHeader("[1,2]", ""), "does not start with '{'" },
        { "header not JSON", withHeader("{\"a\":", ""), "header is not valid JSON" },
        { "invalid UTF-8 in the header", withHeader("{\"\xC3\x28\":{}}", ""), "header is not valid JSON" },
        { "duplicate tensor", withHeader(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},"a":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})", f32x2),
            "tensor \"a\" appears twice" },
        { "unknown dtype", withHeader(R"({"a":{"dtype":"F33","shape":[2],"data_offsets":[0,8]}})", f32x2), "unknown dtype \"F33\"" },
        { "extra field", withHeader(R"({"a":{"dtype":"F32","shape":[2],"data_offsets":[0,8],"x":1}})", f32x2), "exactly dtype, shape and data_offsets" },
        { "negative dimension", withHeader(R"({"a":{"dtype":"F32","shape":[-2],"data_offsets":[0,8]}})", f32x2), "non-negative integer" },
        { "size differs from the shape", withHeader(R"({"a":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", f32x2), "needs 12 bytes" },
        { "overflowing shape", withHeader(R"({"a":{"dtype":"F32","shape":[281474976710655,281474976710655,281474976710655],"data_offsets":[0,8]}})", f32x2),
            "needs" },
        { "gap between tensors",
            withHeader(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]},"b":{"dtype":"F32","shape":[0],"data_offsets":[8,8]}})", f32x2),
            "offsets must be contiguous" },
        { "end before begin", withHeader(R"({"a":{"dtype":"F32","shape":[0],"data_offsets":[8,0]}})", f32x2), "ends before it begins" },
        { "truncated data", withHeader(R"({"a":{"dtype":"F32","shape":[4],"data_offsets":[0,16]}})", f32x2), "(truncated)" },
        { "trailing bytes", withHeader(R"({"a":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}})", f32x2), "(trailing bytes)" },
        { "metadata value not a string", withHeader(R"({"__metadata__":{"n":1}})", ""), "is not a string" },
        { "sub-byte tensor of odd size", withHeader(R"({"a":{"dtype":"F4","shape":[3],"data_offsets":[0,2]}})", "ab"), "whole number of bytes" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            SafeTensorsFile::fromBytes(c.bytes, "broken.safetensors");
            ADD_FAILURE() << "accepted";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.kind(), ModelError::Kind::loadFailed);
            EXPECT_EQ(error.description().rfind("broken.safetensors: ", 0), 0u) << error.description();
            EXPECT_NE(error.description().find(c.message), std::string::npos) << error.description();
        }
    }
    // Scalars and empty tensors are allowed.
    const auto edge = SafeTensorsFile::fromBytes(
        withHeader(R"({"s":{"dtype":"F32","shape":[],"data_offsets":[0,4]},"e":{"dtype":"F16","shape":[0,5],"data_offsets":[4,4]}})",
            std::string(4, '\0')),
        "edge.safetensors");
    EXPECT_EQ(edge.find("s")->elementCount(), 1u);
    EXPECT_EQ(edge.find("e")->elementCount(), 0u);
}

// Random corruptions of a valid file: each is either a valid file whose tensors lie inside
// the buffer, or a ModelError; never a crash or an out-of-bounds read (ASan watches).
TEST(SafeTensors, SurvivesRandomCorruption)
{
    const std::string valid = smallFile();
    std::mt19937 random(12345);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = valid;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 5) {
            case 0: bytes[random() % bytes.size()] = static_cast<char>(random()); break;
            case 1: bytes.resize(random() % (bytes.size() + 1)); break;
            case 2: bytes.insert(random() % (bytes.size() + 1), 1, "{}[]\",:0123456789e-"[random() % 19]); break;
            case 3:
                if (bytes.size() >= 8) {
                    const std::uint64_t length = random() % 200;
                    std::memcpy(bytes.data(), &length, 8);
                }
                break;
            default:
                if (!bytes.empty()) {
                    bytes.erase(random() % bytes.size(), 1 + random() % 4);
                }
            }
            if (bytes.empty()) {
                break;
            }
        }
        try {
            const auto file = SafeTensorsFile::fromBytes(bytes, "fuzz.safetensors");
            for (const auto& tensor : file.tensors()) {
                const auto data = file.tensorBytes(tensor);
                ASSERT_GE(data.data(), reinterpret_cast<const std::byte*>(0));
                ASSERT_LE(tensor.end, bytes.size());
            }
            ++accepted;
        } catch (const ModelError& error) {
            ASSERT_EQ(error.kind(), ModelError::Kind::loadFailed);
        }
    }
    EXPECT_LT(accepted, 3000);
}

} // namespace
} // namespace auralis::runtime
