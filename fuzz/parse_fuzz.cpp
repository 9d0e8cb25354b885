// Parses arbitrary UTF-8 text; failures with a message are expected, any
// other outcome (a crash, a sanitizer report, a stray exception) is a bug.
// The first tokens are also read as atoms both by their kind, as the
// grammar does, and by their text: the two must agree, failures included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/file_read.h"
#include "core/parse.h"
#include "core/parse_detail.h"

namespace {

// The atom of a token read one way, or the message it failed with.
template <class Read>
std::string outcome(Read&& read, quarvel::Atom& atom) {
  try {
    atom = read();
  } catch (const quarvel::Failure& failure) {
    return failure.message();
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  if (!quarvel::valid_utf8(source)) return -1;  // not a text the callers can pass
  try {
    const quarvel::Module m = quarvel::parse_source(source);
    (void)m;
  } catch (const quarvel::Failure&) {
  }
  // The first tokens only: a failure costs a thrown exception, and a long
  // input repeats its tokens.
  std::size_t checked = 0;
  for (const quarvel::Token& token : quarvel::tokenize(source)) {
    if (token.kind == quarvel::TokenKind::Comment) continue;
    if (++checked > 8) break;
    quarvel::Atom by_kind;
    quarvel::Atom by_text;
    const std::string kind_failure = outcome([&] { return quarvel::token_atom(token); }, by_kind);
    const std::string text_failure = outcome([&] { return quarvel::parse_atom(token.text); }, by_text);
    if (kind_failure != text_failure || !(by_kind == by_text)) std::abort();
  }
  return 0;
}
