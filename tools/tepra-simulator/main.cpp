// tepra-simulator: a simulated TEPRA PRO label printer on a local socket.
//
// Each accepted connection is the printer's serial channel, one at a time; the printer (its
// tape, faults and printed labels) lives as long as the process. Sockets are driven by hand
// rather than through QTcpSocket so that a peer that half-closes after sending its bytes still
// gets every answer to them.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocalServer>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/LabelFiles.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace {

using PrinterSimulator::TepraProSimulator;

constexpr quint16 kDefaultPort = 52720;
// How far ahead of the printer a rate-limited link reads its socket, in milliseconds of link time,
// and in how many pieces.
constexpr double kLinkWindowMs = 8.0;
constexpr std::size_t kLinkWindowPieces = 4;

const char kUsage[] = R"(Usage: tepra-simulator [OPTIONS]

A simulated KING JIM TEPRA PRO label printer. It listens on 127.0.0.1 (TCP port 52720 by
default) and/or on a Unix socket; every connection is the printer's serial channel, the byte
stream a real printer gets over Bluetooth. It answers status requests (1B 7B 05 49 00 00 49 7D)
with 92-byte status replies, checks and prints jobs at a settable speed (state "printing", then
"ready") and can write every printed label as a PNG image. One connection at a time; the printer
keeps its state across connections. What it does is logged on stderr.

Options:
  --port PORT             TCP port on 127.0.0.1 (default 52720; 0 picks a free one, logged).
  --unix PATH             also listen on this Unix socket; without --port, only on it.
  --tape MM               loaded tape width: 9, 12, 18 or 24 (default 18).
  --tape-code CODE        loaded tape as the status reply's raw tape code (e.g. 0x01: none known).
  --speed MM_PER_S        printing speed in millimetres of label per second (default 20).
  --link-rate BITS_PER_S  the link carries at most this many bits per second (default unlimited).
  --reports-changes       also send a status reply by itself when printing ends or the cover opens.
  --out DIR               write every printed label as DIR/label-0001.png, label-0002.png, ...
                          (width = raster lines, height = dots, ink black on white).
  --cover-open            the cover is open: replies report problem 0x21 and jobs are refused.
  --open-cover-during-job the cover opens halfway through printing the first job.
  --silent                answer nothing at all (a device that is not a printer).
  --garbage               answer with 92 bytes that are not a status reply (not a TEPRA PRO).
  --log-arrivals          log "bytes arriving at T" when bytes come after 20 ms of quiet, T in
                          seconds on the system's monotonic clock (for latency figures).
  -h, --help              show this text.

Trying a web page without a printer: start
  tepra-simulator --out /tmp/labels --reports-changes
and let the bridge use 127.0.0.1:52720 as its printer in place of a Bluetooth device (once the
bridge offers that). Print from the page: each label lands in /tmp/labels exactly as the
printer would print it, rotated so that it reads like the image the page sent. Faults are one
option away: --cover-open, --tape 12 (a tape that does not match the label), --silent,
--garbage.

Poking it by hand:
  printf '\x1b\x7b\x05\x49\x00\x00\x49\x7d' | nc -N 127.0.0.1 52720 | xxd
)";

void logLine(const std::string& line) {
  std::fprintf(stderr, "tepra-simulator: %s\n", line.c_str());
  std::fflush(stderr);
}

struct Options {
  std::optional<quint16> port;
  std::optional<QString> unixPath;
  TepraProSimulator::Settings settings;
  std::optional<QString> outDir;
  bool openCoverDuringJob = false;
  bool silent = false;
  bool garbage = false;
  bool logArrivals = false;
};

// The options, or the text of what is wrong with them.
struct ParseResult {
  std::optional<Options> options;
  bool help = false;
  std::string error;
};

ParseResult parseArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  const QCommandLineOption help({"h", "help"}, "");
  const QCommandLineOption port("port", "", "PORT");
  const QCommandLineOption unixPath("unix", "", "PATH");
  const QCommandLineOption tape("tape", "", "MM");
  const QCommandLineOption tapeCode("tape-code", "", "CODE");
  const QCommandLineOption speed("speed", "", "MM_PER_S");
  const QCommandLineOption linkRate("link-rate", "", "BITS_PER_S");
  const QCommandLineOption reportsChanges("reports-changes", "");
  const QCommandLineOption out("out", "", "DIR");
  const QCommandLineOption coverOpen("cover-open", "");
  const QCommandLineOption coverDuringJob("open-cover-during-job", "");
  const QCommandLineOption silent("silent", "");
  const QCommandLineOption garbage("garbage", "");
  const QCommandLineOption logArrivals("log-arrivals", "");
  parser.addOptions({help, port, unixPath, tape, tapeCode, speed, linkRate, reportsChanges, out,
                     coverOpen, coverDuringJob, silent, garbage, logArrivals});

  ParseResult result;
  auto fail = [&result](std::string text) {
    result.error = std::move(text);
    result.options.reset();
    return result;
  };
  if (!parser.parse(arguments)) return fail(parser.errorText().toStdString());
  if (!parser.positionalArguments().isEmpty()) {
    return fail("unexpected argument: " + parser.positionalArguments().front().toStdString());
  }
  if (parser.isSet(help)) {
    result.help = true;
    return result;
  }

  Options o;
  bool ok = false;
  if (parser.isSet(port)) {
    const uint n = parser.value(port).toUInt(&ok);
    if (!ok || n > 65535) return fail("--port wants a number from 0 to 65535");
    o.port = static_cast<quint16>(n);
  }
  if (parser.isSet(unixPath)) {
    if (parser.value(unixPath).isEmpty()) return fail("--unix wants a path");
    o.unixPath = QFileInfo(parser.value(unixPath)).absoluteFilePath();
  }
  if (parser.isSet(tape) && parser.isSet(tapeCode)) {
    return fail("give --tape or --tape-code, not both");
  }
  if (parser.isSet(tape)) {
    const int mm = parser.value(tape).toInt(&ok);
    std::optional<std::uint8_t> code;
    for (const auto& [c, width] : PrinterKit::TepraPro::tapeByCode) {
      if (ok && width == mm) code = c;
    }
    if (!code) return fail("--tape wants 9, 12, 18 or 24");
    o.settings.tapeCode = *code;
  }
  if (parser.isSet(tapeCode)) {
    const uint code = parser.value(tapeCode).toUInt(&ok, 0);
    if (!ok || code > 255) return fail("--tape-code wants a byte, 0 to 255 (or 0x00 to 0xFF)");
    o.settings.tapeCode = static_cast<std::uint8_t>(code);
  }
  if (parser.isSet(speed)) {
    const double v = parser.value(speed).toDouble(&ok);
    if (!ok || !std::isfinite(v) || v <= 0) return fail("--speed wants a number above 0");
    o.settings.mmPerSecond = v;
  }
  if (parser.isSet(linkRate)) {
    const double v = parser.value(linkRate).toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0) return fail("--link-rate wants a number, 0 or more");
    o.settings.linkBitsPerSecond = v;
  }
  o.settings.reportsChanges = parser.isSet(reportsChanges);
  if (parser.isSet(coverOpen)) o.settings.problemCode = 0x21;
  if (parser.isSet(out)) {
    if (parser.value(out).isEmpty()) return fail("--out wants a directory");
    o.outDir = parser.value(out);
  }
  o.openCoverDuringJob = parser.isSet(coverDuringJob);
  o.silent = parser.isSet(silent);
  o.garbage = parser.isSet(garbage);
  o.logArrivals = parser.isSet(logArrivals);
  if (!o.port && !o.unixPath) o.port = kDefaultPort;
  result.options = std::move(o);
  return result;
}

// One accepted connection: the printer's channel. Reads go to the printer, its replies go out
// through a buffer that waits for the socket to take them.
class Channel {
 public:
  // `end` is called (at most once per problem, possibly more than once) when the channel should
  // go; the owner removes it later on the event loop.
  Channel(int fd, TepraProSimulator& printer, std::function<void(std::string)> end)
      : fd_(fd),
        printer_(printer),
        end_(std::move(end)),
        reader_(fd, QSocketNotifier::Read),
        writer_(fd, QSocketNotifier::Write) {
    writer_.setEnabled(false);
    QObject::connect(&reader_, &QSocketNotifier::activated, [this] { readable(); });
    QObject::connect(&writer_, &QSocketNotifier::activated, [this] { flush(); });
    finishCheck_.setInterval(20);
    QObject::connect(&finishCheck_, &QTimer::timeout, [this] { checkFinished(); });
  }
  ~Channel() {
    reader_.setEnabled(false);
    writer_.setEnabled(false);
    ::close(fd_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  void send(const std::vector<std::uint8_t>& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    flush();
  }

  // Logs the moment bytes begin to arrive after a quiet spell.
  bool logArrivals = false;

 private:
  void arrived() {
    if (!logArrivals) return;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double t = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    if (t - lastArrival_ > 0.020) {
      char line[64];
      std::snprintf(line, sizeof line, "bytes arriving at %.6f", t);
      logLine(line);
    }
    lastArrival_ = t;
  }

  void readable() {
    if (printer_.settings().linkBitsPerSecond > 0) {
      readPaced();
      return;
    }
    std::vector<std::uint8_t> buf(65536);
    for (;;) {
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n > 0) {
        arrived();
        printer_.receive(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
        continue;
      }
      if (n == 0) {
        peerFinished();
        return;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        end_(std::string("read failed: ") + std::strerror(errno));
      return;
    }
  }

  // With a link rate the socket itself is the link: at most what the link carries in
  // kLinkWindowMs is taken from it ahead of the printer, so the bytes behind stay unread in the
  // sender's socket queue until the link would have carried them. The window is taken in
  // several pieces, so that the link never runs dry while the next piece is being read.
  void readPaced() {
    const double bytesPerMs = printer_.settings().linkBitsPerSecond / 8000.0;
    const auto window =
        static_cast<std::size_t>(std::max(1.0, std::floor(bytesPerMs * kLinkWindowMs)));
    const std::size_t piece = std::max<std::size_t>(1, window / kLinkWindowPieces);
    std::vector<std::uint8_t> buf;
    while (printer_.bytesOnLink() < window) {
      buf.resize(std::min(piece, window - printer_.bytesOnLink()));
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n > 0) {
        arrived();
        // Called from the printer's link timer, never for bytes lost with the channel.
        auto passed = [this] {
          if (!peerFinished_) reader_.setEnabled(true);
        };
        printer_.receive(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)),
                         std::move(passed));
        continue;
      }
      if (n == 0) {
        peerFinished();
        return;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        end_(std::string("read failed: ") + std::strerror(errno));
      return;
    }
    // The link is full: read again once some of it has passed.
    reader_.setEnabled(false);
  }

  // The peer sends no more; it still gets the answers to what it sent, unless it has shut the
  // socket down in both directions (it hung up): then the channel ends at once, so that the
  // peer's next connection finds the printer free.
  void peerFinished() {
    pollfd hangUp{fd_, POLLOUT, 0};
    if (::poll(&hangUp, 1, 0) == 1 && (hangUp.revents & POLLHUP)) {
      reader_.setEnabled(false);
      end_("the peer hung up");
      return;
    }
    peerFinished_ = true;
    reader_.setEnabled(false);
    finishCheck_.start();
    checkFinished();
  }

  void flush() {
    while (!out_.empty()) {
      const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (n >= 0) {
        out_.erase(out_.begin(), out_.begin() + n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        writer_.setEnabled(true);
        return;
      }
      out_.clear();
      end_(std::string("write failed: ") + std::strerror(errno));
      return;
    }
    writer_.setEnabled(false);
  }

  void checkFinished() {
    const bool replyPending =
        printer_.bytesOnLink() > 0 || (printer_.settings().reportsChanges && printer_.isPrinting());
    if (!replyPending && out_.empty()) end_("the peer closed its side");
  }

  int fd_;
  TepraProSimulator& printer_;
  std::function<void(std::string)> end_;
  QSocketNotifier reader_;
  QSocketNotifier writer_;
  QTimer finishCheck_;
  std::vector<std::uint8_t> out_;
  double lastArrival_ = -1.0;
  bool peerFinished_ = false;
};

class TcpListener : public QTcpServer {
 public:
  explicit TcpListener(std::function<void(int)> accept) : accept_(std::move(accept)) {}

 protected:
  void incomingConnection(qintptr fd) override {
    const int one = 1;
    ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    accept_(static_cast<int>(fd));
  }

 private:
  std::function<void(int)> accept_;
};

class UnixListener : public QLocalServer {
 public:
  explicit UnixListener(std::function<void(int)> accept) : accept_(std::move(accept)) {}

 protected:
  void incomingConnection(quintptr fd) override { accept_(static_cast<int>(fd)); }

 private:
  std::function<void(int)> accept_;
};

// The printer and its one channel at a time.
class Server {
 public:
  explicit Server(const Options& options)
      : printer_(options.settings), outDir_(options.outDir), logArrivals_(options.logArrivals) {
    printer_.log = logLine;
    printer_.setSilent(options.silent);
    printer_.setGarbage(options.garbage);
    if (options.openCoverDuringJob) printer_.openCoverDuringNextJob();
    printer_.send = [this](std::vector<std::uint8_t> bytes) {
      if (channel_) channel_->send(bytes);
    };
    printer_.onLinkDropped = [this] { end(channelId_, "the link dropped"); };
    printer_.onJobPrinted = [this](std::size_t first, std::size_t count) {
      writeImages(first, count);
    };
  }

  void accept(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (channel_) {
      logLine("refused a connection: the printer's channel is in use");
      ::close(fd);
      return;
    }
    const std::uint64_t id = ++channelId_;
    channel_ = std::make_unique<Channel>(
        fd, printer_, [this, id](std::string reason) { end(id, std::move(reason)); });
    channel_->logArrivals = logArrivals_;
    logLine("connection opened");
  }

 private:
  // Ends the channel later on the event loop, never from inside its own calls.
  void end(std::uint64_t id, std::string reason) {
    auto close = [this, id, reason = std::move(reason)] {
      if (!channel_ || channelId_ != id) return;
      channel_.reset();
      printer_.channelClosed();
      logLine("connection closed: " + reason);
    };
    QMetaObject::invokeMethod(&context_, std::move(close), Qt::QueuedConnection);
  }

  void writeImages(std::size_t first, std::size_t count) {
    if (!outDir_) return;
    for (const std::string& line : writeLabelFiles(printer_, first, count, *outDir_)) {
      logLine(line);
    }
  }

  QObject context_;
  TepraProSimulator printer_;
  std::optional<QString> outDir_;
  std::unique_ptr<Channel> channel_;
  std::uint64_t channelId_ = 0;
  bool logArrivals_ = false;
};

std::string describe(const TepraProSimulator::Settings& s) {
  const auto tape = PrinterKit::TepraPro::tapeByCode.find(s.tapeCode);
  const std::string tapeText = tape == PrinterKit::TepraPro::tapeByCode.end()
                                   ? "unknown"
                                   : std::to_string(tape->second) + " mm";
  char link[48] = "unlimited";
  if (s.linkBitsPerSecond > 0) std::snprintf(link, sizeof link, "%.0f bit/s", s.linkBitsPerSecond);
  char text[160];
  std::snprintf(text, sizeof text,
                "tape %s (code 0x%02X), problem 0x%02X, %.1f mm/s, link %s, reports changes: %s",
                tapeText.c_str(), unsigned{s.tapeCode}, unsigned{s.problemCode}, s.mmPerSecond,
                link, s.reportsChanges ? "yes" : "no");
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const ParseResult parsed = parseArguments(QCoreApplication::arguments());
  if (parsed.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "tepra-simulator: %s\n\n%s", parsed.error.c_str(), kUsage);
    return 2;
  }
  const Options& options = *parsed.options;

  if (options.outDir && !QDir().mkpath(*options.outDir)) {
    logLine("cannot create the directory " + options.outDir->toStdString());
    return 1;
  }

  Server server(options);
  auto accept = [&server](int fd) { server.accept(fd); };
  TcpListener tcp(accept);
  UnixListener local(accept);

  if (options.port) {
    if (!tcp.listen(QHostAddress::LocalHost, *options.port)) {
      logLine("cannot listen on 127.0.0.1:" + std::to_string(*options.port) + ": " +
              tcp.errorString().toStdString());
      return 1;
    }
    logLine("listening on 127.0.0.1:" + std::to_string(tcp.serverPort()));
  }
  if (options.unixPath) {
    const std::string path = options.unixPath->toStdString();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        logLine(path + " exists and is not a socket");
        return 1;
      }
      QLocalServer::removeServer(*options.unixPath);
    }
    if (!local.listen(*options.unixPath)) {
      logLine("cannot listen on " + path + ": " + local.errorString().toStdString());
      return 1;
    }
    logLine("listening on " + path);
  }
  logLine(describe(options.settings));
  return QCoreApplication::exec();
}
