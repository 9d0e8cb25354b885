// Flattening straight to JSON, op by op, against the flat module built whole
// and then written.
#include <gtest/gtest.h>

#include <string>

#include "core/flat_json.h"
#include "core/flatten.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

const char* const kHelpers = R"(
kv_init(k: f32[4]) -> (c: f32[4]) {
  t: f32[4] = map[copy](k)
  c: f32[4] = map[neg](t)
}
kv_ext(c: f32[4], k: f32[4]) -> (n: f32[4]) {
  t: f32[8] = view["a -> a"](c, k)
  n: f32[4] = map[neg](t)
}
block(x: f32[4], w: *) -> (y: f32[4]) {
  // a block
  h: f32[4] = contract["a, a b -> b"](x, w.proj)
  c: f32[4] = cache[kv.*, kv_init, kv_ext](h)
  y: f32[4] = map[add](h, c)
}
)";

std::string streamed(const Module& module, std::string_view entry, const CacheKeys& keys) {
  TextBuffer out(0);
  out += "kept";  // text already in the buffer stays in front
  write_flat_json(module, entry, keys, out);
  const std::string text = std::move(out).take();
  EXPECT_EQ(text.substr(0, 4), "kept");
  return text.substr(4);
}

TEST(FlatJson, SameTextAsTheWholeFlatModule) {
  const struct Case {
    const char* what;
    std::string source;
    CacheKeys keys;
  } cases[] = {
      {"an entry without ops", "// head\nmain(x: f32[4]) -> (x: f32[4]) {}\n", {}},
      {"calls and a loop, slots cold: the slots go out as returns",
       std::string("// model\n\nmain(x: f32[4], w: *) -> (y: f32[4]) {\n"
                   "  // entry\n"
                   "  a: f32[4] = call[block](x, w.first)\n"
                   "  a: f32[4] = loop[block, 3](a, w.layers.*)\n"
                   "  y: f32[4] = map[tanh](a)\n"
                   "}\n") + kHelpers,
       {}},
      {"slots warm: they come in as parameters and go out extended",
       std::string("main(x: f32[4], w: *) -> (x: f32[4]) {\n"
                   "  x: f32[4] = loop[block, 12](x, w.layers.*)\n"
                   "}\n") + kHelpers,
       {"kv.0", "kv.5", "kv.11"}},
      {"a long unrolled loop", std::string("main(x: f32[4], w: *) -> (x: f32[4]) {\n"
                                           "  x: f32[4] = loop[block, 2000](x, w.l.*)\n"
                                           "}\n") + kHelpers,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Module module = parse_source(c.source);
    EXPECT_EQ(streamed(module, "main", c.keys),
              write_module_json(flatten_module(module, "main", c.keys)));
  }
}

TEST(FlatJson, FailsAsFlattening) {
  const struct Case {
    const char* source;
    const char* entry;
  } cases[] = {
      {"f() -> () {}", "main"},
      {"main() -> () { y = call[main]() }", "main"},
      {"main(x: f32[1]) -> (x: f32[1]) { x = loop[b, 99999999](x) }\n"
       "b(x: f32[1]) -> (x: f32[1]) { x = map[exp](x) }",
       "main"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const Module module = parse_source(c.source);
    const std::string expected = failure_of([&] { flatten_module(module, c.entry, {}); });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(failure_of([&] {
                TextBuffer out(0);
                write_flat_json(module, c.entry, {}, out);
              }),
              expected);
  }
}

}  // namespace
}  // namespace quarvel
