// The statements built on the analytics operations: COMPARE (BETWEEN and ACROSS),
// EXPLAIN, TRACK, MI, CMI, CORRELATIONS, PAIRWISE and NEAREST.
//
// Each arm builds the operation's arguments from the statement, calls it and
// lays the result out with the table builders of cells.h. Errors of the
// operations come back unchanged, except inside COMPARE ... ACROSS, where a
// failed comparison becomes that pair's "N/A" row.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quor/analytics/compare.h"
#include "quor/analytics/correlations.h"
#include "quor/analytics/explain.h"
#include "quor/analytics/mutual_info.h"
#include "quor/analytics/pairwise.h"
#include "quor/analytics/reference.h"
#include "quor/analytics/track.h"
#include "quor/math/measures.h"
#include "quor/sql/internal/cells.h"
#include "quor/sql/executor.h"
#include "quor/sql/internal/row_order.h"
#include "quor/sql/internal/statement_runners.h"
#include "quor/util/format.h"
#include "quor/util/total_order.h"

namespace quor::sql::runners {

namespace {

// "{}:{}" of one pair, the key of the statements without a WHERE clause.
std::string pair_key(const DimensionPair& p) { return p.dimension + ":" + p.value; }

// The distance of a comparison that a NEAREST metric selects.
double metric_distance(Metric m, const analytics::CompareResult& r) {
  switch (m) {
    case Metric::Psi:
      return r.psi;
    case Metric::Hellinger:
      return r.hellinger;
    case Metric::Jsd:
      break;
  }
  return r.jsd;
}

}  // namespace

Result<QueryResult> compare_between(const Database& db, CompareCache& cache,
                                    const CompareBetweenStatement& s) {
  const std::string key_a = build_reference_key(s.a, s.filters);
  const std::string key_b = build_reference_key(s.b, s.filters);
  QUOR_ASSIGN_OR_RETURN(analytics::CompareResult r,
                        analytics::compare_query(db, cache, key_a, key_b, s.variable));
  return compare_between_table(r);
}

Result<QueryResult> compare_across(const Database& db, CompareCache& cache,
                                   const CompareAcrossStatement& s) {
  const std::set<std::string> value_set = db.dimension_values(s.dimension);
  if (value_set.size() < 2)
    return Error("dimension '" + s.dimension + "' has fewer than 2 values for pairwise comparison");
  const std::vector<std::string> values(value_set.begin(), value_set.end());

  // Every pair compares the variable between two of the same n selections,
  // so each selection's key is parsed and resolved once and prepared for
  // its n - 1 comparisons; a pair then fails exactly when comparing its two
  // keys would (a side that does not parse or resolve, or the comparison
  // itself). Errors are dropped: such a pair prints as "N/A".
  std::vector<std::optional<analytics::PreparedSide>> sides(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    Result<analytics::ParsedReference> ref =
        analytics::parse_reference(build_reference_key({s.dimension, values[i]}, s.filters));
    if (!ref.ok()) continue;
    Result<analytics::ResolvedSide> side = analytics::resolve_side(db, s.variable, ref->dimensions);
    if (side.ok()) sides[i].emplace(std::move(*side), cache);
  }

  // With more pairs than the cache holds, the first results would be
  // evicted again before the statement ends: those pairs are measured
  // without the cache, and only for what their rows print.
  std::vector<const analytics::PreparedSide*> prepared;
  for (const auto& side : sides) prepared.push_back(side ? &*side : nullptr);
  const size_t unkept = analytics::leading_stores_that_cannot_survive(prepared);

  // The rows in pair order, each with the value its JSD cell reads as (0.0
  // for an "N/A" row), then put in the order of those keys: the sort moves
  // no cell.
  const size_t n = values.size();
  const size_t pairs = n * (n - 1) / 2;
  size_t label_bytes = 0;
  for (const std::string& v : values) label_bytes += v.size();
  QueryResult q;
  q.header = across_header();
  q.rows.reserve(pairs, 6 * pairs, (n - 1) * label_bytes + 48 * pairs);
  std::vector<double> keys;
  keys.reserve(pairs);
  NumberWriter writer;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      std::optional<analytics::PairMeasures> m;
      if (sides[i] && sides[j]) {
        if (keys.size() < unkept) {
          Result<analytics::PairMeasures> r = analytics::measure_unkept(*sides[i], *sides[j]);
          if (r.ok()) m = *r;
        } else {
          Result<analytics::CompareResult> r = analytics::compare_prepared(cache, *sides[i], *sides[j]);
          if (r.ok()) m = analytics::PairMeasures::of(*r);
        }
      }
      if (!m) {
        q.rows.push_back(across_failed_row(values[i], values[j]));
        keys.push_back(0.0);
        continue;
      }
      q.rows.start_row();
      q.rows.add_cell(values[i]);
      q.rows.add_cell(values[j]);
      const std::string_view jsd = writer.fixed(m->jsd, 6);
      keys.push_back(writer.read_back(jsd));
      q.rows.add_cell(jsd);
      q.rows.add_cell(writer.fixed(m->hellinger, 6));
      q.rows.add_cell(writer.fixed(m->psi, 6));
      q.rows.add_cell(writer.samples_cell(m->samples_a, m->samples_b));
    }
  }
  q.rows.reorder(descending_order_of_fixed(keys, 6));
  return q;
}

Result<QueryResult> explain(const Database& db, CompareCache& cache, const ExplainStatement& s) {
  QUOR_ASSIGN_OR_RETURN(analytics::ExplainResult e,
                        analytics::explain_query(db, cache, pair_key(s.a), pair_key(s.b)));
  return explain_table(e);
}

// GRANULARITY has no effect: the time labels are the stored values of the
// time dimension.
Result<QueryResult> track(const Database& db, CompareCache& cache, const TrackStatement& s) {
  QUOR_ASSIGN_OR_RETURN(analytics::TrackResult t,
                        analytics::track_query(db, cache, pair_key(s.from), s.variable));
  return track_table(t);
}

Result<QueryResult> mi(const Database& db, const MiStatement& s) {
  QUOR_ASSIGN_OR_RETURN(double mi_bits,
                        analytics::mutual_info_query(db, s.var_a, s.var_b, pair_key(s.at)));
  model::DimensionMap at;
  at.emplace(s.at.dimension, s.at.value);
  const model::JointDistributionObject* joint = db.find_joint(s.var_a, s.var_b, at);
  if (joint == nullptr) return mi_table(mi_bits, std::nullopt);
  const analytics::JointTable t = analytics::joint_count_table(*joint);
  return mi_table(mi_bits, JointStrength{math::normalized_mutual_information(t.rows, t.total),
                                         math::cramers_v(t.rows, t.total), t.total});
}

Result<QueryResult> cmi(const Database& db, const CmiStatement& s) {
  QUOR_ASSIGN_OR_RETURN(analytics::CmiResult c,
                        analytics::conditional_mutual_info(db, s.var_a, s.var_b, s.given));
  return cmi_table(s.given, c);
}

Result<QueryResult> correlations(const Database& db, const CorrelationsStatement& s) {
  std::optional<std::string_view> dimension;
  if (s.dimension) dimension = *s.dimension;
  QUOR_ASSIGN_OR_RETURN(std::vector<analytics::CorrelationRow> rows,
                        analytics::correlations(db, dimension, s.limit));
  return correlations_table(rows);
}

Result<QueryResult> pairwise(const Database& db, CompareCache& cache, const PairwiseStatement& s) {
  QUOR_ASSIGN_OR_RETURN(analytics::PairwiseMatrix m,
                        analytics::pairwise_matrix(db, cache, s.dimension, s.variable, s.metric));
  return pairwise_table(m);
}

Result<QueryResult> nearest(const Database& db, CompareCache& cache, const NearestStatement& s) {
  const std::string reference = pair_key(s.reference);
  Result<analytics::ParsedReference> parsed = analytics::parse_reference(reference);
  if (!parsed.ok()) return Error(parsed.error().short_text());

  std::string variable;
  if (parsed->variable) {
    variable = *parsed->variable;
  } else if (!db.meta.schema.variables.empty()) {
    variable = db.meta.schema.variables.front().name;
  } else {
    return Error("no variable in schema");
  }

  // Each candidate is compared with the same reference selection: it is
  // resolved and prepared once, at the first candidate (an empty candidate
  // list fails nothing), and its outcome, value or error, serves every
  // candidate.
  const Metric metric = parse_metric(s.metric);
  std::optional<Result<analytics::PreparedSide>> side_a;
  struct Candidate {
    const std::string* value;
    double distance;
  };
  const std::set<std::string> values = db.dimension_values(s.dimension);
  std::vector<Candidate> candidates;
  candidates.reserve(values.size());
  for (const auto& c : values) {
    if (c == s.reference.value) continue;
    QUOR_ASSIGN_OR_RETURN(analytics::ParsedReference ref_b,
                          analytics::parse_reference(s.dimension + ":" + c));
    if (!side_a) {
      Result<analytics::ResolvedSide> a = analytics::resolve_side(db, variable, parsed->dimensions);
      if (a.ok())
        side_a.emplace(analytics::PreparedSide(std::move(*a), cache));
      else
        side_a.emplace(a.error());
    }
    if (!side_a->ok()) return side_a->error();
    QUOR_ASSIGN_OR_RETURN(analytics::ResolvedSide resolved_b,
                          analytics::resolve_side(db, variable, ref_b.dimensions));
    const analytics::PreparedSide side_b(std::move(resolved_b), cache);
    QUOR_ASSIGN_OR_RETURN(analytics::CompareResult r,
                          analytics::compare_prepared(cache, **side_a, side_b));
    candidates.push_back({&c, metric_distance(metric, r)});
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& x, const Candidate& y) {
    return util::total_less(x.distance, y.distance);
  });
  if (s.limit < candidates.size()) candidates.resize(static_cast<size_t>(s.limit));

  QueryResult q;
  q.header = {s.dimension, metric_title(s.metric)};
  q.rows.reserve(candidates.size());
  NumberWriter writer;
  for (const auto& c : candidates) q.rows.push_back({*c.value, writer.fixed_cell(c.distance, 6)});
  return q;
}

}  // namespace quor::sql::runners
