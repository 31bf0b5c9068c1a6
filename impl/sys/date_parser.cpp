// Free-form date text, read by a hand-written parser over a token list.
//
// Words match without regard to case; blanks separate tokens; "(...)"
// comments (nested) are skipped. The text is a sequence of items:
//
//   clock time   "8:49", "8:49:37", "8:49:37.250" (the fraction is dropped),
//                "5pm"; followed by a meridian ("am", "pm", "a.m.", "p.m.")
//                or a numeric zone ("+0800", "-05", "+05:30"). A lone number
//                is a clock time too: "8" is 08:00, "0849" is 08:49.
//   zone         a zone word ("gmt", "utc", "est", "cet", "jst"...), a
//                daylight word ("edt", "bst": one hour less west), a zone
//                word followed by "dst", or a military letter ("z"; no "j").
//   date         "1994-11-06", "19941106", "11/6/1994", "1994/11/6", "11/6",
//                "6 Nov 1994", "6 Nov", "6-Nov-94", "Nov 6", "Nov 6, 1994".
//                Months are full names, three-letter abbreviations (with an
//                optional '.') or "sept"; a day may carry an English ordinal
//                suffix ("Nov 6th"). Years 0-68 mean 2000-2068, 69-99 mean
//                1969-1999.
//   weekday      "sunday", "sun", "sun.", "tues", "thurs"... with an optional
//                ',' after it; an ordinal or number before it chooses the
//                week: "friday" or "first friday" is the next Friday (today
//                included), "next friday" (next is 2) the one a week after
//                that, "last friday" the one a week before it.
//   relative     an amount and a unit: "3 days", "+2 hours", "-1 week",
//                "last month", "next week" (two weeks), "fortnight"; the
//                words "tomorrow", "yesterday", "today", "now", "this".
//                "ago" after one negates the relative amount so far.
//   year         a lone number after both a clock time and a date: the
//                asctime form "Sun Nov  6 08:49:37 1994".
// RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT"), RFC 850 ("Sunday, 06-Nov-94
// 08:49:37 GMT"), asctime and ISO 8601 ("1994-11-06T08:49:37Z": a 'T'
// between digits separates date and time) all fall out of these items.
// More than one clock time, zone, date or weekday makes the text invalid,
// as does an empty text, an unknown word or a field out of range.
//
// Evaluation: the date (today in the local zone when none is given) at the
// clock time (midnight when none) in the zone (local standard time when
// none). A text with neither date, clock time nor weekday starts from now
// when it has relative items and from the start of today otherwise. The
// relative seconds are added, then the relative months (the day of the
// month clamped to the length of the month reached), and then a weekday
// without a date moves the result forward to that weekday.
#include "sys/date_parser.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "sys/calendar.h"

namespace zu {
namespace sys {
namespace __ {

namespace {

enum Kind {
  TOKEN_END,
  TOKEN_UNUMBER,     // digits
  TOKEN_SNUMBER,     // a sign directly followed by digits
  TOKEN_ORDINAL,     // "last", "next", "first", "third"...: a number in words
  TOKEN_MONTH,
  TOKEN_DAY,
  TOKEN_ZONE,        // minutes west
  TOKEN_DAYZONE,     // minutes west of the zone's standard time
  TOKEN_DST,
  TOKEN_MERIDIAN,
  TOKEN_MINUTE_UNIT,
  TOKEN_SECOND_UNIT,
  TOKEN_MONTH_UNIT,
  TOKEN_AGO,
  TOKEN_CHAR,        // punctuation: ',', '/', ':', '.'...
  TOKEN_BAD
};

enum Meridian { MERIDIAN_24, MERIDIAN_AM, MERIDIAN_PM };

struct Token {
  Kind kind;
  std::int64_t value;
  int digits;  // of a number
};

struct Word {
  char const* name;
  Kind kind;
  int value;
};

Word const monthDayWords[] = {
    {"january", TOKEN_MONTH, 1},   {"february", TOKEN_MONTH, 2}, {"march", TOKEN_MONTH, 3},
    {"april", TOKEN_MONTH, 4},     {"may", TOKEN_MONTH, 5},      {"june", TOKEN_MONTH, 6},
    {"july", TOKEN_MONTH, 7},      {"august", TOKEN_MONTH, 8},   {"september", TOKEN_MONTH, 9},
    {"sept", TOKEN_MONTH, 9},      {"october", TOKEN_MONTH, 10}, {"november", TOKEN_MONTH, 11},
    {"december", TOKEN_MONTH, 12}, {"sunday", TOKEN_DAY, 0},     {"monday", TOKEN_DAY, 1},
    {"tuesday", TOKEN_DAY, 2},     {"tues", TOKEN_DAY, 2},       {"wednesday", TOKEN_DAY, 3},
    {"wednes", TOKEN_DAY, 3},      {"thursday", TOKEN_DAY, 4},   {"thur", TOKEN_DAY, 4},
    {"thurs", TOKEN_DAY, 4},       {"friday", TOKEN_DAY, 5},     {"saturday", TOKEN_DAY, 6},
};

Word const unitWords[] = {
    {"year", TOKEN_MONTH_UNIT, 12},       {"month", TOKEN_MONTH_UNIT, 1},
    {"fortnight", TOKEN_MINUTE_UNIT, 20160}, {"week", TOKEN_MINUTE_UNIT, 10080},
    {"day", TOKEN_MINUTE_UNIT, 1440},     {"hour", TOKEN_MINUTE_UNIT, 60},
    {"minute", TOKEN_MINUTE_UNIT, 1},     {"min", TOKEN_MINUTE_UNIT, 1},
    {"second", TOKEN_SECOND_UNIT, 1},     {"sec", TOKEN_SECOND_UNIT, 1},
};

Word const relativeWords[] = {
    {"tomorrow", TOKEN_MINUTE_UNIT, 1440}, {"yesterday", TOKEN_MINUTE_UNIT, -1440},
    {"today", TOKEN_MINUTE_UNIT, 0},       {"now", TOKEN_MINUTE_UNIT, 0},
    {"last", TOKEN_ORDINAL, -1},           {"this", TOKEN_MINUTE_UNIT, 0},
    {"next", TOKEN_ORDINAL, 2},            {"first", TOKEN_ORDINAL, 1},
    {"third", TOKEN_ORDINAL, 3},           {"fourth", TOKEN_ORDINAL, 4},
    {"fifth", TOKEN_ORDINAL, 5},           {"sixth", TOKEN_ORDINAL, 6},
    {"seventh", TOKEN_ORDINAL, 7},         {"eighth", TOKEN_ORDINAL, 8},
    {"ninth", TOKEN_ORDINAL, 9},           {"tenth", TOKEN_ORDINAL, 10},
    {"eleventh", TOKEN_ORDINAL, 11},       {"twelfth", TOKEN_ORDINAL, 12},
    {"ago", TOKEN_AGO, 1},
};

// Minutes west of UTC.
Word const zoneWords[] = {
    {"gmt", TOKEN_ZONE, 0},       {"ut", TOKEN_ZONE, 0},        {"utc", TOKEN_ZONE, 0},
    {"wet", TOKEN_ZONE, 0},       {"bst", TOKEN_DAYZONE, 0},    {"wat", TOKEN_ZONE, 60},
    {"at", TOKEN_ZONE, 120},      {"ast", TOKEN_ZONE, 240},     {"adt", TOKEN_DAYZONE, 240},
    {"est", TOKEN_ZONE, 300},     {"edt", TOKEN_DAYZONE, 300},  {"cst", TOKEN_ZONE, 360},
    {"cdt", TOKEN_DAYZONE, 360},  {"mst", TOKEN_ZONE, 420},     {"mdt", TOKEN_DAYZONE, 420},
    {"pst", TOKEN_ZONE, 480},     {"pdt", TOKEN_DAYZONE, 480},  {"yst", TOKEN_ZONE, 540},
    {"ydt", TOKEN_DAYZONE, 540},  {"hst", TOKEN_ZONE, 600},     {"hdt", TOKEN_DAYZONE, 600},
    {"cat", TOKEN_ZONE, 600},     {"ahst", TOKEN_ZONE, 600},    {"nt", TOKEN_ZONE, 660},
    {"idlw", TOKEN_ZONE, 720},    {"cet", TOKEN_ZONE, -60},     {"met", TOKEN_ZONE, -60},
    {"mewt", TOKEN_ZONE, -60},    {"mest", TOKEN_DAYZONE, -60}, {"swt", TOKEN_ZONE, -60},
    {"sst", TOKEN_DAYZONE, -60},  {"fwt", TOKEN_ZONE, -60},     {"fst", TOKEN_DAYZONE, -60},
    {"eet", TOKEN_ZONE, -120},    {"bt", TOKEN_ZONE, -180},     {"zp4", TOKEN_ZONE, -240},
    {"zp5", TOKEN_ZONE, -300},    {"zp6", TOKEN_ZONE, -360},    {"wast", TOKEN_ZONE, -420},
    {"wadt", TOKEN_DAYZONE, -420}, {"cct", TOKEN_ZONE, -480},   {"jst", TOKEN_ZONE, -540},
    {"east", TOKEN_ZONE, -600},   {"eadt", TOKEN_DAYZONE, -600}, {"gst", TOKEN_ZONE, -600},
    {"nzt", TOKEN_ZONE, -720},    {"nzst", TOKEN_ZONE, -720},   {"nzdt", TOKEN_DAYZONE, -720},
    {"idle", TOKEN_ZONE, -720},
};

// Military letters, minutes west; there is no "j".
Word const letterZones[] = {
    {"a", TOKEN_ZONE, 60},   {"b", TOKEN_ZONE, 120},  {"c", TOKEN_ZONE, 180},  {"d", TOKEN_ZONE, 240},
    {"e", TOKEN_ZONE, 300},  {"f", TOKEN_ZONE, 360},  {"g", TOKEN_ZONE, 420},  {"h", TOKEN_ZONE, 480},
    {"i", TOKEN_ZONE, 540},  {"k", TOKEN_ZONE, 600},  {"l", TOKEN_ZONE, 660},  {"m", TOKEN_ZONE, 720},
    {"n", TOKEN_ZONE, -60},  {"o", TOKEN_ZONE, -120}, {"p", TOKEN_ZONE, -180}, {"q", TOKEN_ZONE, -240},
    {"r", TOKEN_ZONE, -300}, {"s", TOKEN_ZONE, -360}, {"t", TOKEN_ZONE, -420}, {"u", TOKEN_ZONE, -480},
    {"v", TOKEN_ZONE, -540}, {"w", TOKEN_ZONE, -600}, {"x", TOKEN_ZONE, -660}, {"y", TOKEN_ZONE, -720},
    {"z", TOKEN_ZONE, 0},
};

template <std::size_t N>
bool findWord(Word const (&table)[N], std::string const& word, Token& token) {
  for (Word const& w : table) {
    if (word == w.name) {
      token = Token{w.kind, w.value, 0};
      return true;
    }
  }
  return false;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

Token lookupWord(std::string const& word) {
  Token token{TOKEN_BAD, 0, 0};
  if (word == "am" || word == "a.m.") return Token{TOKEN_MERIDIAN, MERIDIAN_AM, 0};
  if (word == "pm" || word == "p.m.") return Token{TOKEN_MERIDIAN, MERIDIAN_PM, 0};

  // Month and day names: whole, or their first three letters ("nov",
  // "nov."); a '.' after a whole name is allowed too ("sept.").
  std::string key = word;
  bool dotted = key.size() > 1 && key.back() == '.';
  if (dotted) key.pop_back();
  bool abbreviated = key.size() == 3 && (word.size() == 3 || dotted);
  for (Word const& w : monthDayWords) {
    if (abbreviated ? std::strncmp(key.c_str(), w.name, 3) == 0 : key == w.name)
      return Token{w.kind, w.value, 0};
  }

  if (word == "dst") return Token{TOKEN_DST, 0, 0};
  if (findWord(unitWords, word, token)) return token;
  if (word.size() > 1 && word.back() == 's' && findWord(unitWords, word.substr(0, word.size() - 1), token))
    return token;
  if (findWord(relativeWords, word, token)) return token;
  if (findWord(zoneWords, word, token)) return token;
  if (word.size() == 1 && findWord(letterZones, word, token)) return token;

  // "g.m.t." and the like.
  std::string undotted;
  for (char c : word)
    if (c != '.') undotted += c;
  if (undotted != word && findWord(zoneWords, undotted, token)) return token;
  return Token{TOKEN_BAD, 0, 0};
}

// Splits the text into tokens; false on anything unreadable.
bool tokenise(char const* text, std::vector<Token>& tokens) {
  char const* p = text;
  while (*p) {
    char c = *p;
    if (isSpace(c)) {
      ++p;
      continue;
    }
    if (isDigit(c) || c == '-' || c == '+') {
      int sign = 0;
      if (c == '-' || c == '+') {
        // A sign not followed by a digit is a separator ("6-Nov-94").
        if (!isDigit(p[1])) {
          ++p;
          continue;
        }
        sign = c == '-' ? -1 : 1;
        ++p;
      }
      std::int64_t value = 0;
      int digits = 0;
      for (; isDigit(*p); ++p, ++digits) {
        if (digits == 10) return false;  // no field is that long; keeps the value in range
        value = value * 10 + (*p - '0');
      }
      tokens.push_back(Token{sign ? TOKEN_SNUMBER : TOKEN_UNUMBER, sign ? sign * value : value, digits});
      // English ordinal suffixes: "6th", "1st", "2nd", "3rd".
      if (!sign && isAlpha(p[0]) && isAlpha(p[1]) && !isAlpha(p[2])) {
        char a = static_cast<char>(p[0] | 0x20), b = static_cast<char>(p[1] | 0x20);
        if ((a == 's' && b == 't') || (a == 'n' && b == 'd') || (a == 'r' && b == 'd') || (a == 't' && b == 'h'))
          p += 2;
      }
      continue;
    }
    if (isAlpha(c)) {
      char const* start = p;
      std::string word;
      for (; isAlpha(*p) || *p == '.'; ++p) word += static_cast<char>(*p | 0x20);
      // ISO 8601 puts a 'T' between the date and the time.
      if (word == "t" && start > text && isDigit(start[-1]) && isDigit(*p)) continue;
      // Zone words ending in a digit ("zp4").
      if (isDigit(*p)) {
        Token zone;
        if (findWord(zoneWords, word + *p, zone)) {
          tokens.push_back(zone);
          ++p;
          continue;
        }
      }
      Token token = lookupWord(word);
      if (token.kind == TOKEN_BAD) return false;
      tokens.push_back(token);
      continue;
    }
    if (c == '(') {
      int depth = 0;
      do {
        if (*p == '(') ++depth;
        else if (*p == ')') --depth;
        ++p;
      } while (*p && depth > 0);
      continue;
    }
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    tokens.push_back(Token{TOKEN_CHAR, static_cast<unsigned char>(c), 0});
    ++p;
  }
  tokens.push_back(Token{TOKEN_END, 0, 0});
  return true;
}

// What the items of a text set.
struct Items {
  std::int64_t year = 0, month = 0, day = 0;
  std::int64_t hour = 0, minute = 0, second = 0;
  Meridian meridian = MERIDIAN_24;
  std::int64_t zoneWest = 0;
  bool daylight = false;
  int haveTime = 0, haveZone = 0, haveDate = 0, haveDay = 0, haveRel = 0;
  std::int64_t dayOrdinal = 0, dayNumber = 0;
  std::int64_t relSeconds = 0, relMonths = 0;
};

// Relative amounts beyond this many seconds (about 30 million years) are
// refused, so sums of many items cannot overflow.
std::int64_t const maxRelativeSeconds = 1000000000000000LL;

class Parser {
 public:
  Parser(std::vector<Token> const& tokens, Items& items) : tokens_(tokens), items_(items) {}

  bool parse() {
    while (peek().kind != TOKEN_END)
      if (!item()) return false;
    return true;
  }

 private:
  Token const& peek(std::size_t ahead = 0) const {
    std::size_t i = pos_ + ahead;
    return i < tokens_.size() ? tokens_[i] : tokens_.back();
  }
  Token const& next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
  bool isChar(std::size_t ahead, char c) const {
    return peek(ahead).kind == TOKEN_CHAR && peek(ahead).value == static_cast<unsigned char>(c);
  }
  static bool isUnit(Token const& t) {
    return t.kind == TOKEN_MINUTE_UNIT || t.kind == TOKEN_SECOND_UNIT || t.kind == TOKEN_MONTH_UNIT;
  }
  // A number that may close a date as its year: not the start of a clock
  // time, nor the amount of a relative item or a weekday ordinal.
  bool isYearAt(std::size_t ahead) const {
    if (peek(ahead).kind != TOKEN_UNUMBER) return false;
    Token const& after = peek(ahead + 1);
    return !(isChar(ahead + 1, ':') || isChar(ahead + 1, '/') || after.kind == TOKEN_MERIDIAN || isUnit(after) ||
             after.kind == TOKEN_DAY);
  }

  bool item() {
    Token const& t = peek();
    switch (t.kind) {
      case TOKEN_ZONE:
        next();
        items_.zoneWest = t.value;
        items_.daylight = false;
        if (peek().kind == TOKEN_DST) {
          next();
          items_.daylight = true;
        }
        ++items_.haveZone;
        return true;
      case TOKEN_DAYZONE:
        next();
        items_.zoneWest = t.value;
        items_.daylight = true;
        ++items_.haveZone;
        return true;
      case TOKEN_DAY:
        next();
        if (isChar(0, ',')) next();
        setDay(1, t.value);
        return true;
      case TOKEN_MONTH:
        return monthFirst();
      case TOKEN_ORDINAL:
        if (peek(1).kind == TOKEN_DAY) {
          next();
          setDay(t.value, next().value);
          if (isChar(0, ',')) next();
          return true;
        }
        return isUnit(peek(1)) && relative();
      case TOKEN_UNUMBER:
        return numberFirst();
      case TOKEN_SNUMBER:
        return isUnit(peek(1)) && relative();
      case TOKEN_MINUTE_UNIT:
      case TOKEN_SECOND_UNIT:
      case TOKEN_MONTH_UNIT:
        return relative();
      default:
        return false;
    }
  }

  void setDay(std::int64_t ordinal, std::int64_t weekday) {
    items_.dayOrdinal = ordinal;
    items_.dayNumber = weekday;
    ++items_.haveDay;
  }

  void setDate(std::int64_t year, std::int64_t month, std::int64_t day) {
    items_.year = year;
    items_.month = month;
    items_.day = day;
    ++items_.haveDate;
  }

  void setTime(std::int64_t hour, std::int64_t minute, std::int64_t second, Meridian meridian) {
    items_.hour = hour;
    items_.minute = minute;
    items_.second = second;
    items_.meridian = meridian;
    ++items_.haveTime;
  }

  // [amount] unit [ago]
  bool relative() {
    std::int64_t amount = 1;
    Kind k = peek().kind;
    if (k == TOKEN_UNUMBER || k == TOKEN_SNUMBER || k == TOKEN_ORDINAL) amount = next().value;
    Token const& unit = next();
    switch (unit.kind) {
      case TOKEN_MINUTE_UNIT:
        items_.relSeconds += amount * unit.value * 60;
        break;
      case TOKEN_SECOND_UNIT:
        items_.relSeconds += amount * unit.value;
        break;
      case TOKEN_MONTH_UNIT:
        items_.relMonths += amount * unit.value;
        break;
      default:
        return false;
    }
    if (items_.relSeconds > maxRelativeSeconds || items_.relSeconds < -maxRelativeSeconds ||
        items_.relMonths > 12 * 1000000 || items_.relMonths < -12 * 1000000)
      return false;
    ++items_.haveRel;
    if (peek().kind == TOKEN_AGO) {
      next();
      items_.relSeconds = -items_.relSeconds;
      items_.relMonths = -items_.relMonths;
    }
    return true;
  }

  // Month day [, year]
  bool monthFirst() {
    std::int64_t month = next().value;
    if (peek().kind != TOKEN_UNUMBER) return false;
    std::int64_t day = next().value;
    std::int64_t year = items_.year;
    if (isChar(0, ',') && isYearAt(1)) {
      next();
      year = next().value;
    }
    setDate(year, month, day);
    return true;
  }

  bool numberFirst() {
    Token const& first = next();
    std::int64_t n = first.value;
    Token const& after = peek();
    if (isChar(0, ':')) return clockTime(n);
    if (after.kind == TOKEN_MERIDIAN) {
      next();
      setTime(n, 0, 0, static_cast<Meridian>(after.value));
      return true;
    }
    if (isChar(0, '/')) {
      next();
      if (peek().kind != TOKEN_UNUMBER) return false;
      std::int64_t second = next().value;
      if (!isChar(0, '/')) {
        setDate(items_.year, n, second);
        return true;
      }
      next();
      if (peek().kind != TOKEN_UNUMBER) return false;
      std::int64_t third = next().value;
      if (n >= 100)
        setDate(n, second, third);
      else
        setDate(third, n, second);
      return true;
    }
    if (after.kind == TOKEN_SNUMBER && peek(1).kind == TOKEN_SNUMBER) {
      // ISO 8601: 1994-11-06
      std::int64_t month = -next().value;
      std::int64_t day = -next().value;
      setDate(n, month, day);
      return true;
    }
    if (after.kind == TOKEN_MONTH) {
      std::int64_t month = next().value;
      std::int64_t year = items_.year;
      if (peek().kind == TOKEN_SNUMBER)
        year = -next().value;  // 6-Nov-94
      else if (isYearAt(0))
        year = next().value;
      setDate(year, month, n);
      return true;
    }
    if (after.kind == TOKEN_DAY) {
      setDay(n, next().value);
      if (isChar(0, ',')) next();
      return true;
    }
    if (isUnit(after)) {
      --pos_;
      return relative();
    }
    // A lone number.
    if (items_.haveTime && items_.haveDate && !items_.haveRel) {
      items_.year = n;
    } else if (n > 10000) {
      setDate(n / 10000, n / 100 % 100, n % 100);
    } else if (n < 100) {
      setTime(n, 0, 0, MERIDIAN_24);
    } else {
      setTime(n / 100, n % 100, 0, MERIDIAN_24);
    }
    return true;
  }

  // hour ':' minute [':' second ['.' fraction]] [meridian | numeric zone]
  bool clockTime(std::int64_t hour) {
    next();  // ':'
    if (peek().kind != TOKEN_UNUMBER) return false;
    std::int64_t minute = next().value;
    std::int64_t second = 0;
    if (isChar(0, ':')) {
      next();
      if (peek().kind != TOKEN_UNUMBER) return false;
      second = next().value;
      if (isChar(0, '.') && peek(1).kind == TOKEN_UNUMBER) {
        next();
        next();
      }
    }
    Meridian meridian = MERIDIAN_24;
    if (peek().kind == TOKEN_MERIDIAN) {
      meridian = static_cast<Meridian>(next().value);
    } else if (peek().kind == TOKEN_SNUMBER && !isUnit(peek(1))) {
      if (!numericZone()) return false;
    }
    setTime(hour, minute, second, meridian);
    return true;
  }

  // "+0800", "-05", "+05:30"
  bool numericZone() {
    Token const& sign = next();
    std::int64_t magnitude = sign.value < 0 ? -sign.value : sign.value;
    std::int64_t hours, minutes;
    if (sign.digits <= 2) {
      hours = magnitude;
      minutes = 0;
      if (isChar(0, ':') && peek(1).kind == TOKEN_UNUMBER) {
        next();
        minutes = next().value;
      }
    } else if (sign.digits <= 4) {
      hours = magnitude / 100;
      minutes = magnitude % 100;
    } else {
      return false;
    }
    if (hours > 24 || minutes > 59) return false;
    std::int64_t east = hours * 60 + minutes;
    items_.zoneWest = sign.value < 0 ? east : -east;
    items_.daylight = false;
    ++items_.haveZone;
    return true;
  }

  std::vector<Token> const& tokens_;
  Items& items_;
  std::size_t pos_ = 0;
};

// Seconds of the day, or -1 when a field is out of range.
std::int64_t secondsOfDay(std::int64_t hour, std::int64_t minute, std::int64_t second, Meridian meridian) {
  if (minute < 0 || minute > 59 || second < 0 || second > 59) return -1;
  if (meridian == MERIDIAN_24) {
    if (hour < 0 || hour > 23) return -1;
  } else {
    if (hour < 1 || hour > 12) return -1;
    if (hour == 12) hour = 0;
    if (meridian == MERIDIAN_PM) hour += 12;
  }
  return (hour * 60 + minute) * 60 + second;
}

// The date and clock time read in a zone `east` minutes east of UTC.
bool convert(Items const& it, std::int64_t east, std::int64_t& result) {
  std::int64_t year = it.year < 0 ? -it.year : it.year;
  if (year < 69)
    year += 2000;
  else if (year < 100)
    year += 1900;
  if (year > 100000 || it.month < 1 || it.month > 12 || it.day < 1 ||
      it.day > daysInMonth(year, static_cast<int>(it.month)))
    return false;
  std::int64_t tod = secondsOfDay(it.hour, it.minute, it.second, it.meridian);
  if (tod < 0) return false;
  result = daysFromCivil(year, it.month, it.day) * 86400 + tod - east * 60;
  return true;
}

}  // namespace

std::int64_t parseDate(char const* text, std::int64_t now, int localOffset) {
  if (!text) return -1;
  std::vector<Token> tokens;
  if (!tokenise(text, tokens) || tokens.size() == 1) return -1;

  Time::Detail today = breakDown(now + localOffset * 60LL, 0);
  Items items;
  items.year = today.year;
  items.month = today.month;
  items.day = today.day;
  items.zoneWest = -localOffset;
  if (!Parser(tokens, items).parse()) return -1;
  if (items.haveTime > 1 || items.haveZone > 1 || items.haveDate > 1 || items.haveDay > 1) return -1;

  std::int64_t east = -items.zoneWest + (items.daylight ? 60 : 0);
  std::int64_t start;
  if (items.haveDate || items.haveTime || items.haveDay) {
    if (!convert(items, east, start)) return -1;
  } else {
    start = now;
    if (!items.haveRel) start -= (today.hour * 60 + today.minute) * 60 + today.second;
  }

  start += items.relSeconds;
  if (items.relMonths != 0) {
    Time::Detail d = breakDown(start + east * 60, 0);
    std::int64_t months = d.year * 12LL + (d.month - 1) + items.relMonths;
    std::int64_t year = floorDiv(months, 12);
    int month = static_cast<int>(floorMod(months, 12)) + 1;
    int day = d.day;
    if (day > daysInMonth(year, month)) day = daysInMonth(year, month);
    start = daysFromCivil(year, month, day) * 86400 + (d.hour * 60 + d.minute) * 60 + d.second - east * 60;
  }
  if (items.haveDay && !items.haveDate) {
    Time::Detail d = breakDown(start + east * 60, 0);
    start += 86400 * floorMod(items.dayNumber - d.weekday, 7);
    start += 7 * 86400 * (items.dayOrdinal <= 0 ? items.dayOrdinal : items.dayOrdinal - 1);
  }
  if (start < INT_MIN || start > INT_MAX) return -1;
  return start;
}

}  // namespace __
}  // namespace sys
}  // namespace zu
