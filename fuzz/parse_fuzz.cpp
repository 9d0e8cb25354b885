// Parses arbitrary UTF-8 text; failures with a message are expected, any
// other outcome (a crash, a sanitizer report, a stray exception) is a bug.
// The JSON form written function by function as the source is read must be
// that of the whole module, failures included. The first tokens are also
// read as atoms both by their kind, as the grammar does, and by their text:
// the two must agree, failures included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/file_read.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/parse_detail.h"
#include "core/source_json.h"

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
  std::string whole;
  std::string whole_failure = "(none)";
  try {
    whole = quarvel::write_module_json(quarvel::parse_source(source));
  } catch (const quarvel::Failure& failure) {
    whole_failure = failure.message();
  }
  std::string streamed_failure = "(none)";
  quarvel::TextBuffer streamed(0);
  try {
    quarvel::write_source_json(source, streamed);
  } catch (const quarvel::Failure& failure) {
    streamed_failure = failure.message();
  }
  if (whole_failure != streamed_failure) std::abort();
  if (whole_failure == "(none)" && std::move(streamed).take() != whole) std::abort();
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
