// Date-time values and the module's own short date format.
//
// A DateTime counts days since 30 December 1899 (the zero date-time, earlier than every date in
// the data), the time of day as the fraction. For values before the zero date the whole part is
// the day and the absolute fraction the time, as the platform's date-time type does.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

struct DateTime {
  double value = 0;
  friend bool operator==(DateTime a, DateTime b) { return a.value == b.value; }
  friend bool operator<(DateTime a, DateTime b) { return a.value < b.value; }
  friend bool operator>(DateTime a, DateTime b) { return a.value > b.value; }
  friend bool operator<=(DateTime a, DateTime b) { return a.value <= b.value; }
  friend bool operator>=(DateTime a, DateTime b) { return a.value >= b.value; }
};

struct DateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Encodes a calendar date (proleptic Gregorian, years 1 to 9999); false when it does not exist.
bool TryEncodeDate(int year, int month, int day, DateTime& out);
DateTime EncodeDate(int year, int month, int day);  // throws ConvertError
DateTime EncodeDateTime(const DateParts& parts);    // throws ConvertError
// Throws ConvertError for a value that is no date of years 1 to 9999 (IsValidDateTime).
DateParts DecodeDateTime(DateTime value);
// True for a finite value whose day lies in years 1 to 9999. Values come from outside (the wire
// carries any 8 bytes), so every conversion to calendar parts checks this first.
bool IsValidDateTime(DateTime value);

// The calendar day of a value, as a whole day number (the time of day dropped). A value outside
// years 1 to 9999 gives the day just before the first or after the last day of that range (NaN:
// before), so that it compares as such and never overflows.
long long CalendarDay(DateTime value);
DateTime DateOf(DateTime value);

// Today's local date (time 0) and the local date and time, from the system clock.
DateTime Today();
DateTime Now();

// The module's short date format: a process-wide setting of this module's run-time library,
// separate from the host's. It starts as the system's short date format and can be set, e.g. to
// "yyyy-mm-dd". Tokens: "yyyy" (four-digit year), "yy" (two digits), "mm"/"m" (month with/without
// leading zero), "dd"/"d" (day); letters are matched without regard to case; other characters
// are written as they stand and the first of them is the date separator.
const std::string& ShortDateFormat();
void SetShortDateFormat(std::string format);
// The system's short date format: the user's locale setting on Windows, "yyyy/m/d" elsewhere.
std::string SystemShortDateFormat();

// Formats the date part of `value` with the short date format (or with `format`).
std::string DateToStr(DateTime value);
std::string FormatDate(std::string_view format, DateTime value);

// Reads a date written in the short date format: year, month and day in the format's order,
// separated by its date separator, month and day with one or two digits, the year with four
// digits (or two, taken as 1950 to 2049), optional blanks around. An optional time of day
// "hh:nn" or "hh:nn:ss" may follow after a blank in StrToDateTime.
bool TryStrToDate(std::string_view text, DateTime& value);
DateTime StrToDate(std::string_view text);  // throws ConvertError "'<text>' is not a valid date"
bool TryStrToDateTime(std::string_view text, DateTime& value);
DateTime StrToDateTime(std::string_view text);  // throws ConvertError

// ISO text "yyyy-mm-dd hh:nn:ss" (time omitted when zero), independent of every setting; the form
// in which dates travel to and from the application server.
std::string DateTimeToIso(DateTime value);
bool TryIsoToDateTime(std::string_view text, DateTime& value);

}  // namespace rtl
