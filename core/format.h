// The source printer: canonical text of a module.
#pragma once

#include <cstdint>
#include <string>

#include "core/ast.h"

namespace quarvel {

// Function headers longer than `width` bytes are broken, one line per parameter.
std::string format_module(const Module& module, std::uint64_t width);

}  // namespace quarvel
