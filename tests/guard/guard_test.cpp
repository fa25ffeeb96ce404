// Hostile host input: records, names and value areas that end exactly where an unmapped page
// begins, missing records, codes without a handler, extreme reply timeouts and float values,
// unknown types and a work area used after its port was closed. Each gives its documented
// result and log line; a read past the end of a record ends the test with SIGSEGV.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

using test::FakeLine;
using test::Op;

// Two pages, the second PROT_NONE: whatever is placed with End() ends at the last readable byte.
class GuardPage {
 public:
  GuardPage() {
    size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    base_ = static_cast<uint8_t*>(p);
    if (mprotect(base_ + size_, size_, PROT_NONE) != 0) std::abort();
    std::memset(base_, 0xEE, size_);
  }
  ~GuardPage() { munmap(base_, 2 * size_); }
  GuardPage(const GuardPage&) = delete;
  GuardPage& operator=(const GuardPage&) = delete;

  // n bytes that end at the unmapped page.
  uint8_t* End(std::size_t n) { return base_ + size_ - n; }
  template <class T>
  T* Record() {
    auto* t = reinterpret_cast<T*>(End(sizeof(T)));
    std::memset(static_cast<void*>(t), 0, sizeof(T));
    return t;
  }
  // A text of exactly these bytes (no NUL added) that ends at the unmapped page.
  const char* Text(const std::string& bytes) {
    uint8_t* p = End(bytes.size());
    std::memcpy(p, bytes.data(), bytes.size());
    return reinterpret_cast<const char*>(p);
  }
  // The first byte of the unmapped page: any access through it faults.
  void* Unmapped() { return base_ + size_; }

 private:
  std::size_t size_ = 0;
  uint8_t* base_ = nullptr;
};

const std::string kStx = "\x02", kEtx = "\x03";

// An answer as the controller frames it: echo, data block, trailer.
std::string Answer(const std::string& request, const std::string& text) {
  return request + kStx + "00" + text + "\r" + kEtx + "\r\n" + kEtx;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line_.AddDevice("COM1");
    test::ClearLog();
  }

  // Starts the line on COM1 in the work area; the controller answers reads with "21.50" and
  // writes with their value.
  void StartLine(LineWorkArea* work, int32_t reply_timeout = 100) {
    LineSetup setup{};
    std::memcpy(setup.port_name, "COM1", 5);
    setup.in_use = 1;
    setup.reply_timeout = reply_timeout;
    setup.params = LineParameters{9600, 8, 0, 0};
    DriverRequest request{work, kCmdLineStart, 1, 0, &setup};
    ASSERT_EQ(QelMain(&request), kOk);
    AnswerReads();
    test::ClearLog();
    line_.ClearCalls();
  }
  void AnswerReads() {
    line_.SetController([](FakeLine& l, platform::Handle h, const std::string& written) {
      const std::string request = written.substr(0, written.find('\r'));
      const std::size_t eq = request.find('=');
      l.Send(h, Answer(written, eq == std::string::npos ? "21.50" : request.substr(eq + 1)));
    });
  }
  std::vector<std::string> Logged() { return test::LoggedTexts(); }

  FakeLine line_;
  GuardPage work_page_;
  LineWorkArea* work_ = work_page_.Record<LineWorkArea>();
};

// The guard itself: a look one byte past what End() hands out ends the process.
TEST(GuardPageDeathTest, ReadingPastTheEndFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  GuardPage page;
  const char* name = page.Text("$SP");  // no NUL: strlen runs into the unmapped page
  EXPECT_DEATH({ [[maybe_unused]] volatile std::size_t n = std::strlen(name); }, "");
}

// Gate names for reads, writes, block transfers and the definition check that end exactly at
// the unmapped page. From 32 bytes on they hold no NUL at all: the driver looks at 32 bytes and
// refuses; shorter ones end with their NUL on the page's last byte and are served.
TEST_F(GuardTest, GateNamesEndingAtTheUnmappedPage) {
  StartLine(work_);
  GuardPage name_page, value_page;
  auto* value = value_page.End(4);
  std::memset(value, 0, 4);

  struct Case {
    std::size_t length;
    bool nul;
  };
  for (const Case c :
       {Case{31, true}, Case{1, true}, Case{32, false}, Case{33, false}, Case{200, false}}) {
    SCOPED_TRACE(c.length);
    std::string bytes = "$" + std::string(c.length - 1, 'N');
    if (c.nul) bytes += '\0';
    const char* name = name_page.Text(bytes);
    const std::string first31 = bytes.substr(0, std::min<std::size_t>(31, c.length));
    GuardPage record_page;
    auto* gate = record_page.Record<GateTransfer>();
    gate->name = name;
    gate->type = kTypeFloat;
    gate->value = value;

    for (int32_t command : {kCmdSingleRead, kCmdSingleWrite, kCmdBlockRead, kCmdBlockWrite}) {
      SCOPED_TRACE(command);
      test::ClearLog();
      line_.ClearCalls();
      DriverRequest request{work_, command, 1, 0, gate};
      const int result = QelMain(&request);
      const std::vector<std::string> log = Logged();
      if (command == kCmdBlockRead || command == kCmdBlockWrite) {
        EXPECT_EQ(result, kRefused);
        const char* op = command == kCmdBlockRead ? "BlockRead" : "BlockWrite";
        EXPECT_EQ(log, std::vector<std::string>{"QELPR: " + std::string(op) +
                                                "() not supported! Tag '" + first31 + "'"});
        EXPECT_TRUE(line_.CallsOf(Op::kWrite).empty());
      } else if (c.nul) {
        EXPECT_EQ(result, kOk);
        EXPECT_EQ(line_.CallsOf(Op::kWrite).size(), 1u);
      } else {
        EXPECT_EQ(result, kRefused);
        const char* op = command == kCmdSingleRead ? "SingleRead" : "SingleWrite";
        EXPECT_EQ(log, std::vector<std::string>{"QELPRV: " + std::string(op) + "() Tag " + first31 +
                                                "...: refused: name longer than 31 characters"});
        EXPECT_TRUE(line_.CallsOf(Op::kWrite).empty());
      }
    }

    // The definition check: the same names, the record itself at the page end.
    GuardPage definition_page;
    auto* definition = definition_page.Record<GateDefinition>();
    definition->name = name;
    definition->type = kTypeWord;
    definition->value = 7;
    definition->untouched = 0x11111111;
    test::ClearLog();
    DriverRequest define{work_, kCmdGateDefine, 1, 0, definition};
    EXPECT_EQ(QelMain(&define), c.nul ? kOk : kRefused);
    EXPECT_EQ(definition->untouched, 0x11111111);
    EXPECT_TRUE(Logged().empty());
  }
}

// Port names that fill their 12-byte field with no NUL, in records that end at the unmapped
// page: refused (never cut, never read past the field), with the start-up's log line showing
// the first 11 characters.
TEST_F(GuardTest, PortNamesFillingTheirFieldAtTheUnmappedPage) {
  line_.AddDevice("COM1COM1COM");  // the name cut to 11 characters exists: it must not be opened
  GuardPage setup_page;
  auto* setup = setup_page.Record<LineSetup>();
  std::memcpy(setup->port_name, "COM1COM1COM1", 12);
  setup->in_use = 1;
  setup->reply_timeout = 100;
  setup->params = LineParameters{9600, 8, 0, 0};
  DriverRequest start{work_, kCmdLineStart, 1, 0, setup};
  EXPECT_EQ(QelMain(&start), kFailed);
  EXPECT_EQ(Logged().back(), "QELPR : Fail to open COM1COM1COM");
  EXPECT_EQ(work_->port_handle, 0u);
  EXPECT_TRUE(line_.CallsOf(Op::kOpen).empty());

  GuardPage update_page;
  auto* update = update_page.Record<PortUpdateRecord>();
  std::memcpy(update->port_name, "COM1COM1COM1", 12);
  update->reply_timeout = 0;
  update->params = LineParameters{9600, 8, 0, 0};
  test::ClearLog();
  DriverRequest port_update{work_, kCmdPortUpdate, 1, 0, update};
  EXPECT_EQ(QelMain(&port_update), kFailed);
  EXPECT_TRUE(Logged().empty());
  EXPECT_TRUE(line_.CallsOf(Op::kOpen).empty());

  // A work area whose recorded name fills its field, at the page end: PortOpen refuses it.
  GuardPage other_work_page;
  auto* other = other_work_page.Record<LineWorkArea>();
  std::memcpy(other->port.name, "COM1COM1COM1", 12);
  DriverRequest open{other, kCmdPortOpen, 1, 0, nullptr};
  EXPECT_EQ(QelMain(&open), kFailed);
  EXPECT_EQ(other->port_handle, 0u);
  EXPECT_TRUE(line_.CallsOf(Op::kOpen).empty());
}

// Every record the driver reads or writes, placed so that it ends at the unmapped page; the
// value area of a type-6 gate is the 4 bytes before it.
TEST_F(GuardTest, RecordsEndingAtTheUnmappedPageAreServed) {
  GuardPage setup_page, gate_page, value_page, info_page, request_page;
  auto* setup = setup_page.Record<LineSetup>();
  std::memcpy(setup->port_name, "COM1", 5);
  setup->in_use = 1;
  setup->reply_timeout = 100;
  setup->params = LineParameters{9600, 8, 0, 0};
  auto* start = request_page.Record<DriverRequest>();
  *start = DriverRequest{work_, kCmdLineStart, 1, 0, setup};
  ASSERT_EQ(QelMain(start), kOk);
  AnswerReads();

  uint8_t* value = value_page.End(4);
  std::memcpy(value, "\x11\x22\x00\x00", 4);
  auto* gate = gate_page.Record<GateTransfer>();
  gate->name = "@FAN";
  gate->type = kTypeWord;
  gate->value = value;
  *start = DriverRequest{work_, kCmdSingleRead, 1, 0, gate};
  EXPECT_EQ(QelMain(start), kOk);
  EXPECT_EQ(value[0], 0x11);
  EXPECT_EQ(value[1], 0x22);
  EXPECT_EQ(value[2] | (value[3] << 8), 21);

  auto* info = info_page.Record<DriverInfo>();
  *start = DriverRequest{nullptr, kCmdDriverInfo, 0, 0, info};
  EXPECT_EQ(QelMain(start), kOk);
  EXPECT_EQ(info->code, 70);
  EXPECT_EQ(info->three, 3);
}

// Missing records: never dereferenced, each with its documented result and log line.
TEST_F(GuardTest, MissingRecords) {
  StartLine(work_);
  GuardPage value_page;
  uint8_t* value = value_page.End(4);
  GateTransfer no_name{};
  no_name.type = kTypeFloat;
  no_name.value = value;
  GateTransfer no_value{};
  no_value.name = "$SP";
  no_value.type = kTypeFloat;
  GateDefinition no_def_name{};

  struct Case {
    const char* what;
    LineWorkArea* work;
    int32_t command;
    void* arg;
    int expected;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"read, no work area",
       nullptr,
       kCmdSingleRead,
       &no_value,
       kRefused,
       {"QELPRV: SingleRead() Tag $SP: refused: no line work area"}},
      {"read, no record",
       work_,
       kCmdSingleRead,
       nullptr,
       kRefused,
       {"QELPRV: SingleRead() refused: no gate record"}},
      {"read, no name",
       work_,
       kCmdSingleRead,
       &no_name,
       kRefused,
       {"QELPRV: SingleRead() refused: no gate name"}},
      {"read, no value area",
       work_,
       kCmdSingleRead,
       &no_value,
       kRefused,
       {"QELPRV: SingleRead() Tag $SP: refused: no value area"}},
      {"write, no work area",
       nullptr,
       kCmdSingleWrite,
       &no_value,
       kRefused,
       {"QELPRV: SingleWrite() Tag $SP: refused: no line work area"}},
      {"write, no record",
       work_,
       kCmdSingleWrite,
       nullptr,
       kRefused,
       {"QELPRV: SingleWrite() refused: no gate record"}},
      {"write, no name",
       work_,
       kCmdSingleWrite,
       &no_name,
       kRefused,
       {"QELPRV: SingleWrite() refused: no gate name"}},
      {"write, no value area",
       work_,
       kCmdSingleWrite,
       &no_value,
       kRefused,
       {"QELPRV: SingleWrite() Tag $SP: refused: no value area"}},
      {"block read, no record",
       work_,
       kCmdBlockRead,
       nullptr,
       kRefused,
       {"QELPR: BlockRead() not supported! Tag ''"}},
      {"block write, no name",
       work_,
       kCmdBlockWrite,
       &no_name,
       kRefused,
       {"QELPR: BlockWrite() not supported! Tag ''"}},
      {"define, no record", work_, kCmdGateDefine, nullptr, kRefused, {}},
      {"define, no name", work_, kCmdGateDefine, &no_def_name, kRefused, {}},
      {"define, no work area", nullptr, kCmdGateDefine, &no_def_name, kRefused, {}},
      {"start, no record", work_, kCmdLineStart, nullptr, kFailed, {}},
      {"start, no work area", nullptr, kCmdLineStart, &no_value, kFailed, {}},
      {"update, no record", work_, kCmdPortUpdate, nullptr, kFailed, {}},
      {"update, no work area", nullptr, kCmdPortUpdate, &no_value, kFailed, {}},
      {"flush, no work area", nullptr, kCmdLineFlush, nullptr, kFailed, {}},
      {"close, no work area", nullptr, kCmdPortClose, nullptr, kFailed, {}},
      {"stop, no work area", nullptr, kCmdLineStop, nullptr, kFailed, {}},
      {"open, no work area", nullptr, kCmdPortOpen, nullptr, kFailed, {}},
      {"info, no record", work_, kCmdDriverInfo, nullptr, kRefused, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ClearLog();
    line_.ClearCalls();
    DriverRequest request{c.work, c.command, 1, 0, c.arg};
    EXPECT_EQ(QelMain(&request), c.expected);
    EXPECT_EQ(Logged(), c.log);
    EXPECT_TRUE(line_.CallsOf(Op::kWrite).empty());
  }
  EXPECT_EQ(QelMain(nullptr), kRefused);
}

// Codes without a handler, and the commands that read no work area, with the work area and the
// argument pointing into the unmapped page: any look through them faults.
TEST_F(GuardTest, CodesOutsideTheTableTouchNothing) {
  GuardPage page;
  auto* work = static_cast<LineWorkArea*>(page.Unmapped());
  for (int32_t code : {0, 8, 9, 16, -1, 255, 65536 + kCmdSingleRead, INT32_MIN, INT32_MAX,
                       static_cast<int32_t>(kCmdGateDefineAlt)}) {
    SCOPED_TRACE(code);
    DriverRequest request{work, code, 1, 0, page.Unmapped()};
    EXPECT_EQ(QelMain(&request), kRefused);
  }
  EXPECT_TRUE(Logged().empty());
  EXPECT_TRUE(line_.Calls().empty());
}

// Reply timeouts of 0, negative and INT32_MAX, given at start-up and by a port update: each is
// stored as documented, and a read on a silent line under it ends with 2 after a bounded line
// time (the port never waits without bound: a total timeout whose milliseconds do not fit is no
// wait at all).
TEST_F(GuardTest, ExtremeReplyTimeouts) {
  struct Case {
    bool update;
    int32_t given;
    int32_t stored;
    int64_t max_line_ms;
  };
  const Case cases[] = {
      {false, 0, 100, 20000},
      {false, -1, 100, 20000},
      {false, INT32_MIN, 100, 20000},
      {false, INT32_MAX, INT32_MAX, 20000},
      {true, -1, -1, 20000},
      {true, INT32_MIN, INT32_MIN, 20000},
      {true, INT32_MAX, INT32_MAX, 20000},
      {true, 1, 1, 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.update) + " " + std::to_string(c.given));
    FakeLine* line = &line_;
    GuardPage page;
    LineWorkArea* work = page.Record<LineWorkArea>();
    StartLine(work, c.update ? 100 : c.given);
    if (c.update) {
      PortUpdateRecord update{};
      std::memcpy(update.port_name, "COM1", 5);  // the open port: its second open fails
      update.reply_timeout = c.given;
      update.params = LineParameters{9600, 8, 0, 0};
      DriverRequest request{work, kCmdPortUpdate, 1, 0, &update};
      EXPECT_EQ(QelMain(&request), kFailed);
    }
    EXPECT_EQ(work->reply_timeout, c.stored);
    line->SetController(nullptr);  // silence
    float value = 1.5f;
    GateTransfer gate{};
    gate.name = "$SP";
    gate.type = kTypeFloat;
    gate.value = &value;
    test::ClearLog();
    const int64_t start = line->Now();
    DriverRequest read{work, kCmdSingleRead, 1, 0, &gate};
    EXPECT_EQ(QelMain(&read), kFailed);
    EXPECT_LE(line->Now() - start, c.max_line_ms);
    EXPECT_EQ(value, 1.5f);
    EXPECT_EQ(Logged().back(), "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 ");
    DriverRequest close{work, kCmdPortClose, 1, 0, nullptr};
    EXPECT_EQ(QelMain(&close), kOk);
  }
}

// Float values that cannot be written and types that cannot: refused with their log line,
// nothing sent. A type whose low 16 bits are 3 or 6 is written as that type; a read of an
// unknown type makes the exchange and stores nothing.
TEST_F(GuardTest, UnwritableValuesAndUnknownTypes) {
  StartLine(work_);
  GuardPage value_page;
  uint8_t* area = value_page.End(4);
  GuardPage gate_page;
  auto* gate = gate_page.Record<GateTransfer>();
  gate->name = "$SP";
  gate->value = area;

  // Not finite, and too long for the request text.
  const float kNotSendable[] = {
      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
      std::numeric_limits<float>::infinity(),  -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::max(),       1e38f};
  for (float f : kNotSendable) {
    SCOPED_TRACE(f);
    std::memcpy(area, &f, 4);
    gate->type = kTypeFloat;
    test::ClearLog();
    line_.ClearCalls();
    DriverRequest request{work_, kCmdSingleWrite, 1, 0, gate};
    EXPECT_EQ(QelMain(&request), kRefused);
    EXPECT_EQ(Logged(), std::vector<std::string>{
                            std::isfinite(f)
                                ? "QELPRV: SingleWrite() Tag $SP: refused: the request text would "
                                  "be longer than 49 characters"
                                : "QELPRV: SingleWrite() Tag $SP: refused: the value is not a "
                                  "finite number"});
    EXPECT_TRUE(line_.CallsOf(Op::kWrite).empty());
  }
  // The longest float that fits with a 31-character name: below 10^9.
  GuardPage long_name_page;
  gate->name = long_name_page.Text("$" + std::string(30, 'L') + '\0');
  for (const auto& [f, sent] : {std::pair{999999936.0f, true}, std::pair{1e9f, false}}) {
    std::memcpy(area, &f, 4);
    line_.ClearCalls();
    DriverRequest request{work_, kCmdSingleWrite, 1, 0, gate};
    EXPECT_EQ(QelMain(&request), sent ? kOk : kRefused) << f;
    EXPECT_EQ(line_.CallsOf(Op::kWrite).empty(), !sent) << f;
  }
  gate->name = "$SP";

  for (int32_t type : {0, 1, 2, 4, 5, 7, -1, INT32_MIN, 0x7FFF0000}) {
    SCOPED_TRACE(type);
    gate->type = type;
    test::ClearLog();
    line_.ClearCalls();
    DriverRequest write{work_, kCmdSingleWrite, 1, 0, gate};
    EXPECT_EQ(QelMain(&write), kRefused);
    EXPECT_EQ(Logged(),
              std::vector<std::string>{"QELPRV: SingleWrite() Tag $SP: refused: gate type " +
                                       std::to_string(type) + " cannot be written"});
    EXPECT_TRUE(line_.CallsOf(Op::kWrite).empty());
  }

  for (int32_t type : {5, 0x10003, 0x10006, -1}) {
    SCOPED_TRACE(type);
    std::memcpy(area, "\xAA\xBB\xCC\xDD", 4);
    gate->type = type;
    DriverRequest read{work_, kCmdSingleRead, 1, 0, gate};
    EXPECT_EQ(QelMain(&read), kOk);  // the exchange is made; nothing is converted
    EXPECT_EQ(std::memcmp(area, "\xAA\xBB\xCC\xDD", 4), 0);
  }
  const float f = 2.5f;
  std::memcpy(area, &f, 4);
  gate->type = 0x10003;  // a write looks at the low 16 bits only
  line_.ClearCalls();
  DriverRequest write{work_, kCmdSingleWrite, 1, 0, gate};
  EXPECT_EQ(QelMain(&write), kOk);
  EXPECT_EQ(line_.Written(), "$SP=2.500000\r");
}

// A work area used after PortClose: reads and writes fail at once with their log lines and send
// nothing; flushing and closing again do nothing; PortOpen brings the same port back.
TEST_F(GuardTest, WorkAreaReusedAfterPortClose) {
  StartLine(work_);
  const LineWorkArea started = *work_;
  DriverRequest close{work_, kCmdPortClose, 1, 0, nullptr};
  ASSERT_EQ(QelMain(&close), kOk);
  EXPECT_EQ(work_->port_handle, 0u);
  EXPECT_FALSE(line_.IsOpen("COM1"));

  float value = 1.5f;
  GateTransfer gate{};
  gate.name = "$SP";
  gate.type = kTypeFloat;
  gate.value = &value;
  test::ClearLog();
  line_.ClearCalls();
  DriverRequest read{work_, kCmdSingleRead, 1, 0, &gate};
  EXPECT_EQ(QelMain(&read), kFailed);
  EXPECT_EQ(value, 1.5f);
  EXPECT_EQ(Logged().back(), "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 ");
  EXPECT_EQ(Logged().front(), "QELPRV: RecvString() failed (Len=1 - Count=0)");
  DriverRequest write{work_, kCmdSingleWrite, 1, 0, &gate};
  EXPECT_EQ(QelMain(&write), kFailed);
  EXPECT_EQ(Logged().back(), "QELPRV: Tag $SP: Write failed. rc = 2 ");
  for (const auto& c : line_.Calls()) {
    if (c.op == Op::kWrite) {
      EXPECT_FALSE(c.ok);  // nothing reached a port
    }
  }
  EXPECT_LE(line_.Now(), 20000);

  DriverRequest flush{work_, kCmdLineFlush, 1, 0, nullptr};
  EXPECT_EQ(QelMain(&flush), kOk);
  EXPECT_EQ(QelMain(&close), kOk);
  DriverRequest stop{work_, kCmdLineStop, 1, 0, nullptr};
  EXPECT_EQ(QelMain(&stop), kOk);

  DriverRequest open{work_, kCmdPortOpen, 1, 0, nullptr};
  ASSERT_EQ(QelMain(&open), kOk);
  EXPECT_NE(work_->port_handle, 0u);
  EXPECT_EQ(std::memcmp(&work_->port, &started.port, sizeof started.port), 0);
  EXPECT_EQ(work_->reply_timeout, started.reply_timeout);
  AnswerReads();
  EXPECT_EQ(QelMain(&read), kOk);
  EXPECT_EQ(value, 21.5f);
}

}  // namespace
}  // namespace qel
