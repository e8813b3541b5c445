#pragma once

#include "Auralis/Runtime/SafeTensors.h"

#include <cstdint>
#include <string>
#include <vector>

namespace auralis::runtime::detail {

// Reads a float tensor of the stage's weights file, checked against its expected shape.
inline std::vector<float> weight(const SafeTensorsFile& file, const std::string& name, std::vector<std::int64_t> shape)
{
    return file.floatTensor(name, shape);
}

// The query, key and value projections of one attention block stacked into one [3d, d]
// matrix and [3d] bias, with the 1/sqrt(headDim) score scale folded into the query rows.
// Whisper's key projection has no bias.
inline void stackedAttentionProjection(const SafeTensorsFile& file, const std::string& prefix, int d, int heads,
    std::vector<float>& weightOut, std::vector<float>& biasOut)
{
    const auto dd = static_cast<std::size_t>(d);
    const float scale = 1.0f / std::sqrt(static_cast<float>(d / heads));
    weightOut.assign(3 * dd * dd, 0.0f);
    biasOut.assign(3 * dd, 0.0f);
    const std::vector<std::int64_t> square { d, d };
    const std::vector<std::int64_t> vector { d };
    file.readFloatTensor(prefix + "q_proj.weight", square, weightOut.data());
    file.readFloatTensor(prefix + "k_proj.weight", square, weightOut.data() + dd * dd);
    file.readFloatTensor(prefix + "v_proj.weight", square, weightOut.data() + 2 * dd * dd);
    file.readFloatTensor(prefix + "q_proj.bias", vector, biasOut.data());
    file.readFloatTensor(prefix + "v_proj.bias", vector, biasOut.data() + 2 * dd);
    for (std::size_t i = 0; i < dd * dd; ++i) {
        weightOut[i] *= scale;
    }
    for (std::size_t i = 0; i < dd; ++i) {
        biasOut[i] *= scale;
    }
}

} // namespace auralis::runtime::detail
