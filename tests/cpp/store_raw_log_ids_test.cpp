// Record ids after a crash: a read-write open continues after the last id
// the raw log holds, and only a line that is whole ({"payload":...,
// "record_id":N}, with or without its line feed) says what that id is. A
// line cut short (or cut and later ended by the next append) may hold a
// member named record_id inside its payload; that number is not an id.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "quor/ingest/batch_apply.h"
#include "quor/store/directory.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
namespace fs = std::filesystem;

using RawLogIdsTest = TempDirTest;

std::string line(uint64_t id, const std::string& payload = "{}") {
  return "{\"payload\":" + payload + ",\"record_id\":" + std::to_string(id) + "}\n";
}

// The line of id 211 cut just after its payload, whose own member
// record_id holds 200 (a column of that name).
const std::string kCutAfterPayload = "{\"payload\":{\"a\":\"x\",\"record_id\":200}";

TEST_F(RawLogIdsTest, OpenContinuesAfterTheLastWholeLine) {
  const fs::path path = dir_ / "db";
  { ASSERT_TRUE(create_database(path, true).ok()); }
  const fs::path seg = path / "raw" / "log_000001.raw";
  const std::string log = line(209) + line(210);
  struct Case {
    const char* what;
    std::string content;
    uint64_t next;
  };
  const Case cases[] = {
      {"whole lines", log, 211},
      {"last line lacks only its line feed", log + line(211).substr(0, line(211).size() - 1), 212},
      {"cut after a payload naming record_id", log + kCutAfterPayload, 211},
      {"the same cut, ended by a later line feed", log + kCutAfterPayload + "\n", 211},
      {"a payload record_id larger than every id", log + "{\"payload\":{\"a\":1,\"record_id\":99999}",
       211},
      {"a whole line whose payload names record_id", log + line(211, "{\"a\":1,\"record_id\":5}"), 212},
      {"two cut lines after the last whole one", log + kCutAfterPayload + "\n" + kCutAfterPayload, 211},
      {"a string payload that looks like the end of a line",
       log + "{\"payload\":{\"a\":\",\\\"record_id\\\":900}", 211},
      {"zero bytes a crash left at the end", log + std::string(5000, '\0'), 211},
      {"only a cut line", kCutAfterPayload, 1},
      {"nothing but garbage", "garbage\n{\"payload\":,\"record_id\":7}\n", 1},
  };
  for (const auto& c : cases) {
    spit(seg, c.content);
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok()) << c.what << ": " << db.error().full_text();
    EXPECT_EQ(db->meta.next_raw_record_id, c.next) << c.what;
  }
}

// The whole road: records are logged, the process dies in the middle of the
// next line, just after its payload (no flush, so the stored counter lags),
// and the following ingests never log an id twice.
TEST_F(RawLogIdsTest, NoIdIsLoggedTwiceAfterALineCutAfterItsPayload) {
  const fs::path path = dir_ / "db";
  const fs::path seg = path / "raw" / "log_000001.raw";
  std::vector<ingest::InputRecord> records;
  for (int64_t i = 1; i <= 5; ++i) {
    records.push_back({{"area", util::JsonValue("a")},
                       {"amount", util::JsonValue(util::JsonNumber::from_int(i))},
                       {"record_id", util::JsonValue(util::JsonNumber::from_int(i % 3 + 1))}});
  }
  {
    auto db = create_database(path, true);
    ASSERT_TRUE(db.ok());
    ASSERT_TRUE(db->add_dimension({"area", "area", std::nullopt}).ok());
    for (const char* name : {"amount", "record_id"}) {
      ASSERT_TRUE(db->add_variable({name, model::ContinuousType{4, model::Range{0.0, 10.0}}}).ok());
    }
    ASSERT_TRUE(flush_database(*db).ok());
  }
  // Each round logs five lines, then the next line is cut right after its
  // payload, {"amount":5,"record_id":3}.
  for (int round = 0; round < 3; ++round) {
    {
      auto db = open_database(path, true);
      ASSERT_TRUE(db.ok()) << db.error().full_text();
      ASSERT_TRUE(ingest::apply_input_records(*db, records).ok());
    }
    const std::string log = slurp(seg);
    const size_t last = log.rfind('\n', log.size() - 2) + 1;
    const std::string whole_last = log.substr(last);
    spit(seg, log + whole_last.substr(0, whole_last.rfind(",\"record_id\":")));
  }
  std::set<uint64_t> seen;
  size_t whole = 0;
  std::ifstream in(seg, std::ios::binary);
  for (std::string l; std::getline(in, l);) {
    const size_t at = l.rfind("},\"record_id\":");
    if (at == std::string::npos) continue;  // a cut line
    ++whole;
    const uint64_t id = std::stoull(l.substr(at + 14));
    EXPECT_TRUE(seen.insert(id).second) << "id " << id << " logged twice";
  }
  EXPECT_EQ(whole, 15u);
}

}  // namespace
}  // namespace quor::store
