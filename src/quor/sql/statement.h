// Parsed statements: the fifteen forms of the query language.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quor::sql {

// A dimension name and a value, from one dimension:value word.
struct DimensionPair {
  std::string dimension;
  std::string value;
  bool operator==(const DimensionPair&) const = default;
};

// COMPARE v BETWEEN d:x AND d:y [WHERE ...]
struct CompareBetweenStatement {
  std::string variable;
  DimensionPair a;
  DimensionPair b;
  std::vector<DimensionPair> filters;
  bool operator==(const CompareBetweenStatement&) const = default;
};

// COMPARE v ACROSS dim [WHERE ...]
struct CompareAcrossStatement {
  std::string variable;
  std::string dimension;
  std::vector<DimensionPair> filters;
  bool operator==(const CompareAcrossStatement&) const = default;
};

// EXPLAIN d:x VS d:y
struct ExplainStatement {
  DimensionPair a;
  DimensionPair b;
  bool operator==(const ExplainStatement&) const = default;
};

// TRACK v FROM d:x [GRANULARITY g]
struct TrackStatement {
  std::string variable;
  DimensionPair from;
  std::optional<std::string> granularity;
  bool operator==(const TrackStatement&) const = default;
};

// SHOW v AT d:x [WHERE ...] [TOP n | BOTTOM n]; at most one of top/bottom.
struct ShowStatement {
  std::string variable;
  DimensionPair at;
  std::vector<DimensionPair> filters;
  std::optional<uint64_t> top;
  std::optional<uint64_t> bottom;
  bool operator==(const ShowStatement&) const = default;
};

// RANK v BY ENTROPY OVER dim [WHERE ...]
struct RankStatement {
  std::string variable;
  std::string dimension;
  std::vector<DimensionPair> filters;
  bool operator==(const RankStatement&) const = default;
};

// MI a [,] b AT d:x
struct MiStatement {
  std::string var_a;
  std::string var_b;
  DimensionPair at;
  bool operator==(const MiStatement&) const = default;
};

// CMI a [,] b GIVEN dim
struct CmiStatement {
  std::string var_a;
  std::string var_b;
  std::string given;
  bool operator==(const CmiStatement&) const = default;
};

// CORRELATIONS followed by any run of LIMIT n and OVER dim.
struct CorrelationsStatement {
  std::optional<std::string> dimension;
  uint64_t limit = 20;
  bool operator==(const CorrelationsStatement&) const = default;
};

// PAIRWISE dim ON v [USING m]
struct PairwiseStatement {
  std::string dimension;
  std::string variable;
  std::string metric = "jsd";
  bool operator==(const PairwiseStatement&) const = default;
};

// NEAREST d:x ON dim followed by any run of LIMIT n and USING m.
struct NearestStatement {
  DimensionPair reference;
  std::string dimension;
  std::string metric = "jsd";
  uint64_t limit = 3;
  bool operator==(const NearestStatement&) const = default;
};

enum class ExportFormat : uint8_t { Csv = 0, Json = 1 };

struct Statement;

// EXPORT statement AS CSV|JSON. Owns its inner statement (never null);
// copies are deep.
struct ExportStatement {
  std::unique_ptr<Statement> statement;
  ExportFormat format = ExportFormat::Csv;

  ExportStatement(Statement inner, ExportFormat format);
  ExportStatement(const ExportStatement& other);
  // Copied whole (the inner statement too); never copy-assigned.
  ExportStatement& operator=(const ExportStatement& other) = delete;
  ExportStatement(ExportStatement&&) noexcept;
  ExportStatement& operator=(ExportStatement&&) noexcept;
  ~ExportStatement();
  bool operator==(const ExportStatement& other) const;
};

// STATS
struct StatsStatement {
  bool operator==(const StatsStatement&) const = default;
};

// SCHEMA
struct SchemaStatement {
  bool operator==(const SchemaStatement&) const = default;
};

// DIMENSIONS [dim]
struct DimensionsStatement {
  std::optional<std::string> name;
  bool operator==(const DimensionsStatement&) const = default;
};

// One parsed query; the alternative's position is its kind number.
struct Statement
    : std::variant<CompareBetweenStatement, CompareAcrossStatement, ExplainStatement,
                   TrackStatement, ShowStatement, RankStatement, MiStatement, CmiStatement,
                   CorrelationsStatement, PairwiseStatement, NearestStatement, ExportStatement,
                   StatsStatement, SchemaStatement, DimensionsStatement> {
  using CompareBetween = CompareBetweenStatement;
  using CompareAcross = CompareAcrossStatement;
  using Explain = ExplainStatement;
  using Track = TrackStatement;
  using Show = ShowStatement;
  using Rank = RankStatement;
  using Mi = MiStatement;
  using Cmi = CmiStatement;
  using Correlations = CorrelationsStatement;
  using Pairwise = PairwiseStatement;
  using Nearest = NearestStatement;
  using Export = ExportStatement;
  using Stats = StatsStatement;
  using Schema = SchemaStatement;
  using Dimensions = DimensionsStatement;
  using variant::variant;

  const variant& base() const { return *this; }
  bool operator==(const Statement& other) const { return base() == other.base(); }
};

}  // namespace quor::sql
