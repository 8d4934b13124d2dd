// A growth that fails while ingest batches label and create their new
// distributions: the page allocation number k of the calling thread throws
// std::bad_alloc, for every k of the ingest in turn. The ingest must fail,
// leave every label it stored with a distribution that holds it, keep every
// label's text as it was written, and leave a database that a later ingest
// and a flush and reopen bring to the state of a run without the fault.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <new>
#include <set>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/directory.h"
#include "quor/util/page_array.h"
#include "temp_dir.h"

namespace quor::store {
namespace {

namespace fs = std::filesystem;
using test_util::TempDir;

// The calling thread's growths, counted while the hook is set.
uint64_t g_growths = 0;
uint64_t g_fail_at = 0;
bool g_fired = false;

void count_growth() {
  if (++g_growths == g_fail_at) {
    g_fired = true;
    throw std::bad_alloc();
  }
}

void arm(uint64_t fail_at) {
  g_growths = 0;
  g_fail_at = fail_at;
  g_fired = false;
  util::page_storage::set_grow_hook(&count_growth);
}

uint64_t disarm() {
  util::page_storage::set_grow_hook(nullptr);
  return g_growths;
}

const char* const kDims[] = {"city", "region"};

// `rows` records whose (region, city) pairs are all new past `from`: every
// record makes two labels and one distribution. Texts of several lengths.
void write_input(const fs::path& path, int from, int rows) {
  std::ofstream out(path);
  out << "region,city,amount\n";
  for (int i = from; i < from + rows; ++i)
    out << "region-" << i << ",c" << std::string(static_cast<size_t>(i % 5), 'x') << i << ","
        << (i % 17) << "\n";
}

// Every label of each dimension.
std::map<std::string, std::set<std::string>> labels_of(const Database& db) {
  std::map<std::string, std::set<std::string>> out;
  for (const char* d : kDims) out[d] = db.dimension_values(d);
  return out;
}

struct Case {
  const char* name;
  int rows;   // new labels in each dimension
  int batch;  // records a batch (past the first batch, new keys are made all at once)
};

class CreateLabelFaultsTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    first_ = tmp_.path() / "first.csv";
    second_ = tmp_.path() / "second.csv";
    write_input(first_, 0, 40);
    write_input(second_, 40, GetParam().rows);
    for (int i = 0; i < 40 + GetParam().rows; ++i) {
      written_["region"].insert("region-" + std::to_string(i));
      written_["city"].insert("c" + std::string(static_cast<size_t>(i % 5), 'x') + std::to_string(i));
    }
  }

  Result<ingest::IngestReport> ingest(Database& db, const fs::path& input) {
    ingest::IngestOptions options;
    options.max_categories = 2;  // region and city become dimensions
    return ingest::ingest_file(db, input.string(), options, GetParam().batch, false);
  }

  // A database at `path` holding the first input.
  Database started(const fs::path& path) {
    auto db = create_database(path, true);
    EXPECT_TRUE(db.ok());
    EXPECT_TRUE(ingest(*db, first_).ok());
    return std::move(*db);
  }

  TempDir tmp_;
  fs::path first_, second_;
  std::map<std::string, std::set<std::string>> written_;
};

TEST_P(CreateLabelFaultsTest, EveryGrowthOfTheBatchFailsInTurn) {
  Database clean = started(tmp_.path() / "clean");
  arm(0);
  ASSERT_TRUE(ingest(clean, second_).ok());
  const uint64_t growths = disarm();
  ASSERT_GT(growths, 3u);
  const DatabaseStats want = clean.database_stats();
  ASSERT_EQ(labels_of(clean), written_);

  for (uint64_t k = 1; k <= growths + 1; ++k) {
    SCOPED_TRACE("growth " + std::to_string(k));
    const fs::path path = tmp_.path() / ("db-" + std::to_string(k));
    Database db = started(path);
    bool failed = false;
    arm(k);
    try {
      failed = !ingest(db, second_).ok();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    const bool fired = g_fired;
    disarm();
    if (!fired) {
      EXPECT_FALSE(failed);
      EXPECT_EQ(db.database_stats(), want);
      break;
    }
    EXPECT_TRUE(failed);

    // Every label shown reads back as written and belongs to a stored
    // distribution.
    for (const auto& [dim, labels] : labels_of(db)) {
      for (const std::string& label : labels) {
        EXPECT_TRUE(written_[dim].contains(label)) << dim << " " << label;
        EXPECT_FALSE(db.matching_distributions("amount", {{dim, label}}).empty()) << dim << " " << label;
      }
    }

    // Still usable: the batch again gives the clean run's distributions
    // and labels, and a flush and reopen give what memory held.
    ASSERT_TRUE(ingest(db, second_).ok());
    EXPECT_EQ(labels_of(db), written_);
    EXPECT_EQ(db.database_stats().distributions, want.distributions);
    const DatabaseStats held = db.database_stats();
    ASSERT_TRUE(flush_database(db).ok());
    db = Database();
    auto reopened = open_database(path, false);
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(reopened->database_stats(), held);
    EXPECT_EQ(labels_of(*reopened), written_);
  }
}

INSTANTIATE_TEST_SUITE_P(Batches, CreateLabelFaultsTest,
                         ::testing::Values(Case{"labels_grow_one_by_one", 300, 100},
                                           Case{"labels_reserved_at_once", 2400, 1200}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quor::store
