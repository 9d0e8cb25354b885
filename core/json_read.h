// Reading the JSON form of a module in one forward pass, straight into the
// data model, with positioned error descriptions.
#pragma once

#include <string_view>

#include "core/ast.h"

namespace quarvel {

// Reads the whole text as a module. A reading error ends the call with
// "called `Result::unwrap()` on an `Err` value: Error(\"...\", line: L, column: C)";
// the conversion failures of operations end it with their own message.
Module read_module_json(std::string_view text);

}  // namespace quarvel
