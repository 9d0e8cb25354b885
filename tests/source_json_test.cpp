// Source straight to JSON, function by function, against the module built
// whole and then written.
#include <gtest/gtest.h>

#include <string>

#include "core/json_write.h"
#include "core/parse.h"
#include "core/source_json.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

std::string streamed(const std::string& source) {
  TextBuffer out(0);
  out += "kept";  // text already in the buffer stays, also when the source is read again
  write_source_json(source, out);
  const std::string text = std::move(out).take();
  EXPECT_EQ(text.substr(0, 4), "kept");
  return text.substr(4);
}

TEST(SourceJson, SameTextAsTheWholeModule) {
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += "f" + std::to_string(i) + "(x: f32[n, " + std::to_string(i % 7) +
            "]) -> (y: f32[n, 4]) {\n  // step\n  y: f32[n, 4] = map[relu](x)\n}\n";
  const struct Case {
    const char* what;
    std::string source;
  } cases[] = {
      {"nothing", ""},
      {"header comments only", "// one\n// two\n"},
      {"header comments and functions",
       "// head\nf(x: f32[1]) -> (y: f32[1]) {\n  y = map[exp](x)\n}\n"
       "// between\ng(a: *) -> (b: f32[2]) {\n  b: f32[2] = random[0.5, 1.25]\n}\n"},
      {"a name met twice: the later replaces the earlier where it stood",
       "f() -> () {}\ng() -> () { y = iota() }\nf(x: i64[3]) -> () { z = literal([1, 2.5]) }\n"},
      {"a name met twice, the second time last",
       "a() -> () {}\nb() -> () {}\nc() -> () {}\nb(q: f32[1]) -> () {}\n"},
      {"types repeated across functions", many},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(streamed(c.source), write_module_json(parse_source(c.source)));
  }
}

// A failure is the whole parse's, at the same place, also after functions
// were written and after a repeated name sent the reading back to the start.
TEST(SourceJson, FailsAsTheWholeParse) {
  const char* sources[] = {
      "f() -> () {}\ng() -> () { y = bogus[1](x) }\n",
      "f() -> () {}\nf() -> () {}\ng(x: f32[) -> () {}\n",
      "f() -> () {\n",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    const std::string expected = failure_of([&] { parse_source(source); });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(failure_of([&] {
                TextBuffer out(0);
                write_source_json(source, out);
              }),
              expected);
  }
}

}  // namespace
}  // namespace quarvel
