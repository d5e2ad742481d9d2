// How many cells of a terminal a character takes, as the system's own tables say: the C
// library's wcwidth in a UTF-8 locale on Linux (the table terminals and ncurses go by), the
// documented GetStringTypeW on Windows, which has no wcwidth.
#include "console/board/terminal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <locale.h>
#include <wchar.h>

#include <cstring>
#endif

namespace qm {

#ifdef _WIN32

int CharacterCells(char32_t c) {
  // One UTF-16 unit: a cell of the board holds one wchar_t.
  if (c > 0xFFFF || (c >= 0xD800 && c < 0xE000)) return 0;
  const wchar_t unit = static_cast<wchar_t>(c);
  WORD type1 = 0, type3 = 0;
  if (!::GetStringTypeW(CT_CTYPE1, &unit, 1, &type1) ||
      !::GetStringTypeW(CT_CTYPE3, &unit, 1, &type3)) {
    return 0;
  }
  if (!(type1 & C1_DEFINED) || (type1 & C1_CNTRL) || (type3 & C3_NONSPACING)) return 0;
  // Invisible format characters, which the types above do not tell apart: marks that turn the
  // text's direction round, or hide in it.
  if (c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB)) {
    return 0;
  }
  if (type3 & C3_HALFWIDTH) return 1;
  return (type3 & (C3_FULLWIDTH | C3_IDEOGRAPH | C3_HIRAGANA | C3_KATAKANA)) ? 2 : 1;
}

#else

namespace {

// The user's LC_CTYPE when it is UTF-8 (the table their terminal programs use), else the C
// library's built-in C.UTF-8. Made once, never freed: a board may draw until the very end.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    for (const char* name : {"", "C.UTF-8"}) {
      const locale_t made = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
      if (!made) continue;
      const char* codeset = ::nl_langinfo_l(CODESET, made);
      if (codeset && std::strcmp(codeset, "UTF-8") == 0) return made;
      ::freelocale(made);
    }
    return static_cast<locale_t>(0);
  }();
  return locale;
}

}  // namespace

int CharacterCells(char32_t c) {
  const locale_t utf8 = Utf8Locale();
  if (!utf8) return c >= 0x20 && c < 0x7F ? 1 : 0;  // no table: only ASCII is known
  // wcwidth reads the calling thread's locale: this one for the moment of the call.
  const locale_t before = ::uselocale(utf8);
  const int cells = ::wcwidth(static_cast<wchar_t>(c));
  ::uselocale(before);
  return cells == 1 || cells == 2 ? cells : 0;
}

#endif

}  // namespace qm
