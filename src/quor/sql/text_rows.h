// The rows of a QueryResult: cell texts packed into shared blocks.
//
// What it buys: a row costs no heap block of its own. A row held as a
// vector of strings was one allocation per row: for COMPARE ... ACROSS over
// 200 values, 19 900 rows of six cells, that was 2.9-4 ms of a 12-16 ms
// statement. Here cells are appended to blocks of about 4 KB (a larger cell
// gets a block of its own size) and their places to two lists kept in
// small blocks (std::deque). No piece is large, so the allocator serves
// them from memory the process already has: one buffer per list, of a
// megabyte each, made every statement map fresh pages from the system, at
// 839 page faults (+12-14 ms) a statement under load.
//
// It reads like the vector of string vectors it stands for: rows[i] is a
// Row, rows[i][j] a Cell, which compares with and converts to a string, and
// the whole converts to std::vector<std::vector<std::string>>. Rows are
// added whole (push_back) or cell by cell (start_row, then add_cell), and
// can be put in another order afterwards without moving a cell (reorder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quor::sql {

class TextRows {
 public:
  // Walks the rows of a table, or the cells of a row, by number.
  template <class Value>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Value;
    Iterator() = default;
    Iterator(const TextRows* table, size_t i) : table_(table), i_(i) {}
    Value operator*() const { return table_->item(i_, static_cast<const Value*>(nullptr)); }
    Iterator& operator++() { ++i_; return *this; }
    Iterator operator++(int) { Iterator old = *this; ++i_; return old; }
    bool operator==(const Iterator& o) const { return i_ == o.i_; }

   private:
    const TextRows* table_ = nullptr;
    size_t i_ = 0;  // the row's number, or the cell's in the table
  };

  // One cell's text, valid while its table is unchanged.
  class Cell {
   public:
    explicit Cell(std::string_view text) : text_(text) {}
    std::string_view view() const { return text_; }
    operator std::string_view() const { return text_; }  // NOLINT: reads as its text
    operator std::string() const { return std::string(text_); }  // NOLINT
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    const char* data() const { return text_.data(); }
    friend bool operator==(const Cell& a, std::string_view b) { return a.text_ == b; }
    friend std::ostream& operator<<(std::ostream& os, const Cell& c);

   private:
    std::string_view text_;
  };

  // One row: its cells in order, valid while its table is unchanged.
  class Row {
   public:
    using value_type = Cell;
    using iterator = Iterator<Cell>;
    using const_iterator = Iterator<Cell>;

    Row(const TextRows* table, size_t first_cell, size_t cells)
        : table_(table), first_(first_cell), size_(cells) {}
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Cell operator[](size_t j) const { return table_->cell(first_ + j); }
    iterator begin() const { return iterator(table_, first_); }
    iterator end() const { return iterator(table_, first_ + size_); }
    operator std::vector<std::string>() const;  // NOLINT: reads as its cells
    friend bool operator==(const Row& a, const Row& b);
    friend bool operator==(const Row& a, const std::vector<std::string>& b);

   private:
    const TextRows* table_;
    size_t first_;
    size_t size_;
  };

  using value_type = Row;
  using iterator = Iterator<Row>;
  using const_iterator = Iterator<Row>;

  TextRows() = default;
  TextRows(std::initializer_list<std::initializer_list<std::string_view>> rows);  // NOLINT
  TextRows(const std::vector<std::vector<std::string>>& rows);  // NOLINT: the same table
  TextRows& operator=(std::initializer_list<std::initializer_list<std::string_view>> rows);

  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  // Room for `rows` rows of `cells` cells in all holding `bytes` bytes.
  void reserve(size_t rows, size_t cells = 0, size_t bytes = 0);

  void push_back(std::initializer_list<std::string_view> cells);
  void push_back(const std::vector<std::string>& cells);
  // A new, empty last row; add_cell appends to it.
  void start_row() { rows_.push_back({static_cast<uint32_t>(cells_.size()), 0}); }
  void add_cell(std::string_view text);
  // Row k becomes the row that was at order[k]; `order` is a permutation
  // of the row numbers.
  void reorder(std::span<const uint32_t> order);

  Row operator[](size_t i) const { return Row(this, rows_[i].first, rows_[i].cells); }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, size()); }

  operator std::vector<std::vector<std::string>>() const;  // NOLINT: the same table
  bool operator==(const TextRows& other) const;
  friend bool operator==(const TextRows& a, const std::vector<std::vector<std::string>>& b);

 private:
  Row item(size_t i, const Row*) const { return (*this)[i]; }
  Cell item(size_t k, const Cell*) const { return cell(k); }
  Cell cell(size_t k) const {
    const Place& c = cells_[k];
    const uint32_t start = k > 0 && cells_[k - 1].block == c.block ? cells_[k - 1].end : 0;
    return Cell(std::string_view(blocks_[c.block]).substr(start, c.end - start));
  }

  struct Span {
    uint32_t first;  // its first cell's number
    uint32_t cells;
  };
  // Where a cell ends: its block and the end within it. A cell starts
  // where the one before it ends, or at 0 when that one is in another block.
  struct Place {
    uint32_t block;
    uint32_t end;
  };
  static constexpr size_t kBlockBytes = 4000;
  std::vector<std::string> blocks_;  // cell texts, in the order they were added
  std::deque<Place> cells_;          // every cell, in the order it was added (at most 2^32)
  std::deque<Span> rows_;            // each row's cells, in row order
};

}  // namespace quor::sql
