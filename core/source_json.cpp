#include "core/source_json.h"

#include <unordered_set>

#include "core/ast.h"
#include "core/json_write.h"
#include "core/parse.h"

namespace quarvel {

namespace {

// The JSON form of each function as it comes; ends the reading at the first
// name met twice.
class Writer final : public FunctionSink {
 public:
  explicit Writer(TextBuffer& out) : json_(out) {}

  void header(Comments comments) override { json_.header(comments); }
  bool function(Function& fn) override {
    if (!names_.insert(fn.name).second) return false;
    json_.function(fn.name, fn);
    return true;
  }
  void finish() { json_.finish(); }

 private:
  ModuleJsonWriter json_;
  std::unordered_set<Text> names_;  // texts of the context
};

}  // namespace

void write_source_json(std::string_view source, TextBuffer& out) {
  const std::size_t start = out.size();
  // The JSON form runs to some two and a half times the source; room not
  // written is never touched, and is given back when the text is final.
  out.reserve(start + source.size() * 3 + 128);
  {
    // Each function is written once, as soon as it is read: its heads are
    // not worth a lookup.
    Context ctx(Context::Heads::Separate);
    Writer writer(out);
    if (parse_each(source, ctx, writer)) {
      writer.finish();
      return;
    }
  }
  out.truncate(start);
  write_module_json(parse_source(source), out);
}

}  // namespace quarvel
