#include "tools/hushnote-transcribe/TranscribeTool.h"

#include "Auralis/Core/Auralis.h"
#include "Foundation/Error.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include <optional>

namespace hushnote::tools {

namespace {

constexpr const char* kUsage
    = "usage: hushnote-transcribe --model <model-dir> [--language xx] [--word-timestamps] [--sample-length n] [--json] <audio>...\n";

struct Arguments {
    std::string model;
    std::optional<std::string> language;
    bool wordTimestamps = false;
    std::optional<std::int64_t> sampleLength;
    bool json = false;
    std::vector<std::string> files;
};

std::optional<Arguments> parse(const std::vector<std::string>& arguments, std::ostream& err)
{
    Arguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) {
                err << "hushnote-transcribe: " << argument << " needs a value\n";
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == "--model") {
            const auto v = value();
            if (!v) {
                return std::nullopt;
            }
            parsed.model = *v;
        } else if (argument == "--language") {
            const auto v = value();
            if (!v) {
                return std::nullopt;
            }
            parsed.language = *v;
        } else if (argument == "--sample-length") {
            const auto v = value();
            if (!v) {
                return std::nullopt;
            }
            try {
                std::size_t used = 0;
                const auto n = std::stoll(*v, &used);
                if (used != v->size() || n < 1) {
                    throw std::invalid_argument(*v);
                }
                parsed.sampleLength = n;
            } catch (const std::exception&) {
                err << "hushnote-transcribe: --sample-length needs a positive integer\n";
                return std::nullopt;
            }
        } else if (argument == "--word-timestamps") {
            parsed.wordTimestamps = true;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument.starts_with("--")) {
            err << "hushnote-transcribe: unknown option " << argument << "\n";
            return std::nullopt;
        } else {
            parsed.files.push_back(argument);
        }
    }
    if (parsed.model.empty() || parsed.files.empty()) {
        return std::nullopt;
    }
    return parsed;
}

std::string describe(const std::exception_ptr& error)
{
    return describeError(error).description;
}

asio::awaitable<int> transcribeFiles(Arguments arguments, std::ostream& out, std::ostream& err)
{
    auralis::AuralisConfig config;
    config.modelFolder = arguments.model;
    std::unique_ptr<auralis::Auralis> engine;
    std::exception_ptr failure;
    try {
        engine = co_await auralis::Auralis::create(config);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        err << "hushnote-transcribe: cannot load the model at " << arguments.model << ": " << describe(failure) << "\n";
        co_return 1;
    }

    auralis::DecodingOptionsArguments decoding;
    decoding.language = arguments.language;
    decoding.wordTimestamps = arguments.wordTimestamps;
    if (arguments.sampleLength) {
        decoding.sampleLength = *arguments.sampleLength;
    }
    const auralis::DecodingOptions options(decoding);

    // The engine's timings run on from one transcription to the next; each file's result
    // should carry its own figures (plus the model loading).
    const auto loadedTimings = engine->currentTimings;
    int status = 0;
    for (const auto& file : arguments.files) {
        engine->currentTimings = loadedTimings;
        std::vector<std::shared_ptr<auralis::TranscriptionResult>> results;
        try {
            results = co_await engine->transcribe(std::filesystem::path(file), options);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            err << "hushnote-transcribe: " << file << ": " << describe(failure) << "\n";
            failure = nullptr;
            status = 1;
            continue;
        }
        for (const auto& result : results) {
            if (arguments.json) {
                nlohmann::json json;
                to_json(json, *result);
                out << json.dump() << "\n";
            } else {
                out << result->text() << "\n";
            }
        }
        out.flush();
    }
    co_return status;
}

} // namespace

int runTranscribeTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    const auto parsed = parse(arguments, err);
    if (!parsed) {
        err << kUsage;
        return 2;
    }
    asio::io_context context;
    auto future = asio::co_spawn(context, transcribeFiles(*parsed, out, err), asio::use_future);
    context.run();
    try {
        return future.get();
    } catch (const std::exception& error) {
        err << "hushnote-transcribe: " << error.what() << "\n";
        return 1;
    }
}

} // namespace hushnote::tools
