// Source front end: tokenizer, parser cursor and grammar.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"

namespace quarvel {

// Cuts source text into token texts (views into `source`). Never fails.
std::vector<std::string_view> tokenize(std::string_view source);

// Parses source text into a module; the first problem ends the call.
Module parse_source(std::string_view source);

// Reads the whole file at `path` as UTF-8 text and parses it.
Module parse_file(const std::string& path);

}  // namespace quarvel
