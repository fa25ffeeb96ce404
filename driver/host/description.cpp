#include "driver/host/description.h"

#include <array>

namespace qel {

namespace {

// The banner in code page 437: a line feed, then six framed lines of 62 characters, each followed
// by a line feed.
constexpr char kTopLeft = '\xDA', kTopRight = '\xBF', kBottomLeft = '\xC0', kBottomRight = '\xD9';
constexpr char kHorizontal = '\xC4', kVertical = '\xB3';
constexpr char kFull = '\xDB', kDark = '\xB2', kMedium = '\xB1', kLight = '\xB0';

constexpr int kInner = 60;
constexpr char kTitle[] = " Q E L P R V ";
constexpr char kMakerNotice[] = "(c) Qel Automation Driver Works - Version 7.03";

class BannerBuilder {
 public:
  constexpr void Put(char c) { text_[pos_++] = c; }
  constexpr void Repeat(char c, int n) {
    for (int i = 0; i < n; ++i) Put(c);
  }
  constexpr void Text(const char* s) {
    while (*s != '\0') Put(*s++);
  }
  // Centres s in the 60 columns; an odd spare column goes to the left.
  constexpr void Centred(const char* s) {
    int n = 0;
    while (s[n] != '\0') ++n;
    const int spare = kInner - n;
    const int right = spare / 2;
    Put(kVertical);
    Repeat(' ', spare - right);
    Text(s);
    Repeat(' ', right);
    Put(kVertical);
    Put('\n');
  }
  constexpr std::array<char, kBannerLength + 1> Build() {
    Put('\n');
    Put(kTopLeft);
    Repeat(kHorizontal, kInner);
    Put(kTopRight);
    Put('\n');

    Put(kVertical);
    Put(' ');
    Repeat(kFull, 5);
    Repeat(kDark, 6);
    Repeat(kMedium, 6);
    Repeat(kLight, 5);
    Text(kTitle);
    Repeat(kLight, 5);
    Repeat(kMedium, 6);
    Repeat(kDark, 6);
    Repeat(kFull, 5);
    Repeat(' ', 2);
    Put(kVertical);
    Put('\n');

    Centred("LANDIS & STAEFA PRV2 CONTROLLERS");
    Centred("Ascii Protocol.");
    Centred(kMakerNotice);

    Put(kBottomLeft);
    Repeat(kHorizontal, kInner);
    Put(kBottomRight);
    Put('\n');
    Put('\0');
    return text_;
  }
  constexpr std::size_t Size() const { return pos_; }

 private:
  std::array<char, kBannerLength + 1> text_{};
  std::size_t pos_ = 0;
};

constexpr std::size_t BuiltSize() {
  BannerBuilder b;
  b.Build();
  return b.Size();
}
static_assert(BuiltSize() == kBannerLength + 1, "the banner is 379 bytes and a NUL");
static_assert(sizeof(kMakerNotice) - 1 == 46);

constexpr std::array<char, kBannerLength + 1> kBannerBytes = BannerBuilder{}.Build();

}  // namespace

const char kShortName[] = "PRV - Landis & Staefa PRV2";
static_assert(sizeof(kShortName) - 1 == 26);

const char* Banner() { return kBannerBytes.data(); }

int32_t DescribeDriver(DriverRequest* request) {
  if (request == nullptr || request->arg == nullptr) return kRefused;
  auto* info = static_cast<DriverInfo*>(request->arg);
  info->code = 70;
  info->short_name = kShortName;
  info->banner = Banner();
  info->work_area_size = static_cast<int32_t>(sizeof(LineWorkArea));
  info->four = 4;
  info->defaults = LineParameters{9600, 8, 0, 0};
  info->three = 3;
  return kOk;
}

}  // namespace qel
