#include "platform/format.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/format_settings.h"
#include "platform/sysutils.h"

namespace kvr {
namespace {

class Format : public ::testing::Test {
 protected:
  void TearDown() override { FormatSettings = TFormatSettings{}; }
  static void Brazil() { FormatSettings = TFormatSettings{',', '.', '/'}; }
  static void Us() { FormatSettings = TFormatSettings{'.', ',', '/'}; }
};

TEST_F(Format, FloatWithGroupingInBothConventions) {
  struct Case {
    double value;
    const char* br;
    const char* us;
  };
  const Case cases[] = {
      {1234.5, "1.234,50", "1,234.50"},
      {0, "0,00", "0.00"},
      {-0.0, "0,00", "0.00"},
      {0.5, "0,50", "0.50"},
      {999.995, "1.000,00", "1,000.00"},
      {1.005, "1,01", "1.01"},
      {2.675, "2,68", "2.68"},
      {0.125, "0,13", "0.13"},
      {-0.125, "-0,13", "-0.13"},
      {-1500.25, "-1.500,25", "-1,500.25"},
      {-0.004, "0,00", "0.00"},
      {1234567.891, "1.234.567,89", "1,234,567.89"},
      {100, "100,00", "100.00"},
      {123456, "123.456,00", "123,456.00"},
  };
  for (const Case& c : cases) {
    Brazil();
    EXPECT_EQ(FormatFloat("#,##0.00", c.value), c.br) << c.value;
    Us();
    EXPECT_EQ(FormatFloat("#,##0.00", c.value), c.us) << c.value;
  }
}

TEST_F(Format, OtherFloatPictures) {
  Brazil();
  struct Case {
    const char* picture;
    double value;
    const char* text;
  };
  const Case cases[] = {
      {"0.00", 1234.5, "1234,50"},
      {"#,##0", 1234.5, "1.235"},
      {"0", -2.5, "-3"},
      {"0.##", 1.5, "1,5"},
      {"0.##", 2, "2"},
      {"000", 7, "007"},
      {"R$ #,##0.00", 10, "R$ 10,00"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFloat(c.picture, c.value), c.text) << c.picture;
}

TEST_F(Format, FloatToStrHas15SignificantDigits) {
  Brazil();
  EXPECT_EQ(FloatToStr(1234.5), "1234,5");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0,3");
  EXPECT_EQ(FloatToStr(200.15), "200,15");
  EXPECT_EQ(FloatToStr(-7), "-7");
  EXPECT_EQ(FloatToStr(0), "0");
  EXPECT_EQ(FloatToStr(0.001), "0,001");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(-2.5e-7), "-2,5E-7");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  Us();
  EXPECT_EQ(FloatToStr(1234.5), "1234.5");
}

TEST_F(Format, DateTimePictures) {
  Brazil();
  const TDateTime d = EncodeDate(2024, 3, 5);
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy", d), "05/03/2024");
  EXPECT_EQ(FormatDateTime("d/m/yy", d), "5/3/24");
  EXPECT_EQ(FormatDateTime("yyyymmdd", d), "20240305");
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn:ss", d + 0.5 + 1.0 / 1440), "05/03/2024 12:01:00");
  EXPECT_EQ(FormatDateTime("hh:mm", d + 0.75), "18:00");
  EXPECT_EQ(FormatDateTime("'dia' dd", d), "dia 05");
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy", EncodeDate(1999, 12, 31)), "31/12/1999");
  FormatSettings.DateSeparator = '-';
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy", d), "05-03-2024");
}

TEST_F(Format, EditMasks) {
  struct Case {
    const char* mask;
    const char* value;
    const char* text;
  };
  const Case cases[] = {
      {"99999-9;0; ", "123456", "12345-6"},
      {"99999-9;0; ", "1234", "1234 - "},
      {"99999-9;0; ", "12345678", "12345-6"},
      {"99999-9;0;_", "", "_____-_"},
      {"9999-99;1;_", "1234-56", "1234-56"},
      {"000.000.000-00;0; ", "12345678901", "123.456.789-01"},
      {"\\A-999;0; ", "123", "A-123"},
      {">LL-0000;0; ", "ab1234", "AB-1234"},
      {"<LL;0; ", "AB", "ab"},
      {"!99/99/9999;0;_", "05032024", "05/03/2024"},
      {"aa cc;0; ", "xy12", "xy 12"},
      {"", "123", ""},
      {"99999-9", "12345-6", "12345-6"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatMaskText(c.mask, c.value), c.text) << c.mask << " / " << c.value;
}

// The locale of the process decides the separators, read once at start by
// every front end. Runs InitFormatSettingsFromLocale under LC_ALL=name and
// puts the environment and the C library's locale back afterwards.
class FormatSettingsFromLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings;
    if (const char* lc_all = std::getenv("LC_ALL")) saved_lc_all_ = lc_all;
  }
  void TearDown() override {
    if (saved_lc_all_) {
      setenv("LC_ALL", saved_lc_all_->c_str(), 1);
    } else {
      unsetenv("LC_ALL");
    }
    std::setlocale(LC_ALL, "C");
    FormatSettings = saved_;
  }
  static bool Installed(const char* name) {
    locale_t locale = newlocale(LC_ALL_MASK, name, nullptr);
    if (locale == nullptr) return false;
    freelocale(locale);
    return true;
  }
  std::string Under(const char* name) {
    FormatSettings = TFormatSettings{'?', '?', '?'};
    setenv("LC_ALL", name, 1);
    InitFormatSettingsFromLocale();
    return {FormatSettings.DecimalSeparator, FormatSettings.ThousandSeparator, FormatSettings.DateSeparator};
  }

 private:
  TFormatSettings saved_;
  std::optional<std::string> saved_lc_all_;
};

TEST_F(FormatSettingsFromLocale, LocalesWithoutRegionalSettingsGetTheBrazilianOnes) {
  for (const char* name : {"C", "POSIX", "C.UTF-8", "xx_NAO.INSTALADO"}) {
    EXPECT_EQ(Under(name), ",./") << name;
    EXPECT_EQ(FormatFloat("#,##0.00", 1500), "1.500,00") << name;
    EXPECT_EQ(FormatDateTime("dd/mm/yyyy", EncodeDate(2024, 5, 8)), "08/05/2024") << name;
  }
}

TEST_F(FormatSettingsFromLocale, RealLocalesAreFollowed) {
  struct Case {
    const char* name;
    const char* separators;
  };
  // scripts/install-deps generates both; elsewhere a missing one is skipped.
  const Case cases[] = {{"pt_BR.UTF-8", ",./"}, {"en_US.UTF-8", ".,/"}};
  int tried = 0;
  for (const auto& c : cases) {
    if (!Installed(c.name)) continue;
    ++tried;
    EXPECT_EQ(Under(c.name), c.separators) << c.name;
  }
  if (tried == 0) GTEST_SKIP() << "neither pt_BR.UTF-8 nor en_US.UTF-8 is installed (scripts/install-deps)";
}

}  // namespace
}  // namespace kvr
