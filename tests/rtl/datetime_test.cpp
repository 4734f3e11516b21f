#include "rtl/datetime.h"

#include <gtest/gtest.h>
#include <cmath>

#include "rtl/error.h"

namespace rtl {
namespace {

// Restores the module's short date format after each test.
class DateFormatTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ShortDateFormat(); }
  void TearDown() override { SetShortDateFormat(saved_); }
  std::string saved_;
};

TEST(DateTimeTest, DayNumbersAroundTheZeroDate) {
  struct Case {
    int y, m, d;
    double value;
  };
  const Case cases[] = {
      {1899, 12, 30, 0},  {1899, 12, 31, 1},       {1900, 1, 1, 2},      {1899, 12, 29, -1},
      {1900, 3, 1, 61},   {2000, 1, 1, 36526},     {2000, 2, 29, 36585}, {2024, 3, 5, 45356},
      {1, 1, 1, -693593}, {9999, 12, 31, 2958465},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeDate(c.y, c.m, c.d).value, c.value) << c.y << "-" << c.m << "-" << c.d;
    const DateParts p = DecodeDateTime(DateTime{c.value});
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.m);
    EXPECT_EQ(p.day, c.d);
  }
}

TEST(DateTimeTest, LeapYearsAndInvalidDates) {
  DateTime t;
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, t));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, t));
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, t));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, t));
  EXPECT_FALSE(TryEncodeDate(2024, 4, 31, t));
  EXPECT_FALSE(TryEncodeDate(2024, 13, 1, t));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, t));
  EXPECT_THROW(EncodeDate(2024, 0, 1), ConvertError);
}

TEST(DateTimeTest, EveryDayRoundTripsAcrossFourCenturies) {
  for (double v = -1000; v < 150000; v += 1) {
    const DateParts p = DecodeDateTime(DateTime{v});
    ASSERT_EQ(EncodeDate(p.year, p.month, p.day).value, v);
  }
}

TEST(DateTimeTest, TimeOfDayAndCalendarDay) {
  DateParts p{2024, 3, 5, 13, 45, 10, 0};
  const DateTime t = EncodeDateTime(p);
  EXPECT_EQ(CalendarDay(t), 45356);
  EXPECT_EQ(DateOf(t).value, 45356);
  const DateParts back = DecodeDateTime(t);
  EXPECT_EQ(back.hour, 13);
  EXPECT_EQ(back.minute, 45);
  EXPECT_EQ(back.second, 10);
  // Before the zero date the fraction is the time of day counted forward.
  const DateParts before = DecodeDateTime(DateTime{-1.25});
  EXPECT_EQ(before.day, 29);
  EXPECT_EQ(before.hour, 6);
}

TEST_F(DateFormatTest, StartsAsTheSystemFormatAndCanBeSet) {
  SetShortDateFormat(SystemShortDateFormat());
  const DateTime t = EncodeDate(2024, 3, 5);
#ifndef _WIN32
  EXPECT_EQ(DateToStr(t), "2024/3/5");
#endif
  SetShortDateFormat("yyyy-mm-dd");
  EXPECT_EQ(DateToStr(t), "2024-03-05");
  EXPECT_EQ(DateToStr(DateTime{45356.75}), "2024-03-05");  // the date part only
  EXPECT_EQ(FormatDate("dd.mm.yy", t), "05.03.24");
  EXPECT_EQ(DateToStr(DateTime{0}), "1899-12-30");
}

TEST_F(DateFormatTest, ParsesInTheFormatsOrderAndSeparator) {
  SetShortDateFormat("yyyy-mm-dd");
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"2024-03-05", true, 45356},
      {"2024-3-5", true, 45356},
      {" 2024-03-05 ", true, 45356},
      {"24-03-05", true, 45356},
      {"2000-02-29", true, 36585},
      {"2024/03/05", false, 0},
      {"2024-02-30", false, 0},
      {"2024-03", false, 0},
      {"abc", false, 0},
      {"", false, 0},
      {"2024-03-05x", false, 0},
      {"20240-03-05", false, 0},
  };
  for (const Case& c : cases) {
    DateTime t{-7};
    EXPECT_EQ(TryStrToDate(c.text, t), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(t.value, c.value) << c.text;
    }
  }
  SetShortDateFormat("dd/mm/yyyy");
  EXPECT_EQ(StrToDate("05/03/2024").value, 45356);
  try {
    StrToDate("2024-03-05");
    FAIL() << "no error";
  } catch (const ConvertError& e) {
    EXPECT_STREQ(e.what(), "'2024-03-05' is not a valid date");
  }
}

TEST_F(DateFormatTest, DateTimeTextWithTimeOfDay) {
  SetShortDateFormat("yyyy-mm-dd");
  EXPECT_EQ(StrToDateTime("2024-03-05").value, 45356);
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05 12:00").value, 45356.5);
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05 06:00:00").value, 45356.25);
  EXPECT_THROW(StrToDateTime("2024-03-05 25:00"), ConvertError);
  EXPECT_THROW(StrToDateTime("2024-03-05 12"), ConvertError);
}

TEST(IsoDateTest, RoundTripsIndependentOfTheShortFormat) {
  const double values[] = {0, 45356, 45356.5, 45356.25 + 1.0 / 86400, -1, 2958465};
  for (double v : values) {
    const std::string iso = DateTimeToIso(DateTime{v});
    DateTime back;
    ASSERT_TRUE(TryIsoToDateTime(iso, back)) << iso;
    EXPECT_NEAR(back.value, v, 1e-9) << iso;
  }
  EXPECT_EQ(DateTimeToIso(DateTime{45356}), "2024-03-05");
  EXPECT_EQ(DateTimeToIso(DateTime{45356.5}), "2024-03-05 12:00:00");
  DateTime t;
  EXPECT_FALSE(TryIsoToDateTime("2024-3-5", t));
  EXPECT_FALSE(TryIsoToDateTime("2024-02-30", t));
}

// A date-time comes off the wire as any 8 bytes: values outside the calendar are refused, never
// converted (the conversion to a whole day number would overflow).
TEST(DateTimeTest, ValuesOutsideTheCalendarAreRefused) {
  EXPECT_EQ(DateTimeToIso(DateTime{-693593}), "0001-01-01");
  EXPECT_EQ(DateTimeToIso(DateTime{2958465.5}), "9999-12-31 12:00:00");
  const double outside[] = {-693594, 2958466, 1.5e43, -1e300, std::nan(""), INFINITY, -INFINITY};
  for (double v : outside) {
    SCOPED_TRACE(v);
    EXPECT_FALSE(IsValidDateTime(DateTime{v}));
    EXPECT_THROW(DecodeDateTime(DateTime{v}), ConvertError);
    EXPECT_THROW(DateTimeToIso(DateTime{v}), ConvertError);
  }
  EXPECT_EQ(CalendarDay(DateTime{1.5e43}), 2958466);
  EXPECT_EQ(CalendarDay(DateTime{-1e300}), -693594);
  EXPECT_EQ(CalendarDay(DateTime{std::nan("")}), -693594);
  EXPECT_EQ(CalendarDay(DateTime{45356.75}), 45356);
}

}  // namespace
}  // namespace rtl
