#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/ast.h"
#include "core/numtext.h"
#include "core/text_hash.h"

namespace quarvel {
namespace {

TEST(QuotedText, Escapes) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"f32", R"("f32")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\t\n\r", R"("\t\n\r")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x1b\x7f", R"("\u{1b}\u{7f}")"},
      {"it's", R"("it's")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},         // printable non-ASCII stays
      {"e\xcc\x81", R"("e\u{301}")"},              // combining acute accent extends a grapheme
      {"\xe2\x80\x8b", R"("\u{200b}")"},           // zero width space: format character
      {"\xc2\xa0", R"("\u{a0}")"},                 // no-break space: a separator other than space
      {"\xe4\xb8\xad", "\"\xe4\xb8\xad\""},        // CJK
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji
      {"\xee\x80\x80", R"("\u{e000}")"},           // private use
      {"\x0c", R"("\u{c}")"},
  };
  for (const Case& c : cases) EXPECT_EQ(quoted_text(c.text), c.expected) << c.expected;
}

TEST(DebugForm, DimsAndTypes) {
  EXPECT_EQ(debug_dim(Dim::concrete(4)), "Concrete(4)");
  EXPECT_EQ(debug_dim(Dim::concrete(-1)), "Concrete(-1)");
  EXPECT_EQ(debug_dim(Dim::concrete(std::numeric_limits<std::int64_t>::min())),
            "Concrete(-9223372036854775808)");
  EXPECT_EQ(debug_dim(Dim::named("...")), R"(Named("..."))");
  EXPECT_EQ(debug_dim(Dim::named("a\"\n")), R"(Named("a\"\n"))");
  Context ctx;
  EXPECT_EQ(debug_tensor_type(*ctx.type("f32", {Dim::concrete(4), Dim::named("n")})),
            R"(TensorType { dtype: "f32", shape: [Concrete(4), Named("n")] })");
  EXPECT_EQ(debug_tensor_type(*ctx.type("*", {})), R"(TensorType { dtype: "*", shape: [] })");
  const Dim two[] = {Dim::concrete(2)};
  EXPECT_EQ(debug_type_record("Ty", "e\xcc\x81", two),
            R"(Ty { dtype: "e\u{301}", shape: [Concrete(2)] })");
}

TEST(OrderedMap, ReplaceKeepsFirstPosition) {
  // Cross the size at which the map starts hashing, to cover both lookups.
  for (int extra : {0, 40}) {
    OrderedMap<int, std::string> m;
    m.insert("a", 1);
    m.insert("b", 2);
    for (int i = 0; i < extra; ++i) m.insert("k" + std::to_string(i), i);
    EXPECT_FALSE(m.insert("a", 3));
    ASSERT_EQ(m.size(), 2u + extra);
    EXPECT_EQ(m.at_position(0).first, "a");
    EXPECT_EQ(m.at_position(0).second, 3);
    EXPECT_EQ(*m.find("b"), 2);
    EXPECT_EQ(m.find("c"), nullptr);
    OrderedMap<int, std::string> copy = m;
    copy.insert("b", 9);
    EXPECT_EQ(*m.find("b"), 2);
    EXPECT_EQ(*copy.find("b"), 9);
  }
}

TEST(SmallVector, InlineAndHeapStorageBehaveAlike) {
  // Strings long enough to live on the heap show lost or doubled moves under
  // the sanitizers; sizes cross the inline room of two.
  auto text = [](int i) { return "element number " + std::to_string(i) + " of the list"; };
  for (int n : {0, 1, 2, 3, 9}) {
    SmallVector<std::string, 2> v;
    for (int i = 0; i < n; ++i) v.push_back(text(i));
    ASSERT_EQ(v.size(), static_cast<std::size_t>(n));
    SmallVector<std::string, 2> copy = v;
    SmallVector<std::string, 2> moved = std::move(copy);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(moved, v);
    moved.insert(moved.begin(), "front");
    moved.insert(moved.end(), v.begin(), v.end());
    ASSERT_EQ(moved.size(), 1 + 2 * static_cast<std::size_t>(n));
    EXPECT_EQ(moved.front(), "front");
    moved.erase(moved.begin());
    moved.erase(moved.begin() + n, moved.end());
    EXPECT_EQ(moved, v);
    copy = moved;  // assignment into a moved-from vector
    EXPECT_EQ(copy, v);
    v.emplace_back(v.empty() ? text(0) : v.front());  // the argument lives in the vector
    EXPECT_EQ(v.back(), text(0));
    v.resize(1);
    EXPECT_EQ(v.size(), 1u);
  }
}

TEST(KindWords, TagsRoundTrip) {
  for (std::size_t i = 0; i < kKindCount; ++i) {
    EXPECT_EQ(kind_tag(kKindWords[i]), static_cast<OpTag>(i));
    EXPECT_EQ(op_tag(empty_kind(static_cast<OpTag>(i))), static_cast<OpTag>(i));
  }
  for (std::string_view other : {"View", "", "v", "vie", "viewx", "maq", "loop ", "cach"})
    EXPECT_EQ(kind_tag(other), std::nullopt) << other;
  EXPECT_EQ(kind_word(OpKind{Cache{}}), "cache");
}

TEST(Context, TypesAreInternedAndTextsCopied) {
  Context ctx;
  std::string dtype = "f32", dim = "batch";
  TypeRef a = ctx.type(dtype, {Dim::named(dim), Dim::concrete(4)});
  dtype = "xxx";
  dim = "xxxxx";
  TypeRef b = ctx.type("f32", {Dim::named("batch"), Dim::concrete(4)});
  EXPECT_EQ(a.get(), b.get());  // one type per context
  EXPECT_EQ(debug_tensor_type(*a), R"(TensorType { dtype: "f32", shape: [Named("batch"), Concrete(4)] })");
  EXPECT_NE(ctx.type("f32", {Dim::named("batch")}).get(), a.get());
  EXPECT_NE(ctx.type("f16", {Dim::named("batch"), Dim::concrete(4)}).get(), a.get());
  EXPECT_NE(ctx.type("f32", {Dim::concrete(4), Dim::named("batch")}).get(), a.get());

  Context other;  // equal by content across contexts
  EXPECT_EQ(other.type("f32", {Dim::named("batch"), Dim::concrete(4)}), a);
  EXPECT_FALSE(TypeRef() == a);
  EXPECT_EQ(TypeRef(), TypeRef(std::nullopt));

  // Lists and texts are copies; large lists get room of their own.
  std::vector<Atom> atoms(100000, Atom::integer(7));
  List<Atom> list = ctx.list(atoms);
  atoms.assign(atoms.size(), Atom::integer(0));
  ASSERT_EQ(list.size(), 100000u);
  EXPECT_EQ(list.back(), Atom::integer(7));
  std::string name = "h0";
  Text copy = ctx.text(name);
  name[0] = 'x';
  EXPECT_EQ(copy, "h0");
  EXPECT_GE(ctx.bytes_reserved(), 100000 * sizeof(Atom));

  // Room that ends inside an alignment gap is not room: the value goes to a
  // new chunk (the sanitizers see a write past the end otherwise).
  Context tight;
  char* bytes = tight.allocate<char>(4095);
  std::memset(bytes, 1, 4095);
  for (int i = 0; i < 3; ++i) {
    auto* word = tight.allocate<std::uint64_t>(1);
    *word = 7;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(word) % alignof(std::uint64_t), 0u);
  }
}

// Texts of every length to past two words: equal, or apart in one byte at
// any place, or of other lengths.
TEST(TextHash, SameTextAtEveryLengthAndPlace) {
  for (std::size_t n = 0; n <= 20; ++n) {
    std::string a;
    for (std::size_t i = 0; i < n; ++i) a += static_cast<char>('a' + i % 26);
    const std::string copy = a;
    EXPECT_TRUE(same_text(a, copy)) << n;
    EXPECT_FALSE(same_text(a, a + "x")) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string b = a;
      b[at] = '#';
      EXPECT_FALSE(same_text(a, b)) << n << " " << at;
    }
  }
}

TEST(NumberText, JsonFloat) {
  const double max = std::numeric_limits<double>::max();
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {0.5, "0.5"}, {100.0, "100.0"},
      {123456.789, "123456.789"}, {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"}, {9999999999999998.0, "9999999999999998.0"},
      {1e-5, "0.00001"}, {1.234e-5, "0.00001234"}, {1e-6, "1e-6"}, {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"}, {1e16, "1e+16"}, {1.5e16, "1.5e+16"},
      {12345678901234567890.0, "1.2345678901234567e+19"}, {max, "1.7976931348623157e+308"},
      {-2.5, "-2.5"}, {3.0, "3.0"}, {1e20, "1e+20"}, {1e100, "1e+100"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_float_text(c.value), c.text) << c.text;
}

TEST(NumberText, PrinterFloat) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::string text;
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-2.5, "-2.5"}, {0.5, "0.5"},
      {0.1 + 0.2, "0.30000000000000004"}, {1e-7, "0.0000001"},
      {1e16, "10000000000000000.0"}, {1e21, "1000000000000000000000.0"},
      {1e300, "1" + std::string(300, '0') + ".0"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {std::nan(""), "NaN.0"}, {-std::nan(""), "NaN.0"}, {inf, "inf"}, {-inf, "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_float(c.value), c.text) << c.text;
}

// The shortest digits, against the library's shortest scientific form: short
// decimals as sources write them (taken on a quicker path), their neighbours
// one unit in the last place away, and doubles of every magnitude.
TEST(NumberText, ShortestDigitsMatchTheLibrary) {
  auto library = [](double x) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    return std::string(buf, r.ptr);
  };
  auto ours = [](double x) {
    const ShortestDigits d = shortest_digits(x);
    std::string s(1, d.digits[0]);
    if (d.count > 1) s += '.' + std::string(d.digits + 1, static_cast<std::size_t>(d.count - 1));
    s += d.exponent < 0 ? "e-" : "e+";
    const int e = d.exponent < 0 ? -d.exponent : d.exponent;
    if (e < 10) s += '0';
    return s + std::to_string(e);
  };
  std::vector<double> values = {0.1, 0.2, 0.3, 0.1 + 0.2, 1e-7, 1e-22, 1.5e-22, 9.999e-23,
                                123456789012345.0, 999999999999999.0, 1e15 - 0.5, 1e15,
                                0.650934, 1.223, 4503599627370497.0, 2.5e-8, 7.0, 1000.0};
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 200000; ++i) {
    // m * 10^-k with up to 15 digits, read as a source would.
    const std::uint64_t m = next() % (std::uint64_t{1} << (1 + next() % 50)) + 1;
    const int k = static_cast<int>(next() % 24);
    const std::string text = std::to_string(m) + "e-" + std::to_string(k);
    values.push_back(std::strtod(text.c_str(), nullptr));
    // Any bit pattern of a finite, positive double.
    std::uint64_t bits = next() & 0x7fffffffffffffffull;
    double any;
    std::memcpy(&any, &bits, sizeof any);
    if (std::isfinite(any) && any != 0) values.push_back(any);
  }
  const std::size_t sources = values.size();
  for (std::size_t i = 0; i < sources; ++i) {
    values.push_back(std::nextafter(values[i], 0.0));
    values.push_back(std::nextafter(values[i], 1e308));
  }
  for (double x : values) {
    if (x == 0 || !std::isfinite(x)) continue;
    ASSERT_EQ(ours(x), library(x)) << library(x);
  }
}

TEST(NumberText, Integers) {
  std::string s;
  append_int(s, std::numeric_limits<std::int64_t>::min());
  s += ' ';
  append_uint(s, std::numeric_limits<std::uint64_t>::max());
  s += ' ';
  append_int(s, 0);
  EXPECT_EQ(s, "-9223372036854775808 18446744073709551615 0");
}

}  // namespace
}  // namespace quarvel
