// The checker: scopes, dtypes and shapes of every operation, and the
// constraints a module places on its configuration.
#pragma once

#include "core/ast.h"

namespace quarvel {

CheckReport check_module(const Module& module);

}  // namespace quarvel
