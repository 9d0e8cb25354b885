// Source front end: source text to a module.
#pragma once

#include <string>
#include <string_view>

#include "core/ast.h"
#include "core/file_read.h"  // valid_utf8: what parse_file asks of a file

namespace quarvel {

// Parses source text into a module; the first problem ends the call. Every
// text of the module is a copy in the module's context: the module does not
// keep `source` alive.
Module parse_source(std::string_view source);

// Reads the whole file at `path` as UTF-8 text and parses it.
Module parse_file(const std::string& path);

}  // namespace quarvel
