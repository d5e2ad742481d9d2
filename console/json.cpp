#include "console/json.h"

#include "common/text.h"

namespace qm {

// `value` in decimal, with leading zeros to `width` digits.
std::wstring Padded(int64_t value, std::size_t width) {
  std::wstring digits = DecimalNumber(value);
  return std::wstring(width > digits.size() ? width - digits.size() : 0, L'0') + digits;
}

const wchar_t* OutcomeName(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered: return L"answered";
    case ExchangeOutcome::kUnexpected: return L"unexpected";
    case ExchangeOutcome::kNoAnswer: return L"no-answer";
    case ExchangeOutcome::kCouldNotOpen: return L"cannot-open";
    case ExchangeOutcome::kNone: break;
  }
  return L"interrupted";  // the program ended during the exchange, or before it
}

std::wstring JsonOrNull(const std::wstring& text) {
  return text.empty() ? L"null" : JsonString(text);
}

// The members that say which adapter a record is about.
std::wstring JsonAdapter(const std::wstring& port, const Adapter& adapter) {
  return L"\"port\":" + JsonString(port) + L",\"location\":" + JsonOrNull(adapter.location) +
         L",\"serial\":" + JsonOrNull(adapter.serial) + L",\"product\":" +
         JsonOrNull(adapter.name);
}

std::wstring JsonString(std::wstring_view text) {
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring json = L"\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = static_cast<char32_t>(text[i]);
    const bool high = c >= 0xD800 && c < 0xDC00, low = c >= 0xDC00 && c < 0xE000;
    // A surrogate is kept only as half of a pair (where wchar_t is 16 bits wide).
    const bool paired = high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    if (c == L'"' || c == L'\\') {
      json += L'\\';
      json += static_cast<wchar_t>(c);
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {  // no control reaches a terminal raw
      json += L"\\u00";
      json += kHex[c >> 4];
      json += kHex[c & 0xF];
    } else if ((high && !paired) || low || c > 0x10FFFF) {  // a path's stray bytes are low ones
      json += L"\\ufffd";
    } else {
      json += static_cast<wchar_t>(c);
      if (paired) json += text[++i];
    }
  }
  return json + L"\"";
}

std::wstring IsoTime(int64_t unix_ms) {
  // Days to a civil date (Howard Hinnant's algorithm), so that no C library's time is needed.
  const int64_t ms_of_day = ((unix_ms % 86400000) + 86400000) % 86400000;
  int64_t z = (unix_ms - ms_of_day) / 86400000 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);

  const int64_t ms = ms_of_day % 1000, s = ms_of_day / 1000;
  return DecimalNumber(year) + L"-" + Padded(month, 2) + L"-" + Padded(day, 2) + L"T" +
         Padded(s / 3600, 2) + L":" + Padded(s / 60 % 60, 2) + L":" + Padded(s % 60, 2) + L"." +
         Padded(ms, 3) + L"Z";
}

namespace {

// Milliseconds as seconds with three decimals.
std::wstring Seconds(int64_t ms) {
  return DecimalNumber(ms / 1000) + L"." + Padded(ms % 1000, 3);
}

}  // namespace

std::wstring ExchangeRecord(const ExchangeId& id, const Verdict& verdict) {
  // An unexpected answer is kept: what the device said instead is what a bench needs to know.
  const bool answered = verdict.outcome == ExchangeOutcome::kAnswered ||
                        verdict.outcome == ExchangeOutcome::kUnexpected;
  const bool unopened = verdict.outcome == ExchangeOutcome::kCouldNotOpen;
  return L"{\"type\":\"exchange\"," + JsonAdapter(id.path, id.adapter) + L",\"outcome\":\"" +
         OutcomeName(verdict.outcome) + L"\",\"answer\":" +
         (answered ? JsonString(verdict.answer) : L"null") + L",\"reason\":" +
         JsonOrNull(unopened ? verdict.reason : L"") + L",\"started\":\"" +
         IsoTime(verdict.started_unix_ms) + L"\",\"seconds\":" + Seconds(verdict.took_ms) + L"}";
}

std::wstring SummaryRecord(const Tally& tally) {
  return L"{\"type\":\"summary\",\"answered\":" + DecimalNumber(tally.answered) +
         (tally.judged ? L",\"unexpected\":" + DecimalNumber(tally.unexpected) : L"") +
         L",\"no-answer\":" + DecimalNumber(tally.no_answer) + L",\"cannot-open\":" +
         DecimalNumber(tally.cannot_open) + L",\"interrupted\":" + DecimalNumber(tally.interrupted) +
         L"}";
}

std::wstring WatchRecord(const WatchStart& start) {
  return L"{\"type\":\"watch\",\"started\":\"" + IsoTime(start.unix_ms) + L"\",\"settle\":" +
         Seconds(start.settle_ms) +
         (start.expect.empty() ? L"" : L",\"expect\":" + JsonString(start.expect)) + L"}";
}

}  // namespace qm
