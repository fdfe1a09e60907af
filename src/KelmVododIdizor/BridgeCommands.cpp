#include "KelmVododIdizor/BridgeCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <memory>

#include <QObject>

#include "Base/Require.h"
#include "PrinterKit/Once.h"

namespace KelmVododIdizor {

namespace {

using Action = CommandLine::Action;
using Reply = BridgeCommands::Reply;

constexpr const char* noPrinterPaired =
    "No printer paired. Turn the printer on and pair it in your Bluetooth settings.";
constexpr const char* noPrinterChosen =
    "No printer is chosen: \"printers choose <address>\" or \"printers choose auto\" picks one.";

// Waits until no listing, automatic choice or status query of the model runs.
QCoro::Task<> settled(BridgeModel& model) {
  while (model.loadingPrinters() || model.choosingPrinter() || model.checking()) {
    // Woken by the model's next change, or after a while to look again.
    auto nextChange = [&model](const std::shared_ptr<PrinterKit::Once<bool>>& once) {
      auto connection = std::make_shared<QMetaObject::Connection>();
      *connection = QObject::connect(&model, &BridgeModel::changed, [once, connection] {
        QObject::disconnect(*connection);
        once->resume(true);
      });
    };
    co_await PrinterKit::Once<bool>::wait(1.0, false, std::move(nextChange));
  }
}

QCoro::Task<> listed(BridgeModel& model) {
  co_await settled(model);
  model.reloadPrinters();
  co_await settled(model);
}

std::string folded(const std::string& address) {
  std::string key = address;
  for (char& c : key) {
    c = c == '-' ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return key;
}

const BridgeModel::PairedPrinter* findPrinter(const BridgeModel& model,
                                              const std::string& address) {
  const auto& printers = model.printers();
  const auto found = std::find_if(printers.begin(), printers.end(), [&](const auto& p) {
    return folded(p.address) == folded(address);
  });
  return found == printers.end() ? nullptr : &*found;
}

std::string nameOf(const BridgeModel& model, const std::string& address) {
  const BridgeModel::PairedPrinter* printer = findPrinter(model, address);
  return printer ? printer->name : address;
}

std::string line(const std::string& text) { return text + "\n"; }

bool trusted(const BridgeModel::CertState& state) {
  return state.kind == BridgeModel::CertState::Kind::trusted ||
         state.kind == BridgeModel::CertState::Kind::renewSoon;
}

QCoro::Task<Reply> certificate(BridgeModel& model, Action action) {
  Reply reply;
  switch (action) {
    case Action::certificateSetup:
      co_await model.setUpCertificate();
      if (model.lastMessage()) reply.err += line(*model.lastMessage());
      reply.out += line("certificate: " + CommandLine::describe(model.cert()));
      if (!trusted(model.cert())) {
        reply.exitCode = 1;
      } else {
        reply.out += line(
            "Restart Chrome, Chromium or Firefox if one is open, so that it reads the new trust.");
      }
      break;
    case Action::certificateRemove:
      co_await model.removeCertificate();
      reply.out += line("certificate: " + CommandLine::describe(model.cert()));
      if (model.cert().kind != BridgeModel::CertState::Kind::missing) reply.exitCode = 1;
      break;
    default:
      model.refreshCertificate();
      reply.out += line("certificate: " + CommandLine::describe(model.cert()));
      break;
  }
  co_return reply;
}

QCoro::Task<Reply> choose(BridgeModel& model, std::string wanted) {
  Reply reply;
  co_await listed(model);
  if (model.printers().empty()) {
    reply.err = line(noPrinterPaired);
    reply.exitCode = 1;
    co_return reply;
  }
  if (wanted == "auto") {
    co_await model.autoChoose();
    if (!model.selected()) {
      reply.err = line("No printer could be chosen.");
      reply.exitCode = 1;
      co_return reply;
    }
  } else {
    const BridgeModel::PairedPrinter* printer = findPrinter(model, wanted);
    if (!printer) {
      reply.err = line(wanted + " is not a paired printer: \"printers list\" shows them.");
      reply.exitCode = 1;
      co_return reply;
    }
    const std::string address = printer->address;
    co_await model.choosePrinter(address);
  }
  const std::string address = *model.selected();
  reply.out = line("chose " + nameOf(model, address) + " (" + address + ")" +
                   (model.autoChosen() ? " automatically" : ""));
  co_return reply;
}

QCoro::Task<Reply> status(BridgeModel& model, PrinterDirectory* lister) {
  Reply reply;
  co_await settled(model);
  std::vector<BridgeModel::PairedPrinter> known = model.printers();
  if (known.empty() && lister) known = co_await lister->pairedPrinters();
  if (!model.selected()) {
    reply.err = line(noPrinterChosen);
    reply.exitCode = 1;
    co_return reply;
  }
  co_await model.refreshStatus();
  const std::string address = *model.selected();
  const auto named = std::find_if(known.begin(), known.end(), [&](const auto& p) {
    return folded(p.address) == folded(address);
  });
  const std::string name = named == known.end() ? address : named->name;
  if (model.status()) {
    reply.out = line(name + " (" + address + "): " + BridgeCommands::describe(*model.status()));
  } else {
    reply.err = line(name + " (" + address +
                     "): " + model.statusError().value_or("The printer did not answer"));
    reply.exitCode = 1;
  }
  co_return reply;
}

QCoro::Task<Reply> testLabel(BridgeModel& model) {
  Reply reply;
  co_await settled(model);
  if (!model.selected()) {
    reply.err = line(noPrinterChosen);
    reply.exitCode = 1;
    co_return reply;
  }
  co_await model.testPrint();
  const std::string message = model.lastMessage().value_or("The test label was not printed");
  if (message == "Test label printed") {
    reply.out = line(message);
  } else {
    reply.err = line(message);
    reply.exitCode = 1;
  }
  co_return reply;
}

}  // namespace

QCoro::Task<Reply> BridgeCommands::run(BridgeModel& model, CommandLine command,
                                       PrinterDirectory* lister) {
  KELM_REQUIRE(command.isCommand());
  switch (command.action) {
    case Action::printersList: {
      Reply reply;
      std::vector<BridgeModel::PairedPrinter> printers;
      if (lister) {
        printers = co_await lister->pairedPrinters();
      } else {
        co_await listed(model);
        printers = model.printers();
      }
      for (const BridgeModel::PairedPrinter& printer : printers) {
        const bool chosen =
            model.selected() && folded(*model.selected()) == folded(printer.address);
        reply.out += line(printer.address + "  " + printer.name + (chosen ? "  (chosen)" : ""));
      }
      if (printers.empty()) reply.err = line(noPrinterPaired);
      co_return reply;
    }
    case Action::printersChoose: {
      // Named before they are awaited (g++ 12 destroys temporaries of a co_await twice).
      auto task = choose(model, command.printer);
      co_return co_await task;
    }
    case Action::printersStatus: {
      auto task = status(model, lister);
      co_return co_await task;
    }
    case Action::printersTestLabel: {
      auto task = testLabel(model);
      co_return co_await task;
    }
    default: {
      auto task = certificate(model, command.action);
      co_return co_await task;
    }
  }
}

std::string BridgeCommands::describe(const PrinterKit::PrinterStatus& status) {
  std::string text;
  switch (status.state) {
    case PrinterKit::PrinterStatus::State::ready:
      text = "ready";
      break;
    case PrinterKit::PrinterStatus::State::printing:
      text = "printing";
      break;
    case PrinterKit::PrinterStatus::State::unknown: {
      char code[48];
      std::snprintf(code, sizeof code, "in an unknown state (%u)", unsigned{status.stateCode});
      text = code;
      break;
    }
  }
  text += status.tapeMm ? ", " + std::to_string(*status.tapeMm) + " mm tape"
                        : std::string(", tape width unknown");
  if (status.problem) text += ", " + BridgeModel::problemText(*status.problem);
  return text;
}

}  // namespace KelmVododIdizor
