// The self-description: the exact record and the exact banner bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/host/description.h"
#include "driver/host/records.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

std::string Rep(unsigned char c, int n) { return std::string(static_cast<std::size_t>(n), static_cast<char>(c)); }

std::string ExpectedBanner() {
  std::string b = "\n";
  b += "\xDA" + Rep(0xC4, 60) + "\xBF\n";
  b += "\xB3 " + Rep(0xDB, 5) + Rep(0xB2, 6) + Rep(0xB1, 6) + Rep(0xB0, 5) + " Q E L P R V " +
       Rep(0xB0, 5) + Rep(0xB1, 6) + Rep(0xB2, 6) + Rep(0xDB, 5) + "  \xB3\n";
  b += "\xB3" + std::string(14, ' ') + "LANDIS & STAEFA PRV2 CONTROLLERS" + std::string(14, ' ') +
       "\xB3\n";
  b += "\xB3" + std::string(23, ' ') + "Ascii Protocol." + std::string(22, ' ') + "\xB3\n";
  b += "\xC0" + Rep(0xC4, 60) + "\xD9\n";
  return b;
}

TEST(DescriptionTest, FillsTheRecordWhateverTheWorkAreaPointerHolds) {
  test::FakeLine line;
  test::ClearLog();
  // Sentinels beyond the record show that nothing past it is written.
  struct {
    DriverInfo info;
    unsigned char after[16];
  } area;
  std::memset(&area, 0xEE, sizeof area);
  DriverRequest request{reinterpret_cast<LineWorkArea*>(0xDEAD0000), kCmdDriverInfo, -7, 0,
                        &area.info};
  ASSERT_EQ(QelMain(&request), kOk);
  EXPECT_EQ(area.info.code, 70);
  EXPECT_STREQ(area.info.short_name, "PRV - Landis & Staefa PRV2");
  EXPECT_EQ(area.info.work_area_size, 80);
  EXPECT_EQ(area.info.four, 4);
  EXPECT_EQ(area.info.defaults.baud, 9600);
  EXPECT_EQ(area.info.defaults.data_bits, 8);
  EXPECT_EQ(area.info.defaults.stop_bits, 0);
  EXPECT_EQ(area.info.defaults.parity, 0);
  EXPECT_EQ(area.info.three, 3);
  for (unsigned char c : area.after) EXPECT_EQ(c, 0xEE);
  EXPECT_TRUE(line.Calls().empty());
  EXPECT_TRUE(test::LoggedLines().empty());

  // A second call gives the same record with the same two pointers.
  DriverInfo again{};
  request.arg = &again;
  ASSERT_EQ(QelMain(&request), kOk);
  EXPECT_EQ(again.short_name, area.info.short_name);
  EXPECT_EQ(again.banner, area.info.banner);
}

TEST(DescriptionTest, BannerBytesAreExact) {
  DriverInfo info{};
  DriverRequest request{nullptr, kCmdDriverInfo, 0, 0, &info};
  ASSERT_EQ(QelMain(&request), kOk);
  const std::string banner(info.banner);
  ASSERT_EQ(banner.size(), 379u);
  EXPECT_EQ(info.banner[379], '\0');
  ASSERT_EQ(banner.front(), '\n');
  ASSERT_EQ(banner.back(), '\n');

  // Every line between the leading LF and the NUL is 62 characters.
  std::size_t start = 1;
  int lines = 0;
  while (start < banner.size()) {
    const std::size_t end = banner.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end - start, 62u) << "line " << lines + 1;
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 6);

  // All but the maker's notice line are fixed byte for byte.
  const std::string expected = ExpectedBanner();
  const std::size_t notice = 1 + 4 * 63;
  EXPECT_EQ(banner.substr(0, notice), expected.substr(0, notice));
  EXPECT_EQ(banner.substr(notice + 63), expected.substr(notice));
  // The notice: 46 characters centred between 7 blanks on each side, ending in the version.
  const std::string line5 = banner.substr(notice, 62);
  EXPECT_EQ(line5.substr(0, 8), "\xB3" + std::string(7, ' '));
  EXPECT_EQ(line5.substr(54), std::string(7, ' ') + "\xB3");
  EXPECT_EQ(line5.substr(8 + 46 - 15, 15), " - Version 7.03");
}

}  // namespace
}  // namespace qel
