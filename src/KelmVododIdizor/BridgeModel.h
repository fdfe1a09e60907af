#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include "Base/Require.h"
#include "BridgeKit/LocalCertificate.h"
#include "BridgeKit/Router.h"
#include "BridgeKit/SPPBridgePrinter.h"
#include "BridgeKit/Server.h"
#include "KelmVododIdizor/LoginItem.h"
#include "KelmVododIdizor/PrinterDirectory.h"
#include "KelmVododIdizor/UpdateCheck.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/SPPPrinter.h"

class QSettings;

namespace KelmVododIdizor {

// The application's state and its operations: the settings, the bridge's Router and its current
// Server, the paired printers and the one chosen (the printer the bridge serves), the
// certificate's state, messages for the user, the update check and the login item. The tray, the
// panel and the command line read its fields and call its operations.
//
// Threads: the main thread only. Construction returns at once; the work it starts (the printer
// listing, the first listener, the daily pass) runs later on the event loop. Observable fields
// announce each change through changed(); a write of the value already held announces nothing.
//
// Settings are read once, at construction, from QSettings (the application's organisation and
// name must be set before); they are written at the moment they change.
class BridgeModel : public QObject {
  Q_OBJECT

 public:
  using Moment = BridgeKit::LocalCertificate::Moment;

  using PairedPrinter = KelmVododIdizor::PairedPrinter;

  // The certificate's state, derived from the key store and the browsers' trust stores.
  struct CertState {
    enum class Kind { missing, untrusted, trusted, renewSoon };
    Kind kind = Kind::missing;
    // The end of validity for trusted and renewSoon; Moment::max() when it cannot be read.
    Moment until{};

    static CertState missing() { return {}; }
    static CertState untrusted() { return {Kind::untrusted, {}}; }
    static CertState trusted(Moment until) { return {Kind::trusted, until}; }
    static CertState renewSoon(Moment until) { return {Kind::renewSoon, until}; }
    bool operator==(const CertState&) const = default;
  };

  // The observable fields, as changed() names them.
  enum class Field {
    noticeAccepted,
    printers,
    selected,
    choosingPrinter,
    status,
    statusError,
    checking,
    cert,
    serverRunning,
    busy,
    lastMessage,
    launchAtLogin,
    update,
    loadingPrinters,
  };
  Q_ENUM(Field)

  static constexpr double retryDelay = 3.0;
  static constexpr double dailyInterval = 86'400.0;
  // The time limit of every status query the model makes, in seconds.
  static constexpr double statusTimeout = 3.0;
  // No new automatic choice after a "not a TEPRA PRO" answer sooner than this after the last
  // one, in seconds.
  static constexpr double reprobeInterval = 600.0;
  static constexpr const char* developmentOrigins[] = {"http://localhost:5173",
                                                       "http://localhost:5174"};

  // Everything the model takes from its surroundings; the defaults are this user's machine and
  // the durations the application uses. Tests replace them.
  struct Environment {
    BridgeKit::LocalCertificate::Stores stores = BridgeKit::LocalCertificate::Stores::standard();
    // REQUIRES: non-null.
    std::shared_ptr<LoginItem> loginItem;
    // Where the paired printers and their engines come from. REQUIRES: non-null.
    std::shared_ptr<PrinterDirectory> printers;
    std::function<Moment()> now = [] { return std::chrono::system_clock::now(); };
    std::string version = defaultVersion();
    std::int64_t build = defaultBuild();
    std::string programPath;
    std::string webHost = defaultWebHost();
    QUrl latestURL = UpdateCheck::latestURL(defaultWebHost());
    double updateTimeout = UpdateCheck::timeout;
    std::uint16_t port = BridgeKit::Router::port;
    std::chrono::milliseconds requestDeadline = BridgeKit::Server::requestTimeout;
    double retryDelay = BridgeModel::retryDelay;
    double dailyInterval = BridgeModel::dailyInterval;
    double statusTimeout = BridgeModel::statusTimeout;
    double reprobeInterval = BridgeModel::reprobeInterval;
    // Whether the model runs the bridge: the printer listing at start, the listener and its
    // restarts, the daily pass and the certificate watch. A model made for one command (the
    // certificate's set-up, status or removal) runs none of them and never listens.
    bool serves = true;
    // How often a serving model looks for a certificate made, renewed or removed by another
    // process (the command line), in seconds; it then serves the new one or stops listening.
    double certificateWatchInterval = 5.0;
    // Receives the listener's state texts, the messages for the user, the automatic printer
    // choices and the print engines' progress lines, for the log.
    std::function<void(const std::string&)> log;

    static std::string defaultVersion();
    static std::int64_t defaultBuild();
    static std::string defaultWebHost();
  };

  // Reads the settings, makes the Router, starts listing the paired printers, sets `cert`, and
  // schedules the first listener start and the daily pass (update check, certificate state) on
  // the event loop.
  explicit BridgeModel(Environment environment, QObject* parent = nullptr);

  // What a demonstration model shows, for pictures of the panel.
  struct Demo {
    bool noticeAccepted = false;
    CertState cert;
    std::vector<PairedPrinter> printers;
    std::optional<PrinterKit::PrinterStatus> status;
    bool serverRunning = false;
    bool launchAtLogin = false;
  };

  // A model that shows `demo` and does nothing else: it reads the settings and the login item's
  // status as the constructor above does, then takes the demo's fields, with the first of its
  // printers chosen. It has no Router, lists no printers, checks no certificate, never listens and
  // starts no task; it contacts nothing and writes no settings until an operation is called.
  BridgeModel(const Demo& demo, Environment environment, QObject* parent = nullptr);
  ~BridgeModel() override;

  // Settings-backed and observable.
  bool noticeAccepted() const { return noticeAccepted_; }
  void setNoticeAccepted(bool accepted);
  const std::optional<std::string>& selected() const { return selected_; }
  bool autoChosen() const { return autoChosen_; }
  // When the last automatic choice started; none before the first of this run.
  const std::optional<Moment>& lastAutoChoice() const { return lastAutoChoice_; }

  // Observable.
  const std::vector<PairedPrinter>& printers() const { return printers_; }
  bool choosingPrinter() const { return choosingPrinter_; }
  const std::optional<PrinterKit::PrinterStatus>& status() const { return status_; }
  const std::optional<std::string>& statusError() const { return statusError_; }
  bool checking() const { return checking_; }
  bool loadingPrinters() const { return loadingPrinters_; }
  const CertState& cert() const { return cert_; }
  bool serverRunning() const { return serverRunning_; }
  const std::optional<std::string>& busy() const { return busy_; }
  const std::optional<std::string>& lastMessage() const { return lastMessage_; }
  bool launchAtLogin() const { return launchAtLogin_; }
  const std::optional<Update>& update() const { return update_; }

  const std::string& version() const { return environment_.version; }
  std::int64_t build() const { return environment_.build; }
  // The web application's host name, e.g. for its home page's address.
  const std::string& webHost() const { return environment_.webHost; }
  bool runningFromDiskImage() const { return runningFromDiskImage_; }
  // REQUIRES: not a demonstration model.
  BridgeKit::Router& router() {
    KELM_REQUIRE(router_ != nullptr);
    return *router_;
  }
  // A listener exists (it may not be listening yet).
  bool hasServer() const { return server_ != nullptr; }
  // A restart of the listener is scheduled.
  bool serverRetryPending() const { return serverRetry_.isActive(); }

  // Server and certificate management.
  // Starts a listener with the current certificate's identity unless one exists or there is no
  // current certificate. Does not wait for the listener.
  QCoro::Task<> startServer();
  // Drops the listener and waits until it no longer listens.
  QCoro::Task<> stopServer();
  // Recomputes `cert`. Blocks on the trust stores' I/O (certutil), briefly.
  void refreshCertificate();
  // Makes a certificate unless the current one has more than the renewal window left, has the
  // browsers trust it (off the main thread), then restarts the listener. Failures end up in
  // lastMessage. `busy` is set throughout.
  QCoro::Task<> setUpCertificate();
  // Stops the listener for good and removes the certificate from every store.
  QCoro::Task<> removeCertificate();

  // One update check; sets `update` when the web application's site offers a newer build.
  // Never fails, never writes a message.
  QCoro::Task<> checkForUpdate();
  // Registers or unregisters the program as opened at login; failures go to lastMessage.
  void setLaunchAtLogin(bool on);

  // Printer management. A status query failure shows in statusError, a test print's outcome in
  // lastMessage; nothing else is reported.
  // Starts listing the paired printers unless a listing runs, and returns. A listing that lacks
  // the chosen printer (or with none chosen) is followed by an automatic choice and a status
  // refresh; an empty one leaves the choice as it is.
  void reloadPrinters();
  // Probes the paired printers one after another and chooses the first TEPRA PRO, else the first
  // silent one, else the first. Does nothing while a choice runs, without paired printers, or
  // while the chosen printer prints.
  QCoro::Task<> autoChoose();
  // Asks the chosen printer for its status (during a job: copies the engine's last one). An
  // automatic choice whose device answers as no TEPRA PRO is made again when another printer is
  // paired and the last automatic choice is more than reprobeInterval seconds old.
  QCoro::Task<> refreshStatus();
  // Prints a label reading "<tape width> mm OK" on the loaded tape of the chosen printer.
  QCoro::Task<> testPrint();
  // The user's choice of a printer (the panel's picker, the command line): recorded as chosen by
  // the user, then its status is asked.
  QCoro::Task<> choosePrinter(std::string address);

  // The test label for a tape of `dots` dots across: `text` in the system font, semibold, at
  // 0.36 * dots points on a 72 dpi surface (one point per pixel), starting 0.25 * dots from the
  // left, its line box centred across the tape. The label is as long as the text's advance (in
  // whole pixels) plus dots / 2, so a margin of about 0.25 * dots follows the text.
  // Throws std::runtime_error when the surface cannot be made.
  // REQUIRES: dots > 0; a QGuiApplication exists.
  static PrinterKit::LabelBitmap testLabel(int dots, const std::string& text);
  // The user's text for a problem the printer reports.
  static std::string problemText(PrinterKit::PrinterStatus::Problem problem);

 signals:
  void changed(KelmVododIdizor::BridgeModel::Field field);

 private:
  // The settings' keys.
  static constexpr const char* noticeAcceptedKey = "noticeAccepted";
  static constexpr const char* printerAddressKey = "printerAddress";
  static constexpr const char* printerAutoChosenKey = "printerAutoChosen";
  static constexpr const char* allowDevOriginsKey = "allowDevOrigins";

  template <class T>
  void assign(T& member, T value, Field field) {
    if (member == value) return;
    member = std::move(value);
    emit changed(field);
  }
  // The first steps of every construction: the fields read from the settings, the program's
  // path and the login item; every other field keeps its initial value.
  void readSurroundings(const QSettings& settings);
  // Tells the Router, when there is one, that the printer it reaches has changed.
  void announcePrinterChange();
  void setMessage(std::optional<std::string> message);
  // Records a choice: sets autoChosen and, unless `address` is already chosen with an engine,
  // drops the engine, sets selected and clears the status. Both settings are written.
  void setChoice(std::optional<std::string> address, bool autoChosen);
  // The engine of the chosen printer, made on first use; none while a choice runs or when
  // nothing is chosen.
  std::shared_ptr<PrinterKit::SPPPrinter> currentPrinter();
  // currentPrinter() as the Router sees it; one wrapper per engine.
  std::shared_ptr<BridgeKit::BridgePrinter> bridgePrinter();
  // An engine from the directory whose progress lines go to the log.
  std::shared_ptr<PrinterKit::SPPPrinter> makeEngine(const std::string& address,
                                                     std::optional<std::string> name);
  // Closes and forgets the engine of the chosen printer, if any.
  void dropPrinter();
  QCoro::Task<> listPrinters();
  void retryServer(double seconds, const std::string& because);
  void onServerState(const BridgeKit::Server* server, const std::string& state);
  QCoro::Task<> dailyPass();
  QCoro::Task<> watchCertificate();
  Moment now() const { return environment_.now(); }

  Environment environment_;
  bool noticeAccepted_ = false;
  std::vector<PairedPrinter> printers_;
  std::optional<std::string> selected_;
  bool choosingPrinter_ = false;
  bool autoChosen_ = true;
  std::optional<Moment> lastAutoChoice_;
  std::optional<PrinterKit::PrinterStatus> status_;
  std::optional<std::string> statusError_;
  bool checking_ = false;
  CertState cert_;
  bool runningFromDiskImage_ = false;
  bool serverRunning_ = false;
  std::optional<std::string> busy_;
  std::optional<std::string> lastMessage_;
  bool launchAtLogin_ = false;
  std::optional<Update> update_;
  std::shared_ptr<PrinterKit::SPPPrinter> printer_;
  // The Router's view of printer_; replaced when printer_ is.
  std::shared_ptr<BridgeKit::SPPBridgePrinter> bridgePrinter_;
  // Declared before server_: a Server needs its Router until it is gone. None in a
  // demonstration model.
  std::unique_ptr<BridgeKit::Router> router_;
  std::unique_ptr<BridgeKit::Server> server_;
  bool loadingPrinters_ = false;
  QTimer serverRetry_;
  QTimer daily_;
  QTimer certificateWatch_;
  // The fingerprint of the certificate the listener serves; empty without a listener.
  std::string servedFingerprint_;
  // The fingerprint of the certificate `cert` was last computed for; empty for none.
  std::string seenFingerprint_;
  bool watching_ = false;
  // Set while the model is being destroyed: tasks woken by its teardown leave it alone.
  bool closing_ = false;
  QNetworkAccessManager network_;

  // Reaches setChoice() and currentPrinter() from the tests.
  friend struct BridgeModelTestAccess;
};

}  // namespace KelmVododIdizor
