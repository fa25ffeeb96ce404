#include "prv2sim/faults.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "prv2sim/rng.h"
#include "prv2sim/trace.h"

namespace prv2sim {

namespace {

constexpr std::array<std::string_view, kFaultKindCount> kKindNames = {
    "silence",   "drop",  "corrupt", "delay", "gap",    "echo",
    "notrailer", "noise", "long",    "error", "hangup",
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const auto pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos == std::string_view::npos ? pos : pos - start));
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return parts;
}

[[noreturn]] void fail(std::string_view item, const std::string& what) {
  throw FaultListError("fault '" + std::string(item) + "': " + what);
}

std::uint64_t to_uint(std::string_view text, std::string_view item, std::string_view what) {
  std::uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
    fail(item, std::string(what) + " needs a whole number, not '" + std::string(text) + "'");
  }
  return v;
}

std::string unescape(std::string_view text, std::string_view item) {
  auto decoded = decode_escapes(text);
  if (!decoded) fail(item, "bad escape in text (use \\r \\n \\t \\\\ \\xNN)");
  return *decoded;
}

FaultRule parse_item(std::string_view item) {
  FaultRule r;
  r.source = std::string(item);
  std::string_view body = item;
  const auto at_pos = item.find('@');
  if (at_pos != std::string_view::npos) {
    body = item.substr(0, at_pos);
    for (std::string_view range : split(item.substr(at_pos + 1), ';')) {
      range = trim(range);
      std::uint64_t first = 0;
      std::uint64_t last = 0;
      if (!range.empty() && range.back() == '+') {
        first = to_uint(range.substr(0, range.size() - 1), item, "'@N+'");
        last = std::numeric_limits<std::uint64_t>::max();
      } else if (const auto dash = range.find('-'); dash != std::string_view::npos) {
        first = to_uint(range.substr(0, dash), item, "'@N-M'");
        last = to_uint(range.substr(dash + 1), item, "'@N-M'");
      } else {
        first = last = to_uint(range, item, "'@N'");
      }
      if (first == 0 || last < first) fail(item, "transactions count from 1, ranges go upwards");
      r.when.emplace_back(first, last);
    }
  }

  const auto fields = split(body, ':');
  const std::string_view name = trim(fields[0]);
  const auto kind = parse_fault_kind(name);
  if (!kind) fail(item, "unknown kind '" + std::string(name) + "'");
  r.kind = *kind;
  switch (r.kind) {
    case FaultKind::Gap:
      r.ms = 10;
      break;
    case FaultKind::Hangup:
      r.ms = 500;
      break;
    case FaultKind::Noise:
      r.count = 3;
      break;
    default:
      break;
  }

  auto allowed = [&](std::string_view key) {
    if (key == "p") return true;
    switch (r.kind) {
      case FaultKind::Drop:
      case FaultKind::Corrupt:
        return key == "n" || key == "at";
      case FaultKind::Delay:
        return key == "ms" || key == "before";
      case FaultKind::Gap:
        return key == "ms";
      case FaultKind::Echo:
        return key == "text";
      case FaultKind::Noise:
        return key == "n" || key == "text";
      case FaultKind::Long:
        return key == "n";
      case FaultKind::Error:
        return key == "code";
      case FaultKind::Hangup:
        return key == "ms" || key == "after";
      case FaultKind::Silence:
      case FaultKind::NoTrailer:
        return false;
    }
    return false;
  };

  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::string_view field = trim(fields[i]);
    const auto eq = field.find('=');
    if (eq == std::string_view::npos)
      fail(item, "expected key=value, got '" + std::string(field) + "'");
    const std::string_view key = field.substr(0, eq);
    const std::string_view value = field.substr(eq + 1);
    if (!allowed(key))
      fail(item, "'" + std::string(key) + "' does not apply to " + std::string(name));
    if (key == "p") {
      const auto p = parse_float_text(value);
      if (!p || *p < 0.0 || *p > 1.0) fail(item, "p must be a number from 0 to 1");
      r.p = *p;
    } else if (key == "n") {
      const auto n = to_uint(value, item, "n");
      if (r.kind == FaultKind::Long) {
        if (n < 99) fail(item, "a long answer has 99 bytes or more");
        r.length = n;
      } else {
        if (n == 0) fail(item, "n must be 1 or more");
        r.count = n;
      }
    } else if (key == "at") {
      r.at = to_uint(value, item, "at");
    } else if (key == "ms") {
      const auto ms = to_uint(value, item, "ms");
      if (ms > 3'600'000) fail(item, "ms is at most one hour");
      r.ms = static_cast<unsigned>(ms);
    } else if (key == "before") {
      if (value == "answer")
        r.before = Section::Answer;
      else if (value == "echo")
        r.before = Section::Echo;
      else if (value == "block")
        r.before = Section::Block;
      else if (value == "trailer")
        r.before = Section::Trailer;
      else
        fail(item, "before must be answer, echo, block or trailer");
    } else if (key == "text") {
      r.text = unescape(value, item);
    } else if (key == "code") {
      const auto code = to_uint(value, item, "code");
      if (code > 99999) fail(item, "code is at most 99999");
      r.code = static_cast<int>(code);
    } else if (key == "after") {
      r.after = to_uint(value, item, "after");
    }
  }
  return r;
}

// A byte of the answer with the section it belongs to.
struct Tagged {
  char byte;
  Section section;
  double delay_ms;
};

}  // namespace

std::string_view to_string(FaultKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<FaultKind> parse_fault_kind(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<FaultKind>(i);
  }
  return std::nullopt;
}

bool FaultRule::scheduled_at(std::uint64_t transaction) const {
  if (when.empty()) return true;
  return std::any_of(when.begin(), when.end(), [&](const auto& range) {
    return transaction >= range.first && transaction <= range.second;
  });
}

FaultPlan FaultPlan::parse(std::string_view text) {
  FaultPlan plan;
  if (trim(text).empty()) return plan;
  for (std::string_view item : split(text, ',')) {
    item = trim(item);
    if (item.empty()) throw FaultListError("fault list has an empty item");
    plan.rules_.push_back(parse_item(item));
  }
  return plan;
}

std::string FaultPlan::text() const {
  std::string out;
  for (const auto& r : rules_) {
    if (!out.empty()) out += ',';
    out += r.source;
  }
  return out;
}

std::vector<std::size_t> FaultPlan::fire(std::uint64_t transaction, std::uint64_t seed) const {
  std::vector<std::size_t> fired;
  Rng rng(mix_seed(seed, transaction));
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    const double u = rng.uniform();  // drawn for every rule, so rules do not shift each other
    if (rules_[i].scheduled_at(transaction) && u < rules_[i].p) fired.push_back(i);
  }
  return fired;
}

std::string Transmission::wire() const {
  std::string s;
  s.reserve(bytes.size());
  for (const auto& b : bytes) s += b.byte;
  return s;
}

Transmission transact(Controller& controller, const FaultPlan& plan, std::uint64_t transaction,
                      std::uint64_t seed, std::string_view request_text, double now) {
  Transmission tx;
  std::vector<const FaultRule*> fired;
  for (std::size_t i : plan.fire(transaction, seed)) {
    const FaultRule& r = plan.rules()[i];
    fired.push_back(&r);
    tx.injected.push_back(r.kind);
    if (!tx.notes.empty()) tx.notes += ',';
    tx.notes += r.source;
  }
  auto first = [&](FaultKind kind) -> const FaultRule* {
    for (const FaultRule* r : fired) {
      if (r->kind == kind) return r;
    }
    return nullptr;
  };

  const FaultRule* silence = first(FaultKind::Silence);
  const FaultRule* refuse = first(FaultKind::Error);
  if (silence) {
    tx.reply = controller.refuse(request_text, 0);  // for the trace; nothing is sent
  } else if (refuse) {
    tx.reply = controller.refuse(request_text, refuse->code);
  } else {
    tx.reply = controller.handle(request_text, now);
    tx.carried_out = true;
  }
  if (const FaultRule* h = first(FaultKind::Hangup)) {
    tx.hangup_ms = h->ms;
    tx.hangup_after = h->after;
  }
  if (silence) return tx;

  Rng rng(mix_seed(seed ^ 0x5EEDF00DULL, transaction));
  Reply shaped = tx.reply;
  std::string noise;
  for (const FaultRule* r : fired) {
    switch (r->kind) {
      case FaultKind::Echo:
        if (r->text) {
          shaped.echo = *r->text;
        } else {
          std::string wrong(request_text);
          if (wrong.empty()) wrong = " ";
          wrong[0] = wrong[0] == '?' ? '!' : '?';
          wrong.push_back(kCr);
          shaped.echo = std::move(wrong);
        }
        break;
      case FaultKind::NoTrailer:
        shaped.trailer.clear();
        break;
      case FaultKind::Long: {
        const std::size_t have = shaped.echo.size() + shaped.block.size();
        if (have < r->length && shaped.block.size() >= 2) {
          shaped.block.insert(shaped.block.size() - 2, r->length - have, '#');
        }
        break;
      }
      case FaultKind::Noise:
        if (r->text) {
          noise += *r->text;
        } else {
          for (std::size_t i = 0; i < r->count; ++i) {
            noise += static_cast<char>(0x20 + rng.below(0x7F - 0x20));
          }
        }
        break;
      default:
        break;
    }
  }

  std::vector<Tagged> out;
  auto append = [&](const std::string& s, Section section) {
    for (char c : s) out.push_back({c, section, 0.0});
  };
  append(noise, Section::Answer);
  append(shaped.echo, Section::Echo);
  append(shaped.block, Section::Block);
  append(shaped.trailer, Section::Trailer);

  for (const FaultRule* r : fired) {
    if (r->kind == FaultKind::Corrupt && !out.empty()) {
      for (std::size_t i = 0; i < r->count; ++i) {
        const std::size_t pos = r->at ? *r->at + i : rng.below(out.size());
        if (pos >= out.size()) break;
        out[pos].byte = static_cast<char>(static_cast<unsigned char>(out[pos].byte) ^
                                          static_cast<unsigned char>(1 + rng.below(255)));
      }
    }
  }
  for (const FaultRule* r : fired) {
    if (r->kind == FaultKind::Drop) {
      for (std::size_t i = 0; i < r->count && !out.empty(); ++i) {
        const std::size_t pos = r->at ? *r->at : rng.below(out.size());
        if (pos >= out.size()) break;
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos));
      }
    }
  }
  for (const FaultRule* r : fired) {
    if (r->kind == FaultKind::Delay && !out.empty()) {
      // Before the first byte of the section, or of what follows it when it is empty.
      std::size_t pos = 0;
      if (r->before != Section::Answer) {
        pos = out.size();
        for (std::size_t i = 0; i < out.size(); ++i) {
          if (static_cast<int>(out[i].section) >= static_cast<int>(r->before)) {
            pos = i;
            break;
          }
        }
      }
      if (pos < out.size()) out[pos].delay_ms += r->ms;
    } else if (r->kind == FaultKind::Gap) {
      for (std::size_t i = 1; i < out.size(); ++i) out[i].delay_ms += r->ms;
    }
  }

  tx.bytes.reserve(out.size());
  for (const auto& t : out) tx.bytes.push_back({t.byte, t.delay_ms});
  return tx;
}

std::string_view fault_list_help() {
  return R"(Fault list: items separated by commas.
  item  := kind { ":" key "=" value } [ "@" when ]
  when  := range { ";" range }      range := N | N-M | N+   (transactions count from 1)
Without "@" an item may fire at every transaction. Every kind takes p=CHANCE (0..1,
default 1). The same list and --seed always inject the same faults.
  silence                     no answer; the request is not carried out
  drop:n=1:at=K               leave out n bytes of the answer (at index K, or at random)
  corrupt:n=1:at=K            change n bytes of the answer (from index K, or at random)
  delay:ms=100:before=answer  wait before the answer (or before=echo|block|trailer)
  gap:ms=10                   wait between every two bytes of the answer
  echo:text=T                 a wrong echo (default: the request, first character changed)
  notrailer                   leave out the trailer
  noise:n=3:text=T            bytes before the echo (default: n random printable bytes)
  long:n=120                  pad the data block so the answer has n (>= 99) bytes
  error:code=86               answer "ERROR code"; the request is not carried out
  hangup:ms=500:after=0       send `after` bytes, close the line, come back after ms
                              on a new pty (the --link is pointed to it)
Texts take \r \n \t \\ \xNN (write , : @ as \x2C \x3A \x40).
Examples: silence@3   drop:p=0.01   delay:ms=200@5   hangup:ms=500@10
          error:code=13@2-4;9+   noise:text=\x15\x15,echo@7
)";
}

}  // namespace prv2sim
