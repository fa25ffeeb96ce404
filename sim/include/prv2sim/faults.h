// Fault injection: a plan of line faults, written as a short text, decided for each transaction
// from a seed, and applied to the controller's answer before it goes on the line.
//
// Fault list grammar (items separated by commas, blanks around items ignored):
//
//   item  := kind { ":" key "=" value } [ "@" when ]
//   when  := range { ";" range }
//   range := N | N "-" M | N "+"          transaction numbers, counted from 1
//
// An item without "@" may fire at every transaction; "p=" (0..1, default 1) is the chance that
// it fires when its transaction comes. Kinds and their keys:
//
//   silence                         no answer at all; the request is not carried out
//   drop      n=1 at=K              leave out n bytes of the answer (at K, or at random)
//   corrupt   n=1 at=K              change n bytes of the answer (at K.., or at random)
//   delay     ms=100 before=answer  wait before the answer, the echo, the block or the trailer
//   gap       ms=10                 wait between every two bytes of the answer
//   echo      text=...              a wrong echo (default: the request with its first
//                                   character replaced)
//   notrailer                       leave out the trailer
//   noise     n=3 text=...          bytes before the echo (default: n random printable ones)
//   long      n=120                 pad the data block so that the answer has n (>= 99) bytes
//   error     code=86               refuse the request with "ERROR code"; not carried out
//   hangup    ms=500 after=0        send `after` bytes of the answer, close the line, come back
//                                   on a new line after ms milliseconds
//
// Texts take the escapes \r \n \t \\ and \xNN (write "," ":" "@" as \x2C \x3A \x40).
// Example: "delay:ms=200@5,drop:p=0.01,hangup:ms=500@10,error:code=13@3-4;8+".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prv2sim/model.h"

namespace prv2sim {

enum class FaultKind : std::size_t {
  Silence,
  Drop,
  Corrupt,
  Delay,
  Gap,
  Echo,
  NoTrailer,
  Noise,
  Long,
  Error,
  Hangup,
};
inline constexpr std::size_t kFaultKindCount = 11;
std::string_view to_string(FaultKind kind);
std::optional<FaultKind> parse_fault_kind(std::string_view name);

// The part of an answer that a delay goes before.
enum class Section { Answer, Echo, Block, Trailer };

struct FaultRule {
  FaultKind kind = FaultKind::Silence;
  double p = 1.0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> when;  // empty: every transaction
  std::size_t count = 1;             // drop, corrupt: bytes; noise: bytes (3)
  std::optional<std::size_t> at;     // drop, corrupt: index of the first byte
  unsigned ms = 100;                 // delay (100), gap (10), hangup (500)
  Section before = Section::Answer;  // delay
  std::optional<std::string> text;   // echo, noise
  int code = 86;                     // error
  std::size_t length = 120;          // long
  std::size_t after = 0;             // hangup
  std::string source;                // the item as written

  bool scheduled_at(std::uint64_t transaction) const;
};

class FaultListError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class FaultPlan {
 public:
  FaultPlan() = default;
  // Throws FaultListError naming the item and what is wrong with it.
  static FaultPlan parse(std::string_view text);

  const std::vector<FaultRule>& rules() const { return rules_; }
  bool empty() const { return rules_.empty(); }
  // The items as written, joined with commas.
  std::string text() const;
  // Indices of the rules that fire at this transaction (1-based) for this seed. The same plan,
  // seed and transaction number always give the same answer.
  std::vector<std::size_t> fire(std::uint64_t transaction, std::uint64_t seed) const;

 private:
  std::vector<FaultRule> rules_;
};

// One byte on its way out, with the pause the line makes before it.
struct TxByte {
  char byte = 0;
  double delay_ms = 0.0;
};

// What the simulator does for one request.
struct Transmission {
  Reply reply;                        // the controller's answer before the line faults
  bool carried_out = false;           // the request reached the gate table
  std::vector<TxByte> bytes;          // what goes on the line
  std::optional<unsigned> hangup_ms;  // hang up after `hangup_after` bytes, for this long
  std::size_t hangup_after = 0;
  std::vector<FaultKind> injected;  // the faults that fired, in plan order
  std::string notes;                // the fired items as written, for the trace
  std::string wire() const;         // the bytes, without the pauses
};

// Carries out one request text (without its CR) on the controller under the fault plan.
Transmission transact(Controller& controller, const FaultPlan& plan, std::uint64_t transaction,
                      std::uint64_t seed, std::string_view request_text, double now);

// The grammar above, as printed by `prv2sim --help`.
std::string_view fault_list_help();

}  // namespace prv2sim
