#include "quor/ingest/internal/date_bucket.h"

#include <cstdint>
#include <cstring>
#include <utility>

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

// Calendar arithmetic on 64-bit day numbers (days since 1970-01-01 in the
// proleptic Gregorian calendar), so that every accepted year works, not only
// the ±32767 a 16-bit calendar year holds.
bool is_leap_year(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int64_t days_in_month(int64_t y, int64_t m) {
  static constexpr int8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;                                       // [0, 399]
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;      // [0, 365]
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;               // [0, 146096]
  return era * 146097 + doe - 719468;
}

int64_t year_of_day(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return yoe + era * 400 + (m <= 2);
}

bool valid_date(int64_t y, int64_t m, int64_t d) {
  if (y < kMinYear || y > kMaxYear || m < 1 || m > 12 || d < 1) return false;
  return d <= days_in_month(y, m);
}

bool parse_date_prefix(Cursor& c, Date& out) {
  int64_t y, m, d;
  if (!c.year(y) || !c.eat('-') || !c.number(2, m) || !c.eat('-') || !c.number(2, d)) return false;
  if (!valid_date(y, m, d)) return false;
  out = {y, static_cast<unsigned>(m), static_cast<unsigned>(d)};
  return true;
}

bool parse_date_value(std::string_view value, Date& out, bool& with_time) {
  with_time = false;
  {
    Cursor c{value};
    Date date;
    int64_t hh, mm, ss;
    if (parse_date_prefix(c, date) && c.eat('T') && c.number(2, hh) && c.eat(':') &&
        c.number(2, mm) && c.eat(':') && c.number(2, ss) && c.done() && hh <= 23 && mm <= 59 &&
        ss <= 60) {
      out = date;
      with_time = true;
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

// "{ISO year}-W{ISO week:02}": the ISO week holds the date's Thursday-based
// week, whose year is the year of that week's Thursday.
void append_iso_week(std::string& out, const Date& date) {
  const int64_t day = days_from_civil(date.y, date.m, date.d);
  const int64_t iso_weekday = floor_mod(day + 3, 7) + 1;  // day 0 was a Thursday; Monday 1 .. Sunday 7
  const int64_t thursday = day + 4 - iso_weekday;
  const int64_t iso_year = year_of_day(thursday);
  const int64_t week = (thursday - days_from_civil(iso_year, 1, 1)) / 7 + 1;
  append_plain(out, iso_year);
  out += "-W";
  append_padded(out, week, 2);
}

// "HH:MM:SS" of two digits each, a time the date-time parse accepts.
bool plain_time(const char* t) {
  auto two = [t](size_t at, int most) {
    const unsigned hi = static_cast<unsigned char>(t[at]) - unsigned{'0'};
    const unsigned lo = static_cast<unsigned char>(t[at + 1]) - unsigned{'0'};
    return hi < 10 && lo < 10 && static_cast<int>(hi * 10 + lo) <= most;
  };
  return two(0, 23) && t[2] == ':' && two(3, 59) && t[5] == ':' && two(6, 60);
}

// Appends the label; `with_time` tells whether the value was a date-time.
void append_label(std::string& out, std::string_view value, Granularity g, bool& with_time) {
  Date date;
  with_time = false;
  if (g == Granularity::None || !parse_date_value(value, date, with_time)) {
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

}  // namespace

bool buckets_dates(std::string_view granularity) {
  return granularity_of(granularity) != Granularity::None;
}

void append_bucket_label(std::string& out, std::string_view value, std::string_view granularity) {
  bool with_time;
  append_label(out, value, granularity_of(granularity), with_time);
}

// A day-time text: "YYYY-MM-DD" (11 bytes with the "T"), then "HH:MM:SS".
constexpr size_t kDayTime = 19, kDayAndT = 11;

BucketMemo::BucketMemo(const std::optional<std::string>& granularity)
    : granularity_(static_cast<uint8_t>(granularity ? granularity_of(*granularity) : Granularity::None)) {}

std::string_view BucketMemo::label(std::string_view value, bool& same) {
  const auto g = static_cast<Granularity>(granularity_);
  if (g == Granularity::None) {
    // Every text is its own label.
    same = have_ && value == last_;
    if (!same) last_.assign(value);
    have_ = true;
    return value;
  }
  if (repeats(value)) {
    same = true;
    return label_;
  }
  last_label_.swap(label_);
  label_.clear();
  bool with_time;
  append_label(label_, value, g, with_time);
  same = have_ && label_ == last_label_;
  last_.assign(value);
  have_ = true;
  last_is_day_time_ = with_time && value.size() == kDayTime && value[0] >= '0' && value[0] <= '9';
  return label_;
}

bool BucketMemo::repeats(std::string_view value) const {
  if (!have_ || value.size() != last_.size()) return false;
  if (static_cast<Granularity>(granularity_) == Granularity::None) return value == last_;
  // Sorted timestamps mostly share the day and differ in the time: the day
  // is compared first, in two words, and the whole text only when that
  // fails (on the flights CSV, 1 767 -> 1 732 instructions a row for the
  // ingest step).
  if (last_is_day_time_) {
    uint64_t a, b;
    uint32_t c, d;
    std::memcpy(&a, value.data(), 8);
    std::memcpy(&b, last_.data(), 8);
    std::memcpy(&c, value.data() + kDayAndT - 4, 4);
    std::memcpy(&d, last_.data() + kDayAndT - 4, 4);
    if (a == b && c == d && plain_time(value.data() + kDayAndT)) return true;
  }
  return value == last_;
}

}  // namespace quor::ingest
