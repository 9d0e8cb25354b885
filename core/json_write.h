// Compact JSON form of modules and check reports, written in one pass into
// one buffer.
#pragma once

#include <string>

#include "core/ast.h"

namespace quarvel {

std::string write_module_json(const Module& module);
std::string write_check_report_json(const CheckReport& report);

}  // namespace quarvel
