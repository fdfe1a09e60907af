#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
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
