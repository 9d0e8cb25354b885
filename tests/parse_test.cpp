#include "core/parse.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/parse_detail.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";

// The expected values of the tests live in this context for the whole run;
// what a parser builds lives in a context of the test's own.
Context& expected() {
  static Context ctx;
  return ctx;
}

// Texts as strings, to compare with a list of strings.
template <class Texts>
std::vector<std::string> strings(const Texts& texts) {
  return {texts.begin(), texts.end()};
}
std::vector<std::string> strings(const std::vector<Token>& tokens) {
  std::vector<std::string> out;
  for (const Token& t : tokens) out.emplace_back(t.text);
  return out;
}

Atom S(std::string_view s) { return Atom::str(expected().text(s)); }
Atom I(std::int64_t n) { return Atom::integer(n); }
Atom F(double x) { return Atom::real(x); }
Dim D(std::int64_t n) { return Dim::concrete(n); }
Dim N(std::string_view s) { return Dim::named(expected().text(s)); }
TypeRef T(std::string_view dtype, std::initializer_list<Dim> shape = {}) {
  return ty(expected(), dtype, shape);
}
LiteralValue LI(std::int64_t n) { return LiteralValue::integer(n); }
LiteralValue LF(double x) { return LiteralValue::real(x); }
LiteralValue LL(std::initializer_list<LiteralValue> v) {
  return LiteralValue::list(expected().list(v));
}
Axes axes(std::initializer_list<std::pair<std::string_view, std::int64_t>> entries) {
  AxesBuilder a;
  for (const auto& [k, v] : entries) a.insert(k, v);
  return expected().axes(a);
}
Args args(std::initializer_list<Atom> atoms) { return expected().list(atoms); }
List<Param> params(std::initializer_list<Param> items) { return expected().list(items); }

// ---------------------------------------------------------------------------
// Tokenizer

TEST(Tokenize, Cuts) {
  struct Case {
    std::string source;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {" \t\n\f\r", {}},
      {";<>!#$%&'?\\^`|~@\x01\x0b\x7f", {}},
      {"\xef\xbb\xbfx", {"x"}},                      // byte-order mark
      {"a\xc3\xa9" "b", {"a", "b"}},                // non-ASCII letter dropped
      // comments and slashes
      {"a//b", {"a", "//b"}},
      {"a/b", {"a", "/", "b"}},
      {"//", {"//"}},
      {"// one\r\n// two\nx", {"// one\r", "// two", "x"}},
      {"// caf\xc3\xa9", {"// caf\xc3\xa9"}},
      // strings
      {R"("a\"b" c)", {R"("a\"b")", "c"}},
      {R"("a//b")", {R"("a//b")"}},
      {"\"two\nlines\"", {"\"two\nlines\""}},
      {"\"caf\xc3\xa9\"", {"\"caf\xc3\xa9\""}},
      {R"("a\\" b)", {R"("a\\")", "b"}},
      {R"("open)", {R"("open)"}},
      {R"("open\)", {R"("open\)"}},
      {R"(")", {R"(")"}},
      {R"(x "\)", {"x", R"("\)"}},
      // minus, arrow, ellipsis, dots
      {"->", {"->"}},
      {"-", {"-"}},
      {"- >", {"-"}},
      {"-inf", {"-", "inf"}},
      {"a-1", {"a", "-1"}},
      {"a - 1", {"a", "-", "1"}},
      {"...", {"..."}},
      {"....", {"..."}},
      {"..", {}},
      {".5", {"5"}},
      {"x...", {"x..."}},
      // numbers
      {"1e5 1.e5 1E- -12.5e+3", {"1e5", "1.e5", "1E-", "-12.5e+3"}},
      {"1. 1e 1e+", {"1.", "1e", "1e+"}},
      {"1.5.5", {"1.5", "5"}},
      {"1e5.5", {"1e5", "5"}},
      {"+5", {"+", "5"}},
      {"5x", {"5", "x"}},
      {"0x10", {"0", "x10"}},
      {"007", {"007"}},
      // names
      {"e5", {"e5"}},
      {"_a.b9 param.d", {"_a.b9", "param.d"}},
      {"w.*", {"w.*"}},
      {"w*", {"w", "*"}},
      {"w.**", {"w.*", "*"}},
      {"w.*x", {"w.*", "x"}},
      {"f32[n-1]", {"f32", "[", "n", "-1", "]"}},
      // punctuation
      {"()*+,-/:=[]{}", {"(", ")", "*", "+", ",", "-", "/", ":", "=", "[", "]", "{", "}"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(strings(tokenize(c.source)), c.tokens) << quoted_text(c.source);
}

// Strings longer than a few bytes are scanned in blocks: an escape or a
// closing quote on either side of a block boundary must be found.
TEST(Tokenize, LongStrings) {
  for (std::size_t at = 0; at < 40; ++at) {
    const std::string pad(at, 'a');
    struct Case {
      std::string source;
      std::vector<std::string> tokens;
    } cases[] = {
        {"\"" + pad + "\" x", {"\"" + pad + "\"", "x"}},
        {"\"" + pad + "\\\"" + pad + "\" x", {"\"" + pad + "\\\"" + pad + "\"", "x"}},
        {"\"" + pad + "\\\\\" x", {"\"" + pad + "\\\\\"", "x"}},
        {"\"" + pad + "\\", {"\"" + pad + "\\"}},
        {"\"" + pad + "//" + pad, {"\"" + pad + "//" + pad}},
    };
    for (const Case& c : cases) EXPECT_EQ(strings(tokenize(c.source)), c.tokens) << quoted_text(c.source);
  }
}

// Names of every length up to past two blocks of sixteen bytes, ended by the
// end of the text, by each byte next to the ranges of name bytes, or by a "*"
// (part of the name after a final dot).
TEST(Tokenize, LongNames) {
  const std::string bytes = "aZ_9.bY0z";  // every kind of name byte
  struct End {
    std::string text;
    std::vector<std::string> after;  // the tokens after the name
  } ends[] = {
      {"", {}},       {" x", {"x"}},  {"@", {}},      {"[", {"["}},   {"`", {}},
      {"{", {"{"}},   {"/", {"/"}},   {":", {":"}},   {"\x7f", {}},   {"\xc3\xa9", {}},
      {"-", {"-"}},   {"*", {"*"}},   {".*", {}},     {"\"s\"", {"\"s\""}},
  };
  for (std::size_t n = 1; n <= 40; ++n) {
    std::string name;
    for (std::size_t i = 0; i < n; ++i) name += bytes[i % bytes.size()];
    for (const End& end : ends) {
      std::vector<std::string> tokens = {name};
      if (end.text == ".*") {
        tokens[0] += ".*";
      } else if (end.text == "*" && name.back() == '.') {
        tokens[0] += "*";
      } else {
        tokens.insert(tokens.end(), end.after.begin(), end.after.end());
      }
      const std::string source = name + end.text;
      EXPECT_EQ(strings(tokenize(source)), tokens) << quoted_text(source);
    }
  }
}

TEST(Tokenize, TokensAreViewsIntoTheSource) {
  const std::string source = "f(x: f32[4]) // c";
  for (const Token& t : tokenize(source)) {
    EXPECT_GE(t.text.data(), source.data());
    EXPECT_LE(t.text.data() + t.text.size(), source.data() + source.size());
  }
}

// Each rule of the tokenizer gives its tokens one kind, which the grammar
// trusts instead of looking at the text again.
TEST(Tokenize, Kinds) {
  using K = TokenKind;
  struct Case {
    std::string source;
    std::vector<Token> tokens;
  } cases[] = {
      {"x _k inf e5 x.e w.* param.d x...", {{"x", K::Name}, {"_k", K::Name}, {"inf", K::Name},
                                            {"e5", K::Name}, {"x.e", K::Name}, {"w.*", K::Name},
                                            {"param.d", K::Name}, {"x...", K::Name}}},
      {"7 007 -12 -0 9223372036854775808", {{"7", K::Integer}, {"007", K::Integer}, {"-12", K::Integer},
                                            {"-0", K::Integer}, {"9223372036854775808", K::Integer}}},
      {"1.5 1. 1e 1e+ 1E- -12.5e+3 1.5.5", {{"1.5", K::Real}, {"1.", K::Real}, {"1e", K::Real},
                                            {"1e+", K::Real}, {"1E-", K::Real}, {"-12.5e+3", K::Real},
                                            {"1.5", K::Real}, {"5", K::Integer}}},
      {R"("a b" "" "a\"b" "open)", {{R"("a b")", K::String}, {R"("")", K::String},
                                     {R"("a\"b")", K::String}, {R"("open)", K::String}}},
      {"\"", {{"\"", K::String}}},
      {"()*+,-/:=[]{}", {{"(", K::Punct}, {")", K::Punct}, {"*", K::Punct}, {"+", K::Punct},
                         {",", K::Punct}, {"-", K::Punct}, {"/", K::Punct}, {":", K::Punct},
                         {"=", K::Punct}, {"[", K::Punct}, {"]", K::Punct}, {"{", K::Punct},
                         {"}", K::Punct}}},
      {"-> - > ... -inf", {{"->", K::Arrow}, {"-", K::Punct}, {"...", K::Ellipsis}, {"-", K::Punct},
                           {"inf", K::Name}}},
      {"a // c\r\n//", {{"a", K::Name}, {"// c\r", K::Comment}, {"//", K::Comment}}},
      {"// one\r\nb", {{"// one\r", K::Comment}, {"b", K::Name}}},
  };
  for (const Case& c : cases) EXPECT_EQ(tokenize(c.source), c.tokens) << quoted_text(c.source);
}

// ---------------------------------------------------------------------------
// Cursor

TEST(Cursor, MovesAndFailures) {
  const std::string source = "a // c1\n// c2\nb c";
  Context ctx;
  Parser p(source, ctx);
  EXPECT_EQ(p.next_token().text, "a");
  EXPECT_EQ(p.peek_token(), (Token{"b", TokenKind::Name}));
  EXPECT_EQ(p.pos, 3u);  // comments count as tokens passed
  EXPECT_EQ(strings(p.pending_comments), (std::vector<std::string>{"// c1", "// c2"}));
  EXPECT_EQ(strings(p.take_comments()), (std::vector<std::string>{"// c1", "// c2"}));
  EXPECT_TRUE(p.pending_comments.empty());
  EXPECT_EQ(p.next_token().text, "b");
  EXPECT_EQ(failure_of([&] { p.expect_token(")"); }), R"~(Expected ")", got "c")~");
  EXPECT_EQ(p.pos, 5u);  // consumed although it did not match
  EXPECT_EQ(p.peek_token(), Token{});  // nothing left
  EXPECT_FALSE(p.peek_is("c"));
  EXPECT_EQ(failure_of([&] { p.next_token(); }),
            "index out of bounds: the len is 5 but the index is 5");
  EXPECT_EQ(failure_of([&] { p.expect_token("x"); }),
            "index out of bounds: the len is 5 but the index is 5");
}

// The cursor cuts tokens on demand; at the end its count must be the length
// of the whole token list.
TEST(Cursor, EndCountsEveryToken) {
  for (const char* source : {"f() -> () { // c\n y = ", "// a\n// b\nf ( ;;; \"s\" : x...",
                             "f(a: f32[n m ..", "f() -> () {} // tail\n\"open\\",
                             "f(a: f32[n, 4], b: f32[n, 4]", "f(a: f32[n // c\n], b: f32[n // c\n]"}) {
    const std::string n = std::to_string(tokenize(source).size());
    EXPECT_EQ(failure_of([&] { parse_source(source); }),
              "index out of bounds: the len is " + n + " but the index is " + n)
        << source;
  }
}

TEST(Cursor, ExpectShowsBothTextsQuoted) {
  struct Case {
    std::string source, expected, message;
  } cases[] = {
      {"]", ")", R"~(Expected ")", got "]")~"},
      {R"("a\b")", "(", R"(Expected "(", got "\"a\\b\"")"},
      {"\"x\ny\"", ":", R"(Expected ":", got "\"x\ny\"")"},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(failure_of([&] { p.expect_token(c.expected); }), c.message);
  }
}

// ---------------------------------------------------------------------------
// Atoms and numbers

TEST(Atom, Values) {
  struct Case {
    std::string token;
    Atom atom;
  } cases[] = {
      {"inf", F(kInf)},
      {"1e5", F(100000.0)},
      {"1.e5", F(100000.0)},
      {"1.5", F(1.5)},
      {"0.1", F(0.1)},
      {"-2.5e-3", F(-0.0025)},
      {"1e400", F(kInf)},
      {"-1e400", F(-kInf)},
      {"1e99999999999999999999999", F(kInf)},
      {"0.00000000000000000000000000000000000001e-300", F(0.0)},
      {"1e-400", F(0.0)},
      {"0e99999999999999999999999", F(0.0)},
      {"1.7976931348623157e308", F(1.7976931348623157e308)},
      {"1.7976931348623159e308", F(kInf)},  // rounds past the largest double
      {"4e-324", F(4.9406564584124654e-324)},
      {"2e-324", F(0.0)},
      {"2.2250738585072011e-308", F(2.2250738585072011e-308)},
      {"9007199254740993.0", F(9007199254740992.0)},  // ties to even
      {"007", I(7)},
      {"-0", I(0)},
      {"+5", I(5)},
      {"-9223372036854775808", I(kMin)},
      {"9223372036854775807", I(kMax)},
      {"9223372036854775808", S("9223372036854775808")},
      {"-9223372036854775809", S("-9223372036854775809")},
      {"nan", S("nan")},
      {"Inf", S("Inf")},
      {"x.e", S("x.e")},  // names that begin with a letter are never numbers
      {"->", S("->")},
      {"*", S("*")},
      {"-", S("-")},
      {"+", S("+")},
      {"\"ab\"", S("\"ab\"")},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_atom(c.token), c.atom) << c.token;

  const Atom negative_zero = parse_atom("-0.0");
  ASSERT_TRUE(negative_zero.is_float());
  EXPECT_TRUE(std::signbit(negative_zero.as_float()));
  EXPECT_TRUE(std::signbit(parse_atom("-1e-400").as_float()));
}

// Short decimals take a quick route; every value must still be the
// correctly rounded one, as the C library reads it.
TEST(Atom, FloatsAreCorrectlyRounded) {
  for (const char* token :
       {"0.650934", "1e-7", "0.072", "4.35", "2.5e-22", "0.1e-21", "1e22", "1e23", "8.5e22",
        "9007199254740992.0", "9007199254740993.0", "9007199254740991e22", "9007199254740993e-22",
        "1234567890123456789.0", "12345678901234567890.0", "0.0000000000000000000000000001",
        "000000000000000000000000001.5", "1.00000000000000000000000000000000000000000000000000000000000000000001",
        "7.2057594037927933e16", "3.0e-5", "123.456e-2", "5e-324", "1.e5", "-0.3", "0.0e22"}) {
    const Atom a = parse_atom(token);
    ASSERT_TRUE(a.is_float()) << token;
    const double expected = std::strtod(token, nullptr);
    EXPECT_EQ(a.as_float(), expected) << token;
    EXPECT_EQ(std::signbit(a.as_float()), std::signbit(expected)) << token;
  }
}

TEST(Atom, FloatFailures) {
  for (const char* token : {"1e", "1e+", "2.5E-", "...", "_x.y", "_temp", "\"a.b\"", "\"e",
                            "1.5.5", ".", "-.", "1e5e5", "1.5x"})
    EXPECT_EQ(failure_of([&] { parse_atom(token); }), kUnwrap + "ParseFloatError { kind: Invalid }")
        << token;
}

// The grammar takes the atom of a token by its kind; every token must get
// what the rule on its text gives, failures included.
TEST(Atom, ByKindAsByText) {
  const std::string source =
      read_fixture("decoder.qrv") +
      " inf nan Inf infinity e5 x.e _k _x.y _temp _E w.* param.d x... ... -> ( ) * + , - / : = [ ] { }"
      " 7 007 -0 -12 9223372036854775807 9223372036854775808 -9223372036854775808"
      " -9223372036854775809 1.5 -0.0 1. 1e 1e+ 2.5E- 1e400 -1e-400 1.5.5 1e5e5 5x 0x10"
      R"( "a b" "" "1.5" "e" "x" "a\"b" ")" "\n\"open";
  for (const Token& t : tokenize(source)) {
    if (t.kind == TokenKind::Comment) continue;
    Atom by_text, by_kind;
    const std::string text_failure = failure_of([&] { by_text = parse_atom(t.text); });
    const std::string kind_failure = failure_of([&] { by_kind = token_atom(t); });
    EXPECT_EQ(kind_failure, text_failure) << quoted_text(t.text);
    EXPECT_EQ(by_kind, by_text) << quoted_text(t.text);
    if (by_kind.is_float()) {
      EXPECT_EQ(std::signbit(by_kind.as_float()), std::signbit(by_text.as_float())) << t.text;
    }
  }
}

// ---------------------------------------------------------------------------
// Tensor types

TEST(TensorTypes, Read) {
  struct Case {
    std::string source;
    TypeRef ty;
  } cases[] = {
      {"f32[]", T("f32")},
      {"f32[4, n]", T("f32", {D(4), N("n")})},
      {"f32[4 n]", T("f32", {D(4), N("n")})},
      {"f32[,4,n]", T("f32", {D(4), N("n")})},
      {"f32[-1, -0, 007]", T("f32", {D(-1), D(0), D(7)})},
      {"i64[9223372036854775807, -9223372036854775808]", T("i64", {D(kMax), D(kMin)})},
      {R"(f32[..., param.d, ->, "q"])", T("f32", {N("..."), N("param.d"), N("->"), N("\"q\"")})},
      {"*[]", T("*")},
      {"*[4]", T("*", {D(4)})},
      {"f32[4,] ]", T("f32", {D(4), N("]")})},  // a comma before "]" makes it an item
      {"// c\nf32[ // d\n 4]", T("f32", {D(4)})},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(parse_tensor_type(p), c.ty) << c.source;
    EXPECT_TRUE(p.at_end()) << c.source;
  }
}

// A type written with the very bytes of the one before is read as that one
// was: the same type, with every token and comment in it passed.
TEST(TensorTypes, RepeatedTexts) {
  const TypeRef f4n = T("f32", {D(4), N("n")});
  const TypeRef f4 = T("f32", {D(4)});
  struct Case {
    std::string source;
    std::vector<TypeRef> types;
    std::vector<std::string> comments;
  } cases[] = {
      {"f32[4, n] f32[4, n]\nf32[4, n]", {f4n, f4n, f4n}, {}},
      {"f32[4] f32[4, n] f32[4]", {f4, f4n, f4}, {}},
      {"f32[4] f32[ 4 ] f32[4] f32[45]", {f4, f4, f4, T("f32", {D(45)})}, {}},
      {"f32[4]f32[4]][]", {f4, f4, T("]")}, {}},  // the repeat ends at its own bracket
      {"f32[ // c\n4] f32[ // c\n4]", {f4, f4}, {"// c", "// c"}},
      {"*[] // c\n*[] i8[]", {T("*"), T("*"), T("i8")}, {"// c"}},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    for (const TypeRef& ty : c.types) EXPECT_EQ(parse_tensor_type(p), ty) << c.source;
    EXPECT_TRUE(p.at_end()) << c.source;
    EXPECT_EQ(p.pos, tokenize(c.source).size()) << c.source;
    EXPECT_EQ(strings(p.pending_comments), c.comments) << c.source;
  }
}

TEST(TensorTypes, Failures) {
  const std::string invalid = kUnwrap + "ParseIntError { kind: InvalidDigit }";
  const std::string pos = kUnwrap + "ParseIntError { kind: PosOverflow }";
  const std::string neg = kUnwrap + "ParseIntError { kind: NegOverflow }";
  struct Case {
    std::string source, message;
  } cases[] = {
      {"f32[1.5]", invalid},
      {"f32[1e5]", invalid},
      {"f32[1.]", invalid},
      {"f32[-1.5]", invalid},
      {"f32[99999999999999999999]", pos},
      {"f32[9223372036854775808]", pos},
      {"f32[-9223372036854775809]", neg},
      {"f32[99999999999999999999.5]", pos},  // the first failing character decides
      {"f32[1.99999999999999999999]", invalid},
      {"f32(4)", R"(Expected "[", got "(")"},
      {"f32[4", "index out of bounds: the len is 3 but the index is 3"},
      {"f32", "index out of bounds: the len is 1 but the index is 1"},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(failure_of([&] { parse_tensor_type(p); }), c.message) << c.source;
  }
}

// ---------------------------------------------------------------------------
// Argument lists

TEST(ArgLists, Items) {
  struct Case {
    std::string source;
    Args positional;
    std::vector<std::pair<std::string, Atom>> named;
  } cases[] = {
      {"(x, k=2, k=3.5, m=q)", args({S("x")}), {{"k", F(3.5)}, {"m", S("q")}}},
      {"(_k=1)", args({S("_k"), S("="), I(1)}), {}},
      {"(1=2)", args({I(1), S("="), I(2)}), {}},
      {R"(("a b", "1.5", "", k="v w", e=""))", args({S("a b"), S("1.5"), S("")}),
       {{"k", S("v w")}, {"e", S("")}}},
      {R"(("a\"b"))", args({S(R"(a\")" "b")}), {}},  // escapes stay as written
      {"(1 2.5 x -3)", args({I(1), F(2.5), S("x"), I(-3)}), {}},
      {"(, x)", args({S("x")}), {}},
      {"(x,, y)", args({S("x"), S(","), S("y")}), {}},
      {"(9223372036854775808, inf, -, ->)", args({S("9223372036854775808"), F(kInf), S("-"), S("->")}), {}},
      {"()", {}, {}},
      {"(k // c\n = 1)", {}, {{"k", I(1)}}},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    const ArgList a = parse_arg_list(p, "(", ")");
    EXPECT_EQ(a.positional, c.positional) << c.source;
    ASSERT_EQ(a.named.size(), c.named.size()) << c.source;
    for (std::size_t i = 0; i < c.named.size(); ++i) {
      EXPECT_EQ(a.named.at_position(i).first, c.named[i].first) << c.source;
      EXPECT_EQ(a.named.at_position(i).second, c.named[i].second) << c.source;
    }
    EXPECT_TRUE(p.at_end()) << c.source;
  }
}

TEST(ArgLists, Failures) {
  const std::string lone_quote = "begin > end (1 > 0) when slicing `\"`";
  struct Case {
    std::string source, message;
  } cases[] = {
      {"(\"", lone_quote},
      {"(k=\"", lone_quote},
      {"(x", "index out of bounds: the len is 2 but the index is 2"},
      {"(x]", "index out of bounds: the len is 3 but the index is 3"},
      {"(1e)", kUnwrap + "ParseFloatError { kind: Invalid }"},
      {"(k=1e+)", kUnwrap + "ParseFloatError { kind: Invalid }"},
      {"(\"a.b", kUnwrap + "ParseFloatError { kind: Invalid }"},  // unclosed: keeps its quote
      {"x", R"(Expected "(", got "x")"},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(failure_of([&] { parse_arg_list(p, "(", ")"); }), c.message) << c.source;
  }
  // An unclosed string with content and no dot reads as text, quote included.
  const std::string unclosed = "(\"ab";
  Context ctx;
  Parser p(unclosed, ctx);
  EXPECT_EQ(failure_of([&] { parse_arg_list(p, "(", ")"); }),
            "index out of bounds: the len is 2 but the index is 2");
}

// ---------------------------------------------------------------------------
// Literal values

TEST(Literals, Values) {
  struct Case {
    std::string source;
    LiteralValue value;
  } cases[] = {
      {"[1, [2.5, inf], - inf]", LL({LI(1), LL({LF(2.5), LF(kInf)}), LF(-kInf)})},
      {"[]", LL({})},
      {"[[], [[]]]", LL({LL({}), LL({LL({})})})},
      {"[1 2 -3]", LL({LI(1), LI(2), LI(-3)})},
      {"[,1]", LL({LI(1)})},
      {"[- // c\n inf]", LL({LF(-kInf)})},
      {"[1e400, -1e400, 1.5e-3]", LL({LF(kInf), LF(-kInf), LF(0.0015)})},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(parse_literal_list(p), c.value) << c.source;
    EXPECT_TRUE(p.at_end()) << c.source;
  }
  struct Scalar {
    std::string source;
    LiteralValue value;
  } scalars[] = {{"5", LI(5)}, {"-1", LI(-1)}, {"inf", LF(kInf)}, {"- inf", LF(-kInf)},
                 {"2.5", LF(2.5)}};
  for (const Scalar& c : scalars) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(parse_literal_scalar(p), c.value) << c.source;
  }
}

TEST(Literals, Failures) {
  struct Case {
    std::string source, message;
  } cases[] = {
      {"nan", R"(Expected literal value, got name "nan")"},
      {"x", R"(Expected literal value, got name "x")"},
      {R"("q")", R"(Expected literal value, got name "\"q\"")"},
      {"- 5", R"(Expected 'inf' after '-', got "5")"},
      {"- nan", R"(Expected 'inf' after '-', got "nan")"},
      {"-", "index out of bounds: the len is 1 but the index is 1"},
      {"[1,]", R"(Expected literal value, got name "]")"},
      {"[1", "index out of bounds: the len is 2 but the index is 2"},
      {"[1e]", kUnwrap + "ParseFloatError { kind: Invalid }"},
  };
  for (const Case& c : cases) {
    Context ctx;
    Parser p(c.source, ctx);
    EXPECT_EQ(failure_of([&] {
                if (p.peek_is("["))
                  parse_literal_list(p);
                else
                  parse_literal_scalar(p);
              }),
              c.message)
        << c.source;
  }
}

TEST(Literals, NestingIsBounded) {
  auto nested = [](std::size_t depth) {
    return "f() -> () { y = literal(" + std::string(depth, '[') + std::string(depth, ']') + ") }";
  };
  const Module m = parse_source(nested(kMaxLiteralDepth));
  const LiteralValue* v = &std::get<Literal>(m.functions.find("f")->ops[0].kind()).value;
  std::size_t depth = 1;
  while (!v->as_list().empty()) {
    v = &v->as_list()[0];
    ++depth;
  }
  EXPECT_EQ(depth, kMaxLiteralDepth);
  EXPECT_EQ(failure_of([&] { parse_source(nested(kMaxLiteralDepth + 1)); }),
            "literal nesting exceeds 256 levels");
  // A million open brackets must fail cleanly instead of exhausting the stack.
  const std::string deep = "f() -> () { y = literal(" + std::string(1000000, '[');
  EXPECT_EQ(failure_of([&] { parse_source(deep); }), "literal nesting exceeds 256 levels");
}

// ---------------------------------------------------------------------------
// Statements

// One statement read into `ctx`.
Op op_of(Context& ctx, const std::string& source) {
  Parser p(source, ctx);
  Op op = parse_op(p);
  EXPECT_TRUE(p.at_end()) << source;
  return op;
}

TEST(Statements, Kinds) {
  Context& x = expected();
  const TypeRef none;
  const TypeRef scalar = T("f32");
  struct Case {
    std::string source;
    Op op;
  } cases[] = {
      // outputs
      {"y = map[add](a, b)", make_op(x, Map{"add"}, {"y"}, {none}, {S("a"), S("b")})},
      {"(y, z): (f32[2], f32[2]) = call[g](x)",
       make_op(x, Call{"g"}, {"y", "z"}, {T("f32", {D(2)}), T("f32", {D(2)})}, {S("x")})},
      {"(): () = iota()", make_op(x, Iota{}, {}, {})},
      {"(y, z): (f32[2]) = call[g](x)", make_op(x, Call{"g"}, {"y", "z"}, {T("f32", {D(2)})}, {S("x")})},
      {"(y): (*[], f32[]) = iota()", make_op(x, Iota{}, {"y"}, {T("*"), scalar})},
      {"(y z): (f32[] f32[]) = iota()", make_op(x, Iota{}, {"y", "z"}, {scalar, scalar})},
      {"y: * = iota()", make_op(x, Iota{}, {"y"}, {T("*")})},
      {"y: f32[2], z, w: * = iota()",
       make_op(x, Iota{}, {"y", "z", "w"}, {T("f32", {D(2)}), none, T("*")})},
      // view and tile: pattern and axes from the parenthesised list
      {R"(y = view["a b -> b a"](x, a=2, b=3.9))",
       make_op(x, View{"a b -> b a", axes({{"a", 2}, {"b", 3}})}, {"y"}, {none}, {S("x")})},
      {R"(y = view["a b -> b a", a=2](x))", make_op(x, View{"a b -> b a", {}}, {"y"}, {none}, {S("x")})},
      {R"(y = tile["a -> a b"](x, b=-3.9, c=q, d=1e400, e=-1e400, b=4))",
       make_op(x, Tile{"a -> a b", axes({{"b", 4}, {"d", kMax}, {"e", kMin}})}, {"y"}, {none}, {S("x")})},
      {R"(y = view["a->b"](x))", make_op(x, View{"a->b", {}}, {"y"}, {none}, {S("x")})},
      {R"(y = view["a b", "c -> c"](x))", make_op(x, View{"c -> c", {}}, {"y"}, {none}, {S("x")})},
      {R"(y = read["ab"](x))", make_op(x, Read{""}, {"y"}, {none}, {S("x")})},
      {R"(y = read["b->", "a-", "-", ">"](x))", make_op(x, Read{"b->"}, {"y"}, {none}, {S("x")})},
      {R"(y = map["a b", add, 1, 2.5](x, k=1))", make_op(x, Map{"add"}, {"y"}, {none}, {S("x")})},
      {"y = map(x)", make_op(x, Map{""}, {"y"}, {none}, {S("x")})},
      {"y = map[add]", make_op(x, Map{"add"}, {"y"}, {none})},
      // fold, write, read, contract
      {"y: f32[] = fold[i, add](x)", make_op(x, Fold{"", "i"}, {"y"}, {scalar}, {S("x")})},
      {R"(y = fold["a b -> a", max](x))", make_op(x, Fold{"a b -> a", "max"}, {"y"}, {none}, {S("x")})},
      {R"(y = write["a -> a", add](x, i))",
       make_op(x, Write{"a -> a", "add"}, {"y"}, {none}, {S("x"), S("i")})},
      {R"(y = read["a b -> b"](x))", make_op(x, Read{"a b -> b"}, {"y"}, {none}, {S("x")})},
      {R"(y = contract["a b, b c -> a c"](x, w))",
       make_op(x, Contract{"a b, b c -> a c"}, {"y"}, {none}, {S("x"), S("w")})},
      // random: only floats are bounds
      {"y: f32[] = random[0.0, 1.0]()", make_op(x, Random{0.0, 1.0}, {"y"}, {scalar})},
      {"y = random[1, -0.5, x, 2, 2.5, 9.0]()", make_op(x, Random{-0.5, 2.5}, {"y"}, {none})},
      // loop counts
      {"y: f32[] = loop[body, -1](x)",
       make_op(x, Loop{"body", LoopCount::concrete(18446744073709551615ull)}, {"y"}, {scalar}, {S("x")})},
      {"y = loop[body, n](x)", make_op(x, Loop{"body", LoopCount::named("n")}, {"y"}, {none}, {S("x")})},
      {"y = loop[body, 3, param.layers](x)",
       make_op(x, Loop{"body", LoopCount::named("param.layers")}, {"y"}, {none}, {S("x")})},
      {"y = loop[4](x)", make_op(x, Loop{"", LoopCount::concrete(4)}, {"y"}, {none}, {S("x")})},
      // cache
      {"y = cache[kv.*, init, ext](k)", make_op(x, Cache{"kv.*", "init", "ext"}, {"y"}, {none}, {S("k")})},
      {"y = cache[kv, init](k)", make_op(x, Cache{"kv", "init", std::nullopt}, {"y"}, {none}, {S("k")})},
      {R"(y = cache["", init](k))", make_op(x, Cache{"", "init", std::nullopt}, {"y"}, {none}, {S("k")})},
      // literal: no square-bracket list, no args
      {"y = literal(5)", make_op(x, Literal{LI(5)}, {"y"}, {none})},
      {"y = literal([1, 2])", make_op(x, Literal{LL({LI(1), LI(2)})}, {"y"}, {none})},
      {"y = literal(- inf)", make_op(x, Literal{LF(-kInf)}, {"y"}, {none})},
  };
  for (const Case& c : cases) {
    Context ctx;
    EXPECT_EQ(op_of(ctx, c.source), c.op) << c.source;
  }
}

TEST(Statements, Failures) {
  const std::string cache_usage = ": cache[var, init] or cache[var, init, extend]";
  struct Case {
    std::string source, message;
  } cases[] = {
      {R"(y = fold[""](x))", "fold requires a reduction: fold[pattern, reduction]"},
      {R"(y = fold["a -> a"](x))", "fold requires a reduction: fold[pattern, reduction]"},
      {R"(y = write["a -> a"](x))", "write requires a reduction: write[pattern, reduction]"},
      {"y: f32[] = random[0, 1]()", "random requires two bounds: random[lo, hi]"},
      {"y = random[0.5]()", "random requires two bounds: random[lo, hi]"},
      {"y: f32[] = loop[body](x)", "loop requires explicit count: loop[fn, count]"},
      {"y = loop[body, 1.5](x)", "loop requires explicit count: loop[fn, count]"},
      {"y = cache[](k)", "cache requires var name" + cache_usage},
      {"y = cache[kv](k)", "cache requires init function" + cache_usage},
      {"y = frob(x)", R"(Unknown op: "frob")"},
      {R"(y = "q"(x))", R"(Unknown op: "\"q\"")"},
      {"y = Map[add](x)", R"(Unknown op: "Map")"},
      {"y = viex(x)", R"(Unknown op: "viex")"},
      {"y = cachf[a, b](x)", R"(Unknown op: "cachf")"},
      {"y = randon[0.0, 1.0]()", R"(Unknown op: "randon")"},
      {"y = contrakt(x)", R"(Unknown op: "contrakt")"},
      {"y = mapp(x)", R"(Unknown op: "mapp")"},
      {"y = frob[1e](x)", kUnwrap + "ParseFloatError { kind: Invalid }"},  // lists first
      {"y = frob(\"", "begin > end (1 > 0) when slicing `\"`"},
      {"= map[add](x)", R"(Expected "=", got "map")"},
      {"y map[add](x)", R"(Expected "=", got "map")"},
      {"y z = iota()", R"(Expected "=", got "z")"},
      {"y =", "index out of bounds: the len is 2 but the index is 2"},
      {"(y): f32[2] = iota()", R"(Expected "(", got "f32")"},
      {"(y): (*) = iota()", R"~(Expected "[", got ")")~"},
      {"y: *[2] = iota()", R"(Expected "=", got "[")"},
      {"y = literal 5", R"(Expected "(", got "5")"},
      {"y = literal[1](2)", R"(Expected "(", got "[")"},
      {"y = literal(1 2)", R"~(Expected ")", got "2")~"},
      {"y = literal(x)", R"(Expected literal value, got name "x")"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of([&] {
                Context ctx;
                op_of(ctx, c.source);
              }),
              c.message)
        << c.source;
}

// ---------------------------------------------------------------------------
// Functions and modules

TEST(Functions, Headers) {
  const Module m = parse_source("f(a: f32[4] b: *) -> (y: f32[], z: *) {}");
  ASSERT_EQ(m.functions.size(), 1u);
  const Function& f = *m.functions.find("f");
  EXPECT_EQ(f.name, "f");
  EXPECT_EQ(f.params, params({{"a", T("f32", {D(4)})}, {"b", T("*")}}));
  EXPECT_EQ(f.returns, params({{"y", T("f32")}, {"z", T("*")}}));
  EXPECT_TRUE(f.ops.empty());
}

TEST(Functions, Failures) {
  struct Case {
    std::string source, message;
  } cases[] = {
      {"f(a: f32[4],) -> (y: f32[]) {}", R"(Expected ":", got "->")"},
      {"f(a f32[4]) -> () {}", R"(Expected ":", got "f32")"},
      {"f(a: *[]) -> () {}", R"(Expected ":", got "]")"},  // "[" is read as a name
      {"f() () {}", R"(Expected "->", got "(")"},
      {"f() -> () y = iota() }", R"(Expected "{", got "y")"},
      {"f() -> () {", "index out of bounds: the len is 7 but the index is 7"},
      {"f() -> () { y = iota() ", "index out of bounds: the len is 12 but the index is 12"},
      {"f() -> () { y =", "index out of bounds: the len is 9 but the index is 9"},
      {"f", "index out of bounds: the len is 1 but the index is 1"},
      {"f() -> () {} g(", "index out of bounds: the len is 10 but the index is 10"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of([&] { parse_source(c.source); }), c.message) << c.source;
}

TEST(Module, EmptyAndCommentOnlySources) {
  EXPECT_EQ(parse_source(""), Module{});
  EXPECT_EQ(parse_source(" \n\t"), Module{});
  const Module m = parse_source("// a\r\n\n// b");
  EXPECT_EQ(strings(m.header_comments), (std::vector<std::string>{"// a\r", "// b"}));
  EXPECT_TRUE(m.functions.empty());
}

TEST(Module, BodiesOfDifferentLengths) {
  std::string source;
  const std::size_t lengths[] = {0, 100, 1, 3, 5000, 2, 0, 7};
  for (std::size_t k = 0; k < std::size(lengths); ++k) {
    source += "f" + std::to_string(k) + "() -> () {";
    for (std::size_t i = 0; i < lengths[k]; ++i) source += " y" + std::to_string(i) + " = iota()";
    source += " }\n";
  }
  const Module m = parse_source(source);
  ASSERT_EQ(m.functions.size(), std::size(lengths));
  for (std::size_t k = 0; k < std::size(lengths); ++k) {
    const Function& f = m.functions.at_position(k).second;
    ASSERT_EQ(f.ops.size(), lengths[k]) << k;
    // A short body after a long one keeps no room of the long one's size.
    EXPECT_LE(f.ops.capacity(), lengths[k] + lengths[k] / 8 + 4) << k;
    for (std::size_t i = 0; i < lengths[k]; ++i)
      ASSERT_EQ(strings(f.ops[i].outputs), std::vector<std::string>{"y" + std::to_string(i)}) << k;
  }
}

// Types recur from statement to statement; each is stored once in the
// context, and every statement keeps its own, also when more types take turns
// than the parser keeps at hand.
TEST(Module, RecurringTypes) {
  const std::vector<std::pair<std::string, TypeRef>> types = {
      {"f32[4]", T("f32", {D(4)})},       {"f32[ 4 ]", T("f32", {D(4)})},
      {"f32[4, n]", T("f32", {D(4), N("n")})}, {"f32[n, 4]", T("f32", {N("n"), D(4)})},
      {"i8[]", T("i8")},                  {"f32[n]", T("f32", {N("n")})},
      {"f32[4n]", T("f32", {D(4), N("n")})},   {"f16[4]", T("f16", {D(4)})},
      {"f32[-4]", T("f32", {D(-4)})},
  };
  std::string source = "f() -> () {\n";
  std::vector<TypeRef> expect;
  for (std::size_t i = 0; i < 60; ++i) {
    // Runs of one type, then jumps back and forth over the list.
    const std::size_t k = (i / 3 * 5 + i % 2) % types.size();
    source += "  y: " + types[k].first + " = iota()\n";
    expect.push_back(types[k].second);
  }
  source += "}\n";
  const Module m = parse_source(source);
  const Function& f = *m.functions.find("f");
  ASSERT_EQ(f.ops.size(), expect.size());
  std::vector<const TensorType*> stored;
  for (std::size_t i = 0; i < expect.size(); ++i) {
    ASSERT_EQ(f.ops[i].output_types.size(), 1u) << i;
    const TypeRef got = f.ops[i].output_types[0];
    EXPECT_EQ(got, expect[i]) << i;
    for (const TensorType* other : stored) {
      if (*other == *got) {
        EXPECT_EQ(other, got.get()) << "two copies of one type at " << i;
      }
    }
    stored.push_back(got.get());
  }
}

TEST(Module, RepeatedFunctionReplacesInPlace) {
  const Module m = parse_source(
      "f() -> () { a = iota() }\n"
      "g() -> () {}\n"
      "f() -> () { b = iota() c = iota() }\n");
  ASSERT_EQ(m.functions.size(), 2u);
  EXPECT_EQ(m.functions.at_position(0).first, "f");
  EXPECT_EQ(m.functions.at_position(1).first, "g");
  EXPECT_EQ(m.functions.at_position(0).second.ops.size(), 2u);
  EXPECT_EQ(m.functions.at_position(0).second.ops[0].outputs[0], "b");
}

TEST(Module, WhereCommentsGo) {
  const Module m = parse_source(
      "// h1\r\n"
      "// h2\n"
      "f( // in header\n"
      "  a: f32[] ) -> (y: f32[]) { // after brace\n"
      "  // before first\n"
      "  y = map[add](a // inside first\n"
      "  , a)\n"
      "  // before second\n"
      "  z = iota()\n"
      "  w = literal(- // inside last\n"
      "  inf)\n"
      "  // before close\n"
      "}\n"
      "// between\n"
      "g() -> () { // own\n"
      "  x = iota()\n"
      "  // after the last statement\n"
      "}\n"
      "// trailing\n");
  EXPECT_EQ(strings(m.header_comments), (std::vector<std::string>{"// h1\r", "// h2"}));
  ASSERT_EQ(m.functions.size(), 2u);
  const Function& f = *m.functions.find("f");
  EXPECT_EQ(strings(f.comments),
            (std::vector<std::string>{"// in header", "// after brace", "// before first"}));
  ASSERT_EQ(f.ops.size(), 3u);
  EXPECT_TRUE(f.ops[0].comments().empty());
  EXPECT_EQ(strings(f.ops[1].comments()), (std::vector<std::string>{"// inside first", "// before second"}));
  EXPECT_TRUE(f.ops[2].comments().empty());
  const Function& g = *m.functions.find("g");
  EXPECT_EQ(strings(g.comments), (std::vector<std::string>{"// inside last", "// before close",
                                                  "// between", "// own"}));
  ASSERT_EQ(g.ops.size(), 1u);
  EXPECT_TRUE(g.ops[0].comments().empty());
}

// ---------------------------------------------------------------------------
// UTF-8 and files

TEST(Utf8, Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii text, longer than eight bytes", true},
      {"\xc2\x80 \xdf\xbf \xe0\xa0\x80 \xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", true},
      {"\xed\x9f\xbf\xee\x80\x80", true},        // around the surrogates
      {std::string("a\0b", 3), true},
      {"\x80", false},                           // lone continuation byte
      {"\xc0\x80", false},                       // overlong
      {"\xc1\xbf", false},
      {"\xe0\x9f\xbf", false},
      {"\xf0\x8f\xbf\xbf", false},
      {"\xed\xa0\x80", false},                   // surrogate
      {"\xed\xbf\xbf", false},
      {"\xf4\x90\x80\x80", false},               // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"abcdefgh\xe2\x82", false},               // truncated at the end
      {"\xe2\x82" "abcdefgh", false},
      {"\xf0\x9f\x98", false},
      {"\xc3\x28", false},
  };
  for (const Case& c : cases) EXPECT_EQ(valid_utf8(c.bytes), c.valid) << quoted_text(c.bytes);
}

class Files : public ScratchDir {};

TEST_F(Files, ReadErrors) {
  const std::string invalid_data =
      kUnwrap + R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })";
  struct Case {
    std::string path, message;
  } cases[] = {
      {dir_ + "/missing.qrv",
       kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {"", kUnwrap + R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {dir_, kUnwrap + R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })"},
      {write("plain", "x") + "/below",
       kUnwrap + R"(Os { code: 20, kind: NotADirectory, message: "Not a directory" })"},
      {std::string("a\0b", 3), kUnwrap + R"(Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" })"},
      {write("latin1.qrv", "// caf\xe9\nf() -> () {}"), invalid_data},
      {write("surrogate.qrv", "\"\xed\xa0\x80\""), invalid_data},
      {write("truncated.qrv", "f() -> () {}\xe2\x82"), invalid_data},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of([&] { parse_file(c.path); }), c.message) << quoted_text(c.path);

  const std::string locked = write("locked", "f() -> () {}");
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  const std::string denied =
      kUnwrap + R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })";
  if (::geteuid() != 0) {
    EXPECT_EQ(failure_of([&] { parse_file(locked); }), denied);
  } else {  // root reads any file: drop to an unprivileged user in a child process
    EXPECT_EXIT(
        {
          if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(2);
          std::_Exit(failure_of([&] { parse_file(locked); }) == denied ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
  }
}

TEST_F(Files, ReadsWholeFile) {
  EXPECT_EQ(parse_file(write("empty.qrv", "")), Module{});
  // Larger than any first read, with non-ASCII text in comments and strings.
  std::string source = "// caf\xc3\xa9 \xf0\x9f\x98\x80\n";
  for (int i = 0; i < 3000; ++i)
    source += "f" + std::to_string(i) + "(x: f32[n]) -> (y: f32[n]) { y = map[\"\xc3\xa9\"](x) }\n";
  const Module m = parse_file(write("big.qrv", source));
  EXPECT_EQ(m.functions.size(), 3000u);
  EXPECT_EQ(m.header_comments[0], "// caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(std::get<Map>(m.functions.find("f2999")->ops[0].kind()).function, "\xc3\xa9");
}

// A FIFO has no size to go by: the reader grows its room as the bytes come.
TEST_F(Files, ReadsPipe) {
  const std::string path = dir_ + "/pipe.qrv";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string source;
  for (int i = 0; i < 3000; ++i) source += "f" + std::to_string(i) + "() -> () { y = iota() }\n";
  std::thread writer([&] { std::ofstream(path, std::ios::binary) << source; });
  Module m;
  const std::string failure = failure_of([&] { m = parse_file(path); });
  writer.join();
  EXPECT_EQ(failure, "<no failure>");
  ASSERT_EQ(m.functions.size(), 3000u);
  EXPECT_EQ(m.functions.at_position(2999).first, "f2999");
}

TEST(Fixture, Decoder) {
  const Module m = parse_file(QUARVEL_FIXTURES "/decoder.qrv");
  std::vector<std::string> names;
  for (const auto& [key, f] : m.functions) {
    EXPECT_EQ(key, f.name);
    names.emplace_back(key);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"main", "block0", "block1", "mlp", "kv_init",
                                             "kv_append"}));
  EXPECT_EQ(strings(m.header_comments), (std::vector<std::string>{"// decoder model, generated",
                                                         "// shapes and weights come from the TOML file"}));
  const Function& main = *m.functions.find("main");
  ASSERT_EQ(main.ops.size(), 6u);
  EXPECT_EQ(main.params[0], (Param{"tokens", T("i32", {N("param.batch"), N("param.seq")})}));
  EXPECT_EQ(main.ops[1].kind(), OpKind(Loop{"block0", LoopCount::named("param.layers")}));
  EXPECT_EQ(main.ops[1].args, args({S("h0"), S("weights.stack0.*")}));

  const Function& block = *m.functions.find("block0");
  ASSERT_EQ(block.ops.size(), 20u);
  EXPECT_EQ(strings(block.comments),
            (std::vector<std::string>{"// block0: one decoder layer", "// attention"}));
  EXPECT_EQ(block.ops[4].kind(), OpKind(View{"b s (h e) -> b s h e", axes({{"h", 8}})}));
  EXPECT_EQ(block.ops[4].output_types[0], T("f32", {N("b"), N("s"), D(8), N("param.hd")}));
  EXPECT_EQ(strings(block.ops[5].outputs), std::vector<std::string>{"kc"});
  EXPECT_EQ(block.ops[5].kind(), OpKind(Cache{"kv.*", "kv_init", "kv_append"}));
  EXPECT_EQ(block.ops[8].kind(), OpKind(Fold{"b h s t -> b h s", "max"}));
  EXPECT_EQ(strings(block.ops[17].comments()),
            std::vector<std::string>{"// feed-forward, weights passed as one record"});
  EXPECT_EQ(m.functions.find("mlp")->ops.size(), 5u);
  EXPECT_EQ(m.functions.find("mlp")->params.size(), 4u);
  EXPECT_EQ(m.functions.find("kv_append")->ops.size(), 1u);
}

}  // namespace
}  // namespace quarvel
