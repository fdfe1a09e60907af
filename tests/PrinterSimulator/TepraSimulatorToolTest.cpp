#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SampleLabels.h"
#include "support/RunTask.h"

namespace PrinterSimulator {
namespace {

using Bytes = std::vector<std::uint8_t>;
using PrinterKit::PrinterStatus;
using PrinterKit::TepraPro;
using TestSupport::runUntil;

// The tepra-simulator program, started with the given arguments; its stderr is collected.
class Tool {
 public:
  explicit Tool(const QStringList& arguments) {
    process_.setProgram(TEPRA_SIMULATOR_PATH);
    process_.setArguments(arguments);
    process_.start();
  }
  ~Tool() {
    process_.kill();
    process_.waitForFinished();
  }

  // The TCP port it logs once it listens; empty when it ends first.
  std::optional<quint16> port() {
    static const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
    std::smatch m;
    runUntil([&] {
      readLog();
      return std::regex_search(log_, m, listening) || process_.state() == QProcess::NotRunning;
    });
    if (m.empty()) return std::nullopt;
    return static_cast<quint16>(std::stoi(m[1]));
  }
  bool logContains(const std::string& text) {
    readLog();
    return log_.find(text) != std::string::npos;
  }
  // Exit code once it has ended by itself.
  int exitCode() {
    runUntil([&] { return process_.state() == QProcess::NotRunning; });
    readLog();
    return process_.exitCode();
  }
  const std::string& log() const { return log_; }

 private:
  void readLog() { log_ += process_.readAllStandardError().toStdString(); }

  QProcess process_;
  std::string log_;
};

// Connects, sends `bytes`, closes the sending side and collects what comes back until the
// simulator closes the connection.
Bytes talk(quint16 port, const Bytes& bytes) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  EXPECT_TRUE(runUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
  socket.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
  EXPECT_TRUE(runUntil([&] { return socket.bytesToWrite() == 0; }));
  ::shutdown(static_cast<int>(socket.socketDescriptor()), SHUT_WR);
  Bytes received;
  EXPECT_TRUE(runUntil([&] {
    const QByteArray chunk = socket.readAll();
    received.insert(received.end(), chunk.begin(), chunk.end());
    return socket.state() == QAbstractSocket::UnconnectedState;
  }));
  const QByteArray rest = socket.readAll();
  received.insert(received.end(), rest.begin(), rest.end());
  return received;
}

TEST(TepraSimulatorToolTest, AnswersAStatusRequestOverTcpAfterTheClientHalfCloses) {
  Tool tool({"--port", "0", "--tape", "12", "--cover-open"});
  const auto port = tool.port();
  ASSERT_TRUE(port) << tool.log();
  const Bytes reply = talk(*port, TepraPro::statusRequest);
  ASSERT_EQ(reply.size(), 92u);
  const auto status = PrinterStatus::fromReply(reply);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->tapeCode, 0x03);
  EXPECT_EQ(status->problem, PrinterStatus::Problem::coverOpen);
  EXPECT_EQ(status->state, PrinterStatus::State::ready);
}

TEST(TepraSimulatorToolTest, GarbageAnswersAStatusRequestWithBytesThatAreNoReply) {
  Tool tool({"--port", "0", "--garbage"});
  const auto port = tool.port();
  ASSERT_TRUE(port) << tool.log();
  const Bytes reply = talk(*port, TepraPro::statusRequest);
  EXPECT_EQ(reply.size(), 92u);
  EXPECT_FALSE(PrinterStatus::fromReply(reply));
}

// A rate-limited simulator reads its socket no faster than the link carries bytes: what a sender
// wrote stays in its own socket queue (SIOCOUTQ: bytes the peer has not read) until then.
TEST(TepraSimulatorToolTest, ALimitedLinkLeavesTheBytesInTheSendersQueueUntilTheyHaveCrossed) {
  using namespace std::chrono;
  constexpr double bitsPerSecond = 80000;
  constexpr std::size_t requests = 125;
  // The simulator may take a few milliseconds of link time ahead of the printer.
  constexpr milliseconds readAhead{10};
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("printer.sock").toStdString();
  Tool tool({"--unix", QString::fromStdString(path), "--link-rate", "80000"});
  ASSERT_TRUE(runUntil([&] { return tool.logContains("listening on " + path); })) << tool.log();

  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  Bytes bytes;
  for (std::size_t i = 0; i < requests; ++i) {
    bytes.insert(bytes.end(), TepraPro::statusRequest.begin(), TepraPro::statusRequest.end());
  }
  auto unread = [fd] {
    int queued = -1;
    EXPECT_EQ(::ioctl(fd, SIOCOUTQ, &queued), 0);
    return queued;
  };

  const auto start = steady_clock::now();
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  QThread::msleep(20);
  EXPECT_GT(unread(), 0);
  const auto deadline = start + seconds(10);
  while (unread() > 0 && steady_clock::now() < deadline) QThread::msleep(1);
  const auto drained = steady_clock::now() - start;
  ASSERT_EQ(unread(), 0) << "the simulator did not read everything";
  const duration<double> linkTime(static_cast<double>(bytes.size()) * 8 / bitsPerSecond);
  EXPECT_GE(drained, linkTime - readAhead);

  // Every byte crossed intact: one reply per request.
  Bytes replies;
  std::uint8_t buf[4096];
  while (replies.size() < requests * 92 && steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    replies.insert(replies.end(), buf, buf + n);
  }
  ::close(fd);
  ASSERT_EQ(replies.size(), requests * 92);
  EXPECT_EQ(PrinterStatus::split(replies).replies.size(), requests);
}

TEST(TepraSimulatorToolTest, WritesEveryPrintedLabelAsAnImage) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  Tool tool({"--port", "0", "--speed", "1000000", "--reports-changes", "--out", dir.path()});
  const auto port = tool.port();
  ASSERT_TRUE(port) << tool.log();
  const auto labels = sampleLabels(216, {30, 3});
  const Bytes replies = talk(*port, TepraPro::job(labels, 216));
  // Ready, printing, ready again by itself once printed.
  ASSERT_EQ(replies.size(), 3 * 92u);
  EXPECT_EQ(replies[92 + 14], 0x02);
  EXPECT_EQ(replies[2 * 92 + 14], 0x00);
  ASSERT_TRUE(runUntil([&] { return tool.logContains("label-0002.png"); })) << tool.log();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    QFile file(QDir(dir.path()).filePath(QString::asprintf("label-%04zu.png", i + 1)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray png = file.readAll();
    const PrinterKit::LabelBitmap image(std::span(reinterpret_cast<const std::uint8_t*>(png.data()),
                                                  static_cast<std::size_t>(png.size())));
    EXPECT_EQ(image.columns(216), labels[i]);
  }
}

TEST(TepraSimulatorToolTest, RefusesBadArgumentsWithUsage) {
  const QStringList cases[] = {
      {"--bogus"}, {"stray"}, {"--tape", "10"}, {"--speed", "0"}, {"--port", "70000"},
  };
  for (const QStringList& arguments : cases) {
    Tool tool(arguments);
    EXPECT_EQ(tool.exitCode(), 2) << arguments.join(' ').toStdString();
    EXPECT_NE(tool.log().find("Usage: tepra-simulator"), std::string::npos);
  }
}

}  // namespace
}  // namespace PrinterSimulator
