// Configuration from a TOML file: the `shape`, `scalar` and `vector` tables
// as configuration values, and the `weights` table as a map from weight key
// to target name.
//
// Ownership: the readers only read their arguments during the call and keep
// nothing; the maps they return belong to the caller and hold their own
// copies of every key and text. Nothing here depends on the embedding.
//
// Failures end the call with a `Failure` (core/error.h) whose message is one of:
//   "failed to read {path}: {why}"    the file cannot be had whole as UTF-8;
//                                      `why` is the operating system's
//                                      description of the error, "file name
//                                      contained an unexpected NUL byte" or
//                                      "stream did not contain valid UTF-8"
//   "failed to parse {path}: {error}" the text is no TOML document (duplicate
//                                      keys and redefined tables included), or
//                                      it nests deeper than kMaxTomlNesting
//                                      (description "tables, keys and arrays
//                                      nested more than 1000 levels deep")
//   "unexpected value in vector section"
//                                      an array in a value table holds an
//                                      element that is neither an integer nor
//                                      a float
// `{path}` is the path exactly as given. `{error}` spans several lines: the
// position, the offending line under a gutter of the line number's width,
// a caret under the column, and the parser's description, for example
//   TOML parse error at line 1, column 5
//     |
//   1 | a = = 1
//     |     ^
//   Error while parsing value: could not determine value type
// The column and the caret count characters; a byte order mark at the start
// of the text is neither shown nor counted, and a tab before the column stays
// a tab under it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/ast.h"
#include "core/config.h"

namespace quarvel {

// Weight key ("weights.layer.attn") to target name; the name may hold "{}"
// holes that the index parts of a reference fill (core/flat_load.h).
using WeightMap = TextMap<std::string>;

// Keys, tables and arrays nested deeper than this are refused before the TOML
// parser sees the text (its tree building and teardown recurse per level).
// The count is an upper bound of the parser's depth: a table header counts
// two levels per key part, a dotted key one level per dot, an inline table or
// array one level plus the dots of its key.
inline constexpr std::size_t kMaxTomlNesting = 1000;

// The whole file at `path` as UTF-8 text; fails with "failed to read {path}: {why}".
std::string read_config_text(const std::string& path);

// The configuration values of a TOML document: the entries of the root tables
// "shape", "scalar" and "vector", read in that order, so that a later table
// replaces a name an earlier one gave. An integer gives `Int`, a float (inf
// and nan included) `Float`, an array of numbers `List`; other kinds, and
// root entries of those names that are not tables, are skipped without a
// message. `path` only names the document in messages.
ConfigMap config_from_toml(std::string_view text, std::string_view path);

// The string values under the root table "weights", at any depth, keyed
// "weights.{key}.{key}..." (keys joined without escaping; the table's keys in
// ascending byte order, a sub-table finished before the next key, the last
// value under a key text wins). Values of other kinds give nothing.
WeightMap weights_from_toml(std::string_view text, std::string_view path);

// Each reads and parses the file on its own; `config_path` names it in messages.
ConfigMap load_config(const std::string& config_path);
WeightMap load_weights(const std::string& config_path);

}  // namespace quarvel
