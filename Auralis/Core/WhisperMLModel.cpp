#include "Auralis/Core/WhisperMLModel.h"

#include <asio/cancellation_type.hpp>
#include <asio/error.hpp>
#include <asio/this_coro.hpp>

#include <system_error>

namespace auralis {

namespace {

std::optional<int> dimension(const runtime::FeatureDescription* feature, std::size_t index)
{
    if (feature == nullptr || feature->type != runtime::FeatureType::multiArray || !feature->multiArrayConstraint) {
        return std::nullopt;
    }
    const auto& shape = feature->multiArrayConstraint->shape;
    if (index >= shape.size()) {
        return std::nullopt;
    }
    return static_cast<int>(shape[index]);
}

} // namespace

asio::awaitable<void> WhisperMLModel::loadModel(std::filesystem::path at, MLComputeUnits computeUnits, bool prewarmMode)
{
    auto loaded = runtime::Model::load(at, runtime::ModelConfiguration { computeUnits, threadCount_ });
    if (!prewarmMode) {
        model_ = std::move(loaded);
    }
    co_return;
}

std::optional<int> inputDimension(const runtime::Model* model, std::string_view feature, std::size_t index)
{
    return model == nullptr ? std::nullopt : dimension(model->modelDescription().input(feature), index);
}

std::optional<int> outputDimension(const runtime::Model* model, std::string_view feature, std::size_t index)
{
    return model == nullptr ? std::nullopt : dimension(model->modelDescription().output(feature), index);
}

asio::awaitable<void> throwIfCancelled()
{
    const auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
        throw std::system_error(asio::error::make_error_code(asio::error::operation_aborted));
    }
}

} // namespace auralis
