// The steps that turn a count table into the terms of its mutual
// information, shared by the one-table measures and by MutualInformationRun.
//
// The mutual information of a table is the sum, in row-major cell order, of
// share * log2(arg) over its non-zero cells, with share = n_ij / N and arg =
// share / ((s_i / N) * (t_j / N)). These steps compute every share and arg
// with the same roundings as that plain loop, several cells at a time where
// the processor allows it, and leave the logarithms and the sum to the
// caller (who may run many tables' logarithms in one call).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quor/math/measures.h"

namespace quor::math {

// Which form of a step runs: several cells at a time where the processor
// allows it, or one cell at a time (for tests that hold the two forms
// against each other). Both give the same values.
enum class TermForm { Lanes, OneCellAtATime };

// Row and column sums of `table` (non-empty, width = its first row's
// length), each saturating at 2^64 - 1, with the cell count and the OR of
// every cell within the width. Reuses the room in `m`.
const TableMargins& fill_margins(CountTable table, TableMargins& m,
                                 TermForm form = TermForm::Lanes);

// The room that mi_terms may write past its last term: both arrays must
// hold m.cells + kTermSlack entries.
inline constexpr size_t kTermSlack = 4;

// For a table that passed the guards of MI (N > 0, a non-empty first row),
// with its margins `m` from fill_margins: writes share and arg (see above)
// of every non-zero cell within the width, in row-major order, and returns
// how many.
size_t mi_terms(CountTable table, uint64_t n, const TableMargins& m, double* share, double* arg,
                TermForm form = TermForm::Lanes);

// mi_terms before its divisions: cell[k] = n_ij and den[k] = (s_i / N) *
// (t_j / N) of every non-zero cell, so that share = cell / N and arg = share
// / den (ratio_log_terms takes both divisions with the logarithms).
size_t mi_cells(CountTable table, uint64_t n, const TableMargins& m, double* cell, double* den,
                TermForm form = TermForm::Lanes);

}  // namespace quor::math
