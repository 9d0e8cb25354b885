#include "core/check.h"

#include "core/error.h"

namespace quarvel {

CheckReport check_module(const Module&) { fail("check_module is not built yet"); }

}  // namespace quarvel
