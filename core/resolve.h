// Axis patterns and axis inference for view and tile operations.
#pragma once

#include "core/ast.h"

namespace quarvel {

// A copy of `module` whose view and tile operations carry inferred axis sizes.
Module infer_axes(const Module& module);

}  // namespace quarvel
