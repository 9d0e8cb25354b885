#include "core/format.h"

#include "core/error.h"

namespace quarvel {

std::string format_module(const Module&, std::uint64_t) { fail("format_module is not built yet"); }

}  // namespace quarvel
