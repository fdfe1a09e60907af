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
      {{"--headless", "--snapshots"}, Action::run, true, false, false},
      {{"--snapshots"}, Action::run, false, false, false},
      {{"printers", "list"}, Action::printersList, false, false, false},
      {{"printers", "status"}, Action::printersStatus, false, false, false},
      {{"printers", "test-label"}, Action::printersTestLabel, false, false, false},
      {{"printers", "choose", "auto"}, Action::printersChoose, false, false, false},
      {{"printers"}, Action::run, false, false, true},
      {{"printers", "choose"}, Action::run, false, false, true},
      {{"printers", "choose", "--headless"}, Action::run, false, false, true},
      {{"printers", "remove"}, Action::run, false, false, true},
      {{"printers", "status", "--headless"}, Action::run, false, false, true},
      {{"printers", "list", "certificate", "status"}, Action::run, false, false, true},
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

TEST(CommandLineTest, ACommandIsHandedOnWordForWord) {
  // What the running bridge is given must parse back to the same command.
  const std::vector<std::vector<std::string>> commands = {
      {"certificate", "setup"},
      {"certificate", "status"},
      {"certificate", "remove"},
      {"printers", "list"},
      {"printers", "status"},
      {"printers", "test-label"},
      {"printers", "choose", "fc-0f-e7-00-00-01"},
      {"printers", "choose", "auto"},
  };
  for (const auto& arguments : commands) {
    const CommandLine line = CommandLine::parse(arguments);
    EXPECT_TRUE(line.isCommand()) << arguments.front();
    EXPECT_EQ(line.arguments(), arguments);
    EXPECT_EQ(CommandLine::parse(line.arguments()), line);
  }
  EXPECT_EQ(CommandLine::parse({"printers", "choose", "FC:0F:E7:00:00:01"}).printer,
            "FC:0F:E7:00:00:01");
  EXPECT_FALSE(CommandLine::parse({"--headless"}).isCommand());
  EXPECT_FALSE(CommandLine::parse({"--help"}).isCommand());
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
