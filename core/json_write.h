// Compact JSON form of modules and check reports, written in one pass into
// one buffer.
#pragma once

#include <string>

#include "core/ast.h"
#include "core/text_buffer.h"

namespace quarvel {

std::string write_module_json(const Module& module);
std::string write_check_report_json(const CheckReport& report);

// The same texts appended to `out`, which may write into storage of the
// caller's (the final result object, say).
void write_module_json(const Module& module, TextBuffer& out);
void write_check_report_json(const CheckReport& report, TextBuffer& out);

}  // namespace quarvel
