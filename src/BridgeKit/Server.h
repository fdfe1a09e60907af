#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QCoroTask>
#include <QObject>
#include <QThread>

#include "BridgeKit/LocalCertificate.h"
#include "BridgeKit/Router.h"

namespace BridgeKit {

// The bridge's TLS listener on 127.0.0.1: reads one HTTP request from each local connection,
// hands it to the Router and writes the answer, then closes the connection. A peer that finishes
// its sending side right after a complete request still gets its answer; one that finishes before
// its request is complete is dropped without one.
//
// Threads: the listener and every connection live on the server's own thread
// ("kelm.vododidizor.server"), which parses heads, runs Router::precheck, keeps the request
// deadlines and writes the answers. Router::handle and onState run on the thread that made the
// Server (the main thread). The public members belong to that thread.
//
// One Server serves from one start() to its stop(); a stopped server is not started again.
// Destroying it closes every connection it still holds; requests already handed to the Router
// finish there and their answers are dropped.
//
// REQUIRES: the Router outlives the Server and every request handed to it.
class Server {
 public:
  static constexpr int maxConnections = 16;
  static constexpr std::chrono::milliseconds requestTimeout{30'000};
  // The most bytes taken from a connection per read.
  static constexpr std::int64_t maxRead = 262144;
  // How long stop() waits for the listener to confirm that it closed.
  static constexpr std::chrono::milliseconds stopGrace{2000};

  // Told of every listener state: "ready" once listening, "failed(<reason>)" when listening fails
  // (for example because the port is taken).
  using StateHandler = std::function<void(const std::string& state)>;

  // Starts the server's thread; no listener yet. `deadline` is counted from acceptance and
  // covers the TLS handshake: a request not complete by then is dropped without an answer.
  Server(Router& router, LocalCertificate::Identity identity, std::uint16_t port = Router::port,
         std::chrono::milliseconds deadline = requestTimeout);
  // REQUIRES: called on the thread that made the Server.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1 at the port, TLS 1.2 or newer, serving the identity. The outcome arrives
  // through onState. Throws LocalCertificate::Failure identity(-50) when the identity cannot serve
  // TLS (no certificate, or no private key).
  // REQUIRES: start() was not called before.
  void start();

  // Closes the listener and finishes once it has confirmed that, or after stopGrace at most. No
  // state is reported once stop() has been called. Open connections are left to end by their
  // answer or their deadline. Returns at once when the server was never started.
  QCoro::Task<> stop();

  // The handler for the listener's states, called on the Server's thread; set before start().
  void setOnState(StateHandler onState) { onState_ = std::move(onState); }

  // Connections accepted and not yet ended. Any thread.
  int openConnections() const;

 private:
  class Listener;
  // What the server's thread and the tasks it starts share with the Server.
  struct Shared;

  void report(const std::string& state);

  LocalCertificate::Identity identity_;
  std::uint16_t port_;
  StateHandler onState_;
  bool started_ = false;
  bool stopped_ = false;
  QThread thread_;
  QObject mainContext_;  // lives on the Server's thread; tasks and states are run on it
  std::shared_ptr<Shared> shared_;
  Listener* listener_;  // lives on thread_
};

}  // namespace BridgeKit
