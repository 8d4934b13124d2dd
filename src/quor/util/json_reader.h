// A one-pass cursor over JSON text, shared by the value parser and the
// readers that decode JSON straight into typed records.
//
// Every failing call records its message with a byte position and returns
// false; the caller stops at once and later turns the failure into an Error
// whose text is the message followed by " at line L column C" (lines from 1;
// the column counts the bytes of that line up to and including the byte at
// which the fault was noticed, 0 when there is none).
//
// White space is space, tab, line feed and carriage return only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quor/util/error.h"
#include "quor/util/json_value.h"

namespace quor::util {

class JsonReader {
 public:
  // `depth_budget` levels of arrays and objects may be open at once, minus
  // one: opening one with a single level left fails.
  explicit JsonReader(std::string_view text, int depth_budget = 128)
      : text_(text), depth_left_(depth_budget) {}

  // Skips white space; returns the next byte (0..255) or -1 at the end.
  int peek_nonws() {
    while (pos_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++pos_;
    }
    return -1;
  }
  // The next byte without skipping, or -1 at the end.
  int peek() const {
    return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
  }
  void bump() { ++pos_; }
  size_t pos() const { return pos_; }
  std::string_view text() const { return text_; }

  // Records a failure whose position includes the next byte.
  bool fail_peek(std::string_view message);
  // Records a failure positioned after the last consumed byte.
  bool fail_here(std::string_view message);
  // The recorded failure as "message at line L column C".
  Error take_error() const;
  bool failed() const { return failed_; }

  // Takes one nesting level ("recursion limit exceeded" when exhausted).
  bool enter() {
    if (--depth_left_ == 0) return fail_peek("recursion limit exceeded");
    return true;
  }
  void leave() { ++depth_left_; }

  // The cursor stands just past an opening quote. Decodes the string and
  // leaves the cursor past its closing quote. `out` points into the input
  // or into a scratch buffer and stays valid until the next string call.
  bool read_string(std::string_view& out);
  // As read_string without keeping the text; invalid UTF-8 is accepted.
  bool skip_string();
  // The first letter of a literal has been consumed; the rest must follow.
  bool read_ident(std::string_view rest);
  // The cursor stands on '-' or a digit. Integers without fraction or
  // exponent become PosInt / NegInt when they fit (minus zero is a float);
  // a float too large gives "number out of range", one too small is zero.
  bool read_number(JsonNumber& out);
  // Skips one value of any shape without recursion and without using the
  // nesting budget; the syntax is still checked.
  bool skip_value();

  // The first step of reading any value: what stands at the cursor (after
  // white space). A literal, a string or a number is consumed whole (a
  // string's decoded text in `text`, valid as read_string's; a number in
  // `number`); an array or an object is not, its opening byte stays next.
  // Fails "EOF while parsing a value" at the end of the text and "expected
  // value" on any other byte.
  enum class ValueStart { Null, True, False, String, Number, Array, Object };
  bool read_value_start(ValueStart& kind, std::string_view& text, JsonNumber& number) {
    return value_start<Scalars::Read>(kind, text, number);
  }

  // Arrays: after '[' was consumed, with `first` initially true. Returns 1
  // when an element follows (the cursor on its first byte), 0 at ']' (not
  // consumed), -1 on failure.
  int seq_next(bool& first);
  // Consumes the closing ']' ("trailing comma" / "trailing characters" when
  // anything else stands there).
  bool seq_end();
  // Objects: after '{' was consumed. Returns 1 with the decoded key (the
  // cursor past it, before ':'), 0 at '}' (not consumed), -1 on failure.
  int map_next_key(bool& first, std::string_view& key);
  // Consumes the ':' after a key.
  bool map_colon();

  // A whole array, the cursor on its '[': takes a nesting level, calls
  // `element()` with the cursor on each element's first byte, and consumes
  // the closing ']'. `element` reads the element and returns false to stop
  // with its failure.
  template <class Fn>
  bool read_array(Fn&& element) {
    if (!enter()) return false;
    bump();
    bool first = true;
    for (;;) {
      const int k = seq_next(first);
      if (k < 0) return false;
      if (k == 0) break;
      if (!element()) return false;
    }
    if (!seq_end()) return false;
    leave();
    return true;
  }
  // A whole object, the cursor on its '{': calls `member(key)` with each
  // decoded key, the cursor before its ':'; `member` reads the colon and the
  // value and returns false to stop with its failure.
  template <class Fn>
  bool read_object(Fn&& member) {
    if (!enter()) return false;
    bump();
    bool first = true;
    for (;;) {
      std::string_view key;
      const int k = map_next_key(first, key);
      if (k < 0) return false;
      if (k == 0) break;
      if (!member(key)) return false;
    }
    bump();  // the '}' that map_next_key stopped at
    leave();
    return true;
  }

 private:
  // The first-byte dispatch of read_value_start (Scalars::Read) and of
  // skip_value (Scalars::Skip: a string is checked without being decoded, so
  // invalid UTF-8 passes; a number is checked for its form only, so one out
  // of range passes; `text` and `number` are left alone).
  enum class Scalars { Read, Skip };
  template <Scalars mode>
  bool value_start(ValueStart& kind, std::string_view& text, JsonNumber& number) {
    const int c = peek_nonws();
    switch (c) {
      case -1: return fail_peek("EOF while parsing a value");
      case 'n': bump(); kind = ValueStart::Null; return read_ident("ull");
      case 't': bump(); kind = ValueStart::True; return read_ident("rue");
      case 'f': bump(); kind = ValueStart::False; return read_ident("alse");
      case '"':
        bump();
        kind = ValueStart::String;
        if constexpr (mode == Scalars::Read) return read_string(text);
        else return skip_string();
      case '[': kind = ValueStart::Array; return true;
      case '{': kind = ValueStart::Object; return true;
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          kind = ValueStart::Number;
          if constexpr (mode == Scalars::Read) {
            return read_number(number);
          } else {
            bool is_integer;
            return scan_number(is_integer);
          }
        }
        return fail_peek("expected value");
    }
  }

  bool scan_number(bool& is_integer);
  bool decode_hex(uint16_t& out);
  bool read_escape();

  std::string_view text_;
  size_t pos_ = 0;
  int depth_left_;
  bool failed_ = false;
  std::string message_;
  size_t error_end_ = 0;
  std::string scratch_;
};

}  // namespace quor::util
