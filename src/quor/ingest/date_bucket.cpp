#include "quor/ingest/date_bucket.h"

#include <chrono>
#include <cstdint>

namespace quor::ingest {

namespace {

enum class Granularity { None, Daily, Weekly, Monthly, Yearly };

Granularity granularity_of(std::string_view g) {
  if (g == "daily") return Granularity::Daily;
  if (g == "weekly") return Granularity::Weekly;
  if (g == "monthly") return Granularity::Monthly;
  if (g == "yearly") return Granularity::Yearly;
  return Granularity::None;
}

// Years the date parse accepts (the range of a proleptic calendar library).
constexpr int64_t kMinYear = -262143;
constexpr int64_t kMaxYear = 262142;

struct Cursor {
  std::string_view s;
  size_t pos = 0;

  bool eat(char c) {
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  // 1 to `max_digits` ASCII digits.
  bool number(size_t max_digits, int64_t& out) {
    size_t start = pos;
    int64_t v = 0;
    while (pos < s.size() && pos - start < max_digits && s[pos] >= '0' && s[pos] <= '9') {
      v = v * 10 + (s[pos] - '0');
      ++pos;
    }
    out = v;
    return pos > start;
  }
  // A year: four digits at most unless a sign is written.
  bool year(int64_t& out) {
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
      bool neg = s[pos] == '-';
      ++pos;
      if (!number(9, out)) return false;
      if (neg) out = -out;
      return true;
    }
    return number(4, out);
  }
  bool done() const { return pos == s.size(); }
};

struct Date {
  int64_t y;
  unsigned m;
  unsigned d;
};

bool valid_date(int64_t y, int64_t m, int64_t d) {
  if (y < kMinYear || y > kMaxYear || m < 1 || m > 12 || d < 1 || d > 31) return false;
  std::chrono::year_month_day ymd{std::chrono::year(static_cast<int>(y)),
                                  std::chrono::month(static_cast<unsigned>(m)),
                                  std::chrono::day(static_cast<unsigned>(d))};
  return ymd.ok();
}

bool parse_date_prefix(Cursor& c, Date& out) {
  int64_t y, m, d;
  if (!c.year(y) || !c.eat('-') || !c.number(2, m) || !c.eat('-') || !c.number(2, d)) return false;
  if (!valid_date(y, m, d)) return false;
  out = {y, static_cast<unsigned>(m), static_cast<unsigned>(d)};
  return true;
}

bool parse_date_value(std::string_view value, Date& out) {
  {
    Cursor c{value};
    Date date;
    int64_t hh, mm, ss;
    if (parse_date_prefix(c, date) && c.eat('T') && c.number(2, hh) && c.eat(':') &&
        c.number(2, mm) && c.eat(':') && c.number(2, ss) && c.done() && hh <= 23 && mm <= 59 &&
        ss <= 60) {
      out = date;
      return true;
    }
  }
  Cursor c{value};
  return parse_date_prefix(c, out) && c.done();
}

void append_padded(std::string& out, int64_t v, int width) {
  char buf[24];
  int n = 0;
  uint64_t u = static_cast<uint64_t>(v < 0 ? -v : v);
  do {
    buf[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  while (n < width) buf[n++] = '0';
  while (n > 0) out += buf[--n];
}

// "%Y": four digits for years 0 to 9999, otherwise a sign and at least four.
void append_year(std::string& out, int64_t y) {
  if (y >= 0 && y <= 9999) {
    append_padded(out, y, 4);
    return;
  }
  out += y < 0 ? '-' : '+';
  append_padded(out, y, 4);
}

void append_plain(std::string& out, int64_t v) {
  if (v < 0) out += '-';
  append_padded(out, v, 1);
}

void append_iso_week(std::string& out, const Date& date) {
  using namespace std::chrono;
  const sys_days when = sys_days{year_month_day{year(static_cast<int>(date.y)), month(date.m),
                                                 std::chrono::day(date.d)}};
  const unsigned iso_wd = weekday{when}.iso_encoding();  // Monday 1 .. Sunday 7
  const sys_days thursday = when + days{4 - static_cast<int>(iso_wd)};
  const year_month_day thu{thursday};
  const sys_days jan1 = sys_days{thu.year() / January / 1};
  const int week = static_cast<int>((thursday - jan1).count() / 7) + 1;
  append_plain(out, static_cast<int>(thu.year()));
  out += "-W";
  append_padded(out, week, 2);
}

}  // namespace

void append_bucket_label(std::string& out, std::string_view value, std::string_view granularity) {
  const Granularity g = granularity_of(granularity);
  Date date;
  if (g == Granularity::None || !parse_date_value(value, date)) {
    out += value;
    return;
  }
  switch (g) {
    case Granularity::Daily:
      append_year(out, date.y);
      out += '-';
      append_padded(out, date.m, 2);
      out += '-';
      append_padded(out, date.d, 2);
      return;
    case Granularity::Weekly:
      append_iso_week(out, date);
      return;
    case Granularity::Monthly:
      append_year(out, date.y);
      out += '-';
      append_padded(out, date.m, 2);
      return;
    case Granularity::Yearly:
      append_year(out, date.y);
      return;
    case Granularity::None:
      break;
  }
}

std::string bucket_by_granularity(std::string_view value,
                                  const std::optional<std::string>& granularity) {
  std::string out;
  if (!granularity) out.assign(value);
  else append_bucket_label(out, value, *granularity);
  return out;
}

}  // namespace quor::ingest
