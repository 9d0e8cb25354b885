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

/// What `parse_each` hands over as it reads.
class FunctionSink {
 public:
  /// The comments before the first function: once, before any function.
  virtual void header(Comments comments) = 0;
  /// A function just read, built over the context given to `parse_each`;
  /// the sink may move it away. Returning false ends the reading there.
  virtual bool function(Function& fn) = 0;

 protected:
  ~FunctionSink() = default;
};

/// Parses `source` as parse_source does, handing over each function as soon
/// as it is read, in source order: for a caller that needs one function at a
/// time. Its texts are copies in `ctx`. A failure is the one parse_source
/// meets, at the same place, and comes after the functions before it were
/// handed over. Returns false when the sink ended the reading.
bool parse_each(std::string_view source, Context& ctx, FunctionSink& sink);

// Reads the whole file at `path` as UTF-8 text and parses it.
Module parse_file(const std::string& path);

}  // namespace quarvel
