// Options and their refusals.
#include <algorithm>
#include <cmath>
#include <climits>
#include <string>

#include "option_checks.h"
#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

namespace {

struct NumericOptionRule {
  char name[32];
  int minimum;  // smallest accepted value
};

constexpr NumericOptionRule kRules[kNumericOptions] = {
    {"item_supportLevel", 1},        {"itemTolerance", 0},   {"transactionTolerance", 0},
    {"transaction_supportLevel", 0}, {"graphType", INT_MIN},
};

std::string Quoted(const char* name, const char* written) {
  return std::string(name) + " '" + written + "'";
}

}  // namespace

const char* NumericOptionName(NumericOption which) { return kRules[which].name; }

Status CheckNumericOption(NumericOption which, long long value, const char* written) {
  const NumericOptionRule& rule = kRules[which];
  if (value > INT_MAX || value < INT_MIN) {
    return Status::InvalidArgument(Quoted(rule.name, written) + " is out of range");
  }
  if (value < rule.minimum) {
    return Status::InvalidArgument(Quoted(rule.name, written) + " must be at least " +
                                   std::to_string(rule.minimum));
  }
  return Status::OK();
}

Status CheckGraphType(long long value, const char* written) {
  if (value == kBipartite || value == kUndirected) return Status::OK();
  return Status::InvalidArgument(Quoted(kRules[kGraphTypeOption].name, written) +
                                 " must be 0 or 1");
}

void SetNumericOption(NumericOption which, int value, Options* options) {
  switch (which) {
    case kItemSupportLevel:
      options->item_supportLevel = value;
      break;
    case kItemTolerance:
      options->itemTolerance = value;
      break;
    case kTransactionTolerance:
      options->transactionTolerance = value;
      break;
    case kTransactionSupportLevel:
      options->transaction_supportLevel = value;
      break;
    default:
      options->graphtype = static_cast<GraphType>(value);
      break;
  }
}

// The exact search writes the maximal quasi-bicliques; forcing it where the
// required output differs from them would change what a run means.
Status CheckSearchChoice(const Options& options) {
  if (options.search != kSearchExact || InExactRegime(options)) return Status::OK();
  return Status::InvalidArgument(
      "--search=exact needs transactionTolerance < item_supportLevel and "
      "itemTolerance < max(2, transaction_supportLevel)");
}

Status CheckThreads(long long threads, const char* written) {
  if (threads >= 0 && threads <= kMaxThreads) return Status::OK();
  return Status::InvalidArgument(std::string("--threads '") + written +
                                 "' must be a number from 0 (every core) to " +
                                 std::to_string(kMaxThreads));
}

Status CheckMaxResults(long long limit, bool zeroisnone, const char* written) {
  if (limit > 0 || (zeroisnone && limit == 0)) return Status::OK();
  return Status::InvalidArgument(std::string("--max-results '") + written +
                                 "' must be a whole number of at least 1");
}

Status CheckTimeLimit(double seconds, bool zeroisnone, const char* written) {
  if (std::isfinite(seconds) && (seconds > 0 || (zeroisnone && seconds == 0))) {
    return Status::OK();
  }
  return Status::InvalidArgument(std::string("--time-limit '") + written +
                                 "' must be a time above 0, such as 30, 2.5, 10m or 2h");
}

Status Options::Validate() const {
  const long long values[kNumericOptions] = {item_supportLevel, itemTolerance, transactionTolerance,
                                             transaction_supportLevel, graphtype};
  for (int k = 0; k < kNumericOptions; k++) {
    const std::string written = std::to_string(values[k]);
    Status s = CheckNumericOption(NumericOption(k), values[k], written.c_str());
    if (!s.ok()) return s;
  }
  Status s = CheckGraphType(graphtype, std::to_string(graphtype).c_str());
  if (!s.ok()) return s;
  if (search != kSearchAuto && search != kSearchExact && search != kSearchTolerance) {
    return Status::InvalidArgument("--search '" + std::to_string(search) +
                                   "' must be auto, exact or tolerance");
  }
  s = CheckSearchChoice(*this);
  if (!s.ok()) return s;
  s = CheckThreads(threads, std::to_string(threads).c_str());
  if (s.ok()) s = CheckMaxResults(max_results, true, std::to_string(max_results).c_str());
  if (s.ok()) s = CheckTimeLimit(time_limit, true, std::to_string(time_limit).c_str());
  return s;
}

bool InExactRegime(const Options& o) {
  return o.transactionTolerance < o.item_supportLevel &&
         o.itemTolerance < std::max(2, o.transaction_supportLevel);
}

}  // namespace quasibiclique
