#pragma once

// The string operations the program relies on. Strings are byte strings (UTF-8 when they
// carry text); lengths and positions count bytes, positions start at 1 and 0 means
// "not found". Comparisons and searches ignore ASCII letter case.

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

using String = std::string;

// Byte length (the program's strings carry no multi-byte encoding where it matters).
int64_t Len(std::string_view s);
int64_t LenB(std::string_view s);

// 1-based substring; a start below 1 counts as 1, a negative length means "to the end".
std::string Mid(std::string_view s, int64_t start, int64_t length = -1);
std::string Left(std::string_view s, int64_t count);
std::string Right(std::string_view s, int64_t count);

// Case-insensitive search, 1-based result, 0 when absent. An empty needle is found at start.
int64_t InStr(std::string_view haystack, std::string_view needle);
int64_t InStr(int64_t start, std::string_view haystack, std::string_view needle);
// Byte-exact search, same conventions.
int64_t InStrB(int64_t start, std::string_view haystack, std::string_view needle);

// The n-th (1-based) field of s split at separator (case-insensitive); "" past the last.
std::string NthField(std::string_view s, std::string_view separator, int64_t n);
int64_t CountFields(std::string_view s, std::string_view separator);

// Trimming removes blanks and tabs.
std::string LTrim(std::string_view s);
// LTrim without the copy: the part of s after its leading blanks and tabs.
std::string_view LTrimView(std::string_view s);
std::string RTrim(std::string_view s);
std::string Trim(std::string_view s);

// Case-insensitive comparison: <0, 0, >0. Equality helper for the common use.
int StrCompare(std::string_view a, std::string_view b);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string Lowercase(std::string_view s);
std::string Uppercase(std::string_view s);

// Replaces every occurrence of what (byte-exact) by with.
std::string ReplaceAllB(std::string_view s, std::string_view what, std::string_view with);

// Leading decimal number after optional blanks and sign; a fraction is cut toward zero,
// 0 when there is no number, and values beyond the 64-bit range clamp to its ends.
int64_t Val(std::string_view s);
// Leading decimal number as a double (0 when none).
double CDbl(std::string_view s);
// A double cut toward zero; false when it is not finite or outside the 64-bit range.
bool TruncateToInt64(double value, int64_t& out);

// Plain decimal digits with a leading "-" for negatives: no locale, no grouping.
std::string Int64ToText(int64_t value);
// value written with at least `digits` digits, zero-padded on the left ("00000001").
std::string FormatZeroPadded(int64_t value, int digits);

// The platform's line end: CR LF on Windows, LF elsewhere.
std::string EndOfLine();

} // namespace host
