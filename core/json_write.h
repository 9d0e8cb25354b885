// Compact JSON form of modules and check reports, written in one pass into
// one buffer.
#pragma once

#include <array>
#include <cstddef>
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

/// The JSON form of a module written as its parts come, for a caller that
/// holds one function at a time: `header` once, then `function` for each
/// function in the module's order, then `finish`. The text is that of
/// write_module_json, which goes through this writer.
class ModuleJsonWriter {
 public:
  explicit ModuleJsonWriter(TextBuffer& out) : out_(out) {}

  void header(const Comments& header_comments);
  void function(Text key, const Function& fn);
  void finish();

  /// A function in parts, for ops that come one at a time: `function_head`
  /// writes all of `fn` but its ops, which it does not read; `op` writes each
  /// op; `function_end` closes the function. Ops written before any
  /// `function_head` are a list's items on their own.
  void function_head(Text key, const Function& fn);
  void op(const Op& op);
  void function_end();

  /// Writes a type, or null for none. The last few types written are
  /// remembered by their place in the output, which must not be cut while
  /// this writer is in use.
  class RecentTypes {
   public:
    void operator()(TextBuffer& out, TypeRef ty);

   private:
    struct Written {
      const TensorType* type = nullptr;
      std::size_t offset = 0;
      std::size_t size = 0;
    };
    std::array<Written, 4> written_{};
    std::size_t next_ = 0;
  };

 private:
  TextBuffer& out_;
  RecentTypes types_;
  bool first_ = true;     // no function written yet
  bool first_op_ = true;  // no op of the function written yet
};

}  // namespace quarvel
