#include <gtest/gtest.h>

#include "quor/store/engine_error.h"
#include "quor/util/error.h"
#include "quor/util/panic.h"

namespace quor {
namespace {

using store::EngineError;
using store::EngineErrorKind;

TEST(MessageError, ShortAndFullForms) {
  Error e("No such file or directory (os error 2)");
  EXPECT_EQ(e.short_text(), e.full_text());
  e.add_context("read file /db/meta.edb");
  e.add_context("open database");
  EXPECT_EQ(e.short_text(), "open database");
  EXPECT_EQ(e.full_text(),
            "open database: read file /db/meta.edb: No such file or directory (os error 2)");
  EXPECT_EQ(e.root(), "No such file or directory (os error 2)");
}

TEST(MessageError, ContextOnSuccessChangesNothing) {
  Result<int> ok = Result<int>(7).context("never shown");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 7);
  Status s = Status().context("nothing");
  EXPECT_TRUE(s.ok());

  Result<int> bad = Result<int>(Error("root")).context("inner").context("outer");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().full_text(), "outer: inner: root");
  bool built = false;
  Status lazy = Status().with_context([&] { built = true; return std::string("x"); });
  EXPECT_TRUE(lazy.ok());
  EXPECT_FALSE(built);
}

Status fails_inside() {
  QUOR_RETURN_IF_ERROR(Status(Error("deep")).context("middle"));
  return ok_status();
}
Result<int> doubled(Result<int> in) {
  QUOR_ASSIGN_OR_RETURN(int v, std::move(in));
  return v * 2;
}

TEST(MessageError, PropagationMacros) {
  EXPECT_EQ(fails_inside().error().full_text(), "middle: deep");
  EXPECT_EQ(*doubled(21), 42);
  EXPECT_EQ(doubled(Error("no")).error().full_text(), "no");
}

TEST(EngineErrorText, EveryKindHasItsPrefix) {
  const std::pair<EngineErrorKind, const char*> cases[] = {
      {EngineErrorKind::SchemaValidation, "schema validation error: m"},
      {EngineErrorKind::DistributionNotFound, "distribution not found: m"},
      {EngineErrorKind::TypeMismatch, "type mismatch: m"},
      {EngineErrorKind::InvalidQueryReference, "invalid query reference: m"},
      {EngineErrorKind::InsufficientSamples, "insufficient samples: m"},
      {EngineErrorKind::NoSnapshotsAvailable, "no snapshots available: m"},
      {EngineErrorKind::NoJointDistributionDefined, "no joint distribution defined: m"},
      {EngineErrorKind::Io, "io error: m"},
      {EngineErrorKind::Serialization, "serialization error: m"},
  };
  for (const auto& [kind, text] : cases) {
    EngineError e{kind, "m"};
    EXPECT_EQ(e.text(), text);
    Error m = store::engine_error_to_message(e);
    EXPECT_EQ(m.full_text(), text);
    EXPECT_TRUE(m.contexts().empty());
  }
}

TEST(EngineErrorText, Builders) {
  EXPECT_EQ(store::unknown_variable_error("rev").full_text(), "unknown variable 'rev'");
  EXPECT_EQ(store::distribution_id_not_found_error(42).full_text(),
            "distribution id '42' not found");
  EXPECT_EQ(store::joint_not_found_error("b", "a", {}).full_text(),
            "joint distribution not found for 'b' and 'a' at {}");
  EXPECT_EQ(store::joint_not_found_error("x", "y", {{"region", "EU"}, {"a", "q\"\\\n"}}).full_text(),
            "joint distribution not found for 'x' and 'y' at "
            "{\"a\": \"q\\\"\\\\\\n\", \"region\": \"EU\"}");
}

TEST(EngineErrorText, DebugQuotingEscapesControlsOnly) {
  EXPECT_EQ(store::debug_quoted("plain é"), "\"plain é\"");
  EXPECT_EQ(store::debug_quoted(std::string("\t\r\0\x01\x7f", 5)), "\"\\t\\r\\0\\u{1}\\u{7f}\"");
  EXPECT_EQ(store::debug_quoted("\xc2\x85"), "\"\\u{85}\"");
}

TEST(Panic, AssertThrowsPanic) {
  EXPECT_NO_THROW(QUOR_ASSERT(true, "fine"));
  try {
    QUOR_ASSERT(1 + 1 == 3, "vector lengths must match");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message, "vector lengths must match");
  }
}

// Reading the wrong side of a result aborts the call in every build type,
// release included, instead of reading a variant alternative that is not there.
TEST(Panic, WrongSideOfAResultPanics) {
  Result<int> failed = Error("boom");
  Result<int> fine = 7;
  Status failed_status = Error("late");
  Status fine_status;
  EXPECT_THROW((void)failed.value(), Panic);
  EXPECT_THROW((void)*failed, Panic);
  EXPECT_THROW((void)std::move(failed).value(), Panic);
  EXPECT_THROW((void)fine.error(), Panic);
  EXPECT_THROW((void)fine_status.error(), Panic);
  EXPECT_EQ(failed_status.error().root(), "late");
  try {
    (void)Result<std::string>(Error("disk full")).context("write file x").value();
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message, "value of a failed result read: write file x: disk full");
  }
}

}  // namespace
}  // namespace quor
