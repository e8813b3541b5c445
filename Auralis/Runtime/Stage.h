#pragma once

#include "Auralis/Runtime/MultiArray.h"

#include <span>

namespace auralis::runtime {

// The computation behind one model. Model checks names, shapes and element types before
// calling predict, so a stage sees exactly the arrays its description lists, in that order,
// and writes every element of the outputs it is handed (also in description order).
class Stage {
public:
    virtual ~Stage() = default;
    virtual void predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs) = 0;
};

} // namespace auralis::runtime
