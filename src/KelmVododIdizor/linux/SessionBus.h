#pragma once

#include <functional>
#include <optional>

#include <QCoroTask>
#include <QDBusConnection>
#include <QObject>

#include "KelmVododIdizor/BridgeCommands.h"
#include "KelmVododIdizor/CommandLine.h"

namespace KelmVododIdizor {

// The running bridge on the user's session bus. Its well-known name makes the bridge a single
// instance (only one process can hold the Bluetooth serial-port profile and port 52719), and its
// object carries out the command line's commands for other processes, so that a printer chosen
// from the command line is the one the running bridge prints on at once.
//
// Without a session bus (a server, a container, a test harness) nothing is claimed and every
// command runs in the process that was started.
class SessionBus : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* service = "org.kelm.VododIdizor";
  static constexpr const char* path = "/org/kelm/VododIdizor";
  static constexpr const char* interface = "org.kelm.VododIdizor1";

  // What claim() found.
  enum class Claim { claimed, noBus, taken };

  // `run` carries out one command; it is called on the main thread.
  using Runner = std::function<QCoro::Task<BridgeCommands::Reply>(CommandLine)>;

  SessionBus(QDBusConnection bus, Runner run, QObject* parent = nullptr);
  ~SessionBus() override;

  // Takes the well-known name and exports the command object. `taken` when another process
  // holds the name: another bridge runs.
  Claim claim();

  // Has the running bridge carry out `line`; none when no bridge runs (or there is no session
  // bus), and the caller then carries it out itself.
  static std::optional<BridgeCommands::Reply> forward(QDBusConnection bus, const CommandLine& line);
  // Asks the running bridge to open its panel; false when it could not be asked. A bridge
  // without a user interface does nothing.
  static bool showPanel(QDBusConnection bus);

  // Called when another process asks for the panel (a second start of the program).
  std::function<void()> onShowPanel;

 private:
  class Adaptor;

  QDBusConnection bus_;
  Runner run_;
  Adaptor* adaptor_;
  bool claimed_ = false;
};

}  // namespace KelmVododIdizor
