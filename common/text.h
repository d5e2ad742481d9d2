#pragma once

#include <string>
#include <string_view>

namespace qm {

// Bytes from outside (a device's answer, the system's error text, a sysfs file) as text: each
// valid UTF-8 sequence as its character, each byte that is not part of one as the character of
// that number (Latin-1), so one stray byte spoils nothing around it and nothing is lost.
std::wstring TextFromBytes(std::string_view bytes);

// A command-line argument or a path, which on Linux is bytes: as TextFromBytes, except that a
// byte outside valid UTF-8 becomes U+DC80 + (byte - 0x80), so that ArgumentBytes gives back
// exactly the bytes given.
std::wstring ArgumentText(std::string_view bytes);
std::string ArgumentBytes(std::wstring_view text);

// Text that is safe to show on a terminal: control characters (C0, DEL and C1, however they came)
// and the stray bytes of ArgumentText are written as \xNN; the rest is left as it is.
std::wstring ReadableText(std::wstring_view text);

// Text without control characters (C0, DEL and C1): what a terminal shows of a device's answer.
std::wstring WithoutControls(std::wstring_view text);

// Text as UTF-8, for a terminal or a pipe.
std::string Utf8(std::wstring_view text);

}  // namespace qm
