#include "core/flat_json.h"

#include <cstring>
#include <vector>

#include "core/json_write.h"

namespace quarvel {

namespace {

// Writes each flat op as it comes; the lists of an op are built in room of
// its own, used again by the next.
class JsonOps final : public FlatOpSink {
 public:
  explicit JsonOps(TextBuffer& out) : json_(out) {}

  Text* outputs(std::size_t n) override {
    outputs_.resize(n);
    return outputs_.data();
  }
  Atom* args(std::size_t n) override {
    args_.resize(n);
    return args_.data();
  }
  void add(const Op& op) override { json_.op(op); }

 private:
  ModuleJsonWriter json_;
  std::vector<Text> outputs_;
  std::vector<Atom> args_;
};

}  // namespace

void write_flat_json(const Module& module, std::string_view entry, const CacheKeys& cache_keys,
                     TextBuffer& out) {
  const std::size_t start = out.size();
  JsonOps ops(out);
  const Function flat = flatten_each(module, entry, cache_keys, ops);

  TextBuffer head(256);
  ModuleJsonWriter head_json(head);
  head_json.header(module.header_comments);
  head_json.function_head(entry, flat);

  const std::size_t ops_size = out.size() - start;
  char* const end = out.room(head.size());  // the end of the ops' text
  out.advance_to(end + head.size());
  char* const at = end - ops_size;
  std::memmove(at + head.size(), at, ops_size);
  std::memcpy(at, head.data(), head.size());

  ModuleJsonWriter tail(out);
  tail.function_end();
  tail.finish();
}

}  // namespace quarvel
