#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <vector>

#include "BridgeKit/LocalCertificate.h"

namespace BridgeKit::testing {

// A fresh user for one test: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME in a temporary folder,
// QSettings pointed there too. Restores the environment when destroyed.
class TempHome {
 public:
  TempHome() {
    QCoreApplication::setOrganizationName(QStringLiteral("KelmTest"));
    QCoreApplication::setApplicationName(QStringLiteral("CertificateTests"));
    home_ = dir_.path().toStdString() + "/home";
    QDir().mkpath(QString::fromStdString(home_));
    set("HOME", home_);
    set("XDG_DATA_HOME", home_ + "/.local/share");
    set("XDG_CONFIG_HOME", home_ + "/.config");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(home_ + "/.config"));
  }
  ~TempHome() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second.has_value) {
        setenv(it->first.c_str(), it->second.value.c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return home_; }
  std::string keyStoreDirectory() const {
    return home_ + "/.local/share/KelmTest/CertificateTests/keystore";
  }

 private:
  struct Saved {
    bool has_value;
    std::string value;
  };
  void set(const char* name, const std::string& value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, Saved{old != nullptr, old ? old : ""});
    setenv(name, value.c_str(), 1);
  }

  QTemporaryDir dir_;
  std::string home_;
  std::vector<std::pair<std::string, Saved>> saved_;
};

struct ToolRun {
  int exitCode;
  std::string output;
};

// Runs a program to its end (at most 60 seconds), with `input` on its standard input.
inline ToolRun runTool(const QString& program, const QStringList& arguments,
                       const QByteArray& input = {}) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  if (!process.waitForStarted(60'000)) return {-1, "could not start"};
  process.write(input);
  process.closeWriteChannel();
  if (!process.waitForFinished(60'000)) {
    process.kill();
    process.waitForFinished();
    return {-1, "timed out"};
  }
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          process.readAll().toStdString()};
}

// A new empty NSS database in `directory` (created with its parents).
inline void makeNSSDatabase(const std::string& directory) {
  QDir().mkpath(QString::fromStdString(directory));
  const ToolRun made =
      runTool(QStringLiteral("certutil"),
              {"-N", "--empty-password", "-d", QString::fromStdString("sql:" + directory)});
  ASSERT_EQ(made.exitCode, 0) << made.output;
}

// The trust flags ("CP,,") of the certificate listed under `nickname` in the database, or "" when
// no such line is there (one line per certificate; the first is given).
inline std::string nssTrustFlags(const std::string& directory, const std::string& nickname) {
  const ToolRun listed =
      runTool(QStringLiteral("certutil"), {"-L", "-d", QString::fromStdString("sql:" + directory)});
  std::size_t start = 0;
  while (start < listed.output.size()) {
    std::size_t end = listed.output.find('\n', start);
    if (end == std::string::npos) end = listed.output.size();
    std::string line = listed.output.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    const auto lastSpace = line.rfind(' ');
    if (lastSpace == std::string::npos) continue;
    std::string name = line.substr(0, lastSpace);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name == nickname) return line.substr(lastSpace + 1);
  }
  return "";
}

// The DER bytes of every certificate stored under `nickname` in the database, concatenated.
inline QByteArray nssCertificates(const std::string& directory, const std::string& nickname) {
  QProcess process;
  process.start(QStringLiteral("certutil"), {"-L", "-d", QString::fromStdString("sql:" + directory),
                                             "-n", QString::fromStdString(nickname), "-r"});
  process.waitForFinished(60'000);
  return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray{};
}

}  // namespace BridgeKit::testing
