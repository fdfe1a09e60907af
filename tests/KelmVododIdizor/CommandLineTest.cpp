#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KelmVododIdizor/CommandLine.h"

namespace KelmVododIdizor {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, EveryArgumentIsUnderstoodOrRefused) {
  struct Case {
    std::vector<std::string> arguments;
    Action action;
    bool headless;
    bool simulatePrinter;
    bool error;
  };
  const Case cases[] = {
      {{}, Action::run, false, false, false},
      {{"--headless"}, Action::run, true, false, false},
      {{"--simulate-printer", "--headless"}, Action::run, true, true, false},
      {{"certificate", "setup"}, Action::certificateSetup, false, false, false},
      {{"certificate", "status"}, Action::certificateStatus, false, false, false},
      {{"certificate", "remove"}, Action::certificateRemove, false, false, false},
      {{"--help"}, Action::help, false, false, false},
      {{"--bogus", "-h"}, Action::help, false, false, false},
      {{"--bogus"}, Action::run, false, false, true},
      {{"--headless", "extra"}, Action::run, false, false, true},
      {{"certificate"}, Action::run, false, false, true},
      {{"certificate", "renew"}, Action::run, false, false, true},
      {{"certificate", "setup", "certificate", "remove"}, Action::run, false, false, true},
      {{"certificate", "setup", "--headless"}, Action::run, false, false, true},
      {{"--simulate-printer", "certificate", "status"}, Action::run, false, false, true},
      {{"--HEADLESS"}, Action::run, false, false, true},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const std::string& argument : c.arguments) name += argument + " ";
    const CommandLine line = CommandLine::parse(c.arguments);
    EXPECT_EQ(line.action, c.action) << name;
    EXPECT_EQ(line.headless, c.headless) << name;
    EXPECT_EQ(line.simulatePrinter, c.simulatePrinter) << name;
    EXPECT_EQ(line.error.has_value(), c.error) << name;
  }
}

TEST(CommandLineTest, CertificateStatesInWords) {
  using State = BridgeModel::CertState;
  // 2027-02-06 12:00:00 UTC
  const BridgeModel::Moment end{std::chrono::seconds(1'801'915'200)};
  EXPECT_EQ(CommandLine::describe(State::missing()), "missing");
  EXPECT_EQ(CommandLine::describe(State::untrusted()), "untrusted");
  EXPECT_EQ(CommandLine::describe(State::trusted(end)), "trusted until 2027-02-06");
  EXPECT_EQ(CommandLine::describe(State::renewSoon(end)), "renew soon (valid until 2027-02-06)");
  EXPECT_EQ(CommandLine::describe(State::renewSoon(BridgeModel::Moment::max())),
            "renew soon (valid until an unreadable date)");
}

}  // namespace
}  // namespace KelmVododIdizor
