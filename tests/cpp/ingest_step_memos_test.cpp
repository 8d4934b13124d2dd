// The per-record step's worker memos and line buffer against the plain
// forms they stand in for: a short text's memo holds what was put for that
// text and never another's (texts that share a place replace each other),
// the bins it gives are the variable's own, and the lines written through
// LineBlock are the bytes appended one by one.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quor/ingest/internal/compiled_schema.h"
#include "quor/ingest/internal/line_block.h"
#include "quor/ingest/internal/step_memos.h"

namespace quor::ingest::internal {
namespace {

// Texts of 0..8 bytes over a few characters, so that many share a prefix,
// a suffix, a middle byte or a length: the cases an ambiguous word would
// confuse.
std::vector<std::string> short_texts(std::mt19937_64& rng, size_t n) {
  static constexpr char kChars[] = "-0123456789.ea";
  std::vector<std::string> texts;
  for (size_t i = 0; i < n; ++i) {
    std::string t(rng() % 9, ' ');
    for (char& c : t) c = kChars[rng() % (sizeof kChars - 1)];
    texts.push_back(t);
  }
  return texts;
}

TEST(StepMemos, ShortTextMemoGivesWhatWasPutForThatTextOnly) {
  std::mt19937_64 rng(11);
  const std::vector<std::string> texts = short_texts(rng, 200000);
  ShortTextMemo<uint32_t> memo;
  std::map<std::string, uint32_t> model;  // every text put, with its value
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string& t = texts[i];
    const uint64_t word = ShortTextMemo<uint32_t>::word_of(t);
    if (const uint32_t* got = memo.find(t, word)) {
      auto it = model.find(t);
      ASSERT_NE(it, model.end()) << "found a text never put: \"" << t << "\"";
      ASSERT_EQ(*got, it->second) << t;
    } else {
      const uint32_t value = static_cast<uint32_t>(i);
      memo.put(t, word, value);
      model[t] = value;
      const uint32_t* back = memo.find(t, word);
      ASSERT_NE(back, nullptr);
      ASSERT_EQ(*back, value);
    }
  }
}

TEST(StepMemos, BinsFromTheMemoAreTheVariablesOwn) {
  // Integers, decimals, exponents, signs and texts that are no numbers, over
  // a range with values below and above it.
  CompiledSchema::Variable var;
  var.bins = 12;
  var.lo = -50.0;
  var.hi = 550.0;
  var.width = 50.0;
  std::mt19937_64 rng(3);
  std::vector<std::string> texts = short_texts(rng, 50000);
  for (int i = -120; i < 700; i += 7) texts.push_back(std::to_string(i));
  for (const char* t : {"", "-", ".", "1e3", "-0", "+5", "nan", "inf", "12345678", "0.000001"})
    texts.push_back(t);
  ShortTextMemo<int64_t> memo;
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& t : texts) {
      ValueRef x;
      x.kind = ValueRef::Kind::String;
      x.str = t;
      const int64_t plain = var.bin_of(x);
      const uint64_t word = ShortTextMemo<int64_t>::word_of(t);
      if (const int64_t* got = memo.find(t, word)) {
        ASSERT_EQ(*got, plain) << t;
      } else {
        memo.put(t, word, plain);
      }
    }
  }
}

TEST(StepMemos, LineBlockWritesTheBytesAppended) {
  std::mt19937_64 rng(7);
  std::string source(200, ' ');
  for (char& c : source) c = static_cast<char>('a' + rng() % 26);
  LineBlock block;
  std::string copied;
  for (int share = 0; share < 3; ++share) {
    // Pieces of every length up to past the word copies, through room() in
    // runs and through append(), across several growths of the buffer.
    block.start();
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
      const size_t n = rng() % 41;
      const std::string_view piece(source.data() + rng() % (source.size() - n), n);
      if (i % 3 == 0) {
        block.append(piece);
        expected += piece;
      } else {
        char* d = block.room(n + 2);
        d = put_text(d, piece);
        *d++ = '\n';
        block.advance_to(d);
        expected.append(piece).append("\n");
      }
    }
    ASSERT_EQ(block.used(), expected.size());
    block.copy_to(copied);
    ASSERT_EQ(copied, expected) << share;
  }
}

}  // namespace
}  // namespace quor::ingest::internal
