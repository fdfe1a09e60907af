#include "KelmVododIdizor/linux/AutostartLoginItem.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "Base/Require.h"

namespace KelmVododIdizor {
namespace {

// Characters that make an Exec argument need quotes.
constexpr QStringView kReserved = u" \t\n\"'\\><~|&;$*?#()`";
// Characters escaped with a backslash inside a quoted Exec argument.
constexpr QStringView kEscapedInQuotes = u"\"`$\\";

std::filesystem::path toPath(const QString& text) {
  return std::filesystem::path(text.toStdString());
}

LoginItem::Error failure(const char* what, const QString& path, const QString& reason) {
  return LoginItem::Error(std::string(what) + " " + path.toStdString() + ": " +
                          reason.toStdString());
}

LoginItem::Error failure(const char* what, const QString& path, const std::error_code& error) {
  return failure(what, path, QString::fromStdString(error.message()));
}

// Whether the [Desktop Entry] group of `text` says Hidden=true (white space around "=" ignored).
bool isHidden(const QByteArray& text) {
  bool inEntry = false;
  for (const QByteArray& raw : text.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.startsWith('[')) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || line.startsWith('#')) continue;
    const qsizetype equals = line.indexOf('=');
    if (equals < 0) continue;
    if (line.left(equals).trimmed() == "Hidden" && line.mid(equals + 1).trimmed() == "true") {
      return true;
    }
  }
  return false;
}

}  // namespace

AutostartLoginItem::AutostartLoginItem(QString program, std::optional<QString> configHome)
    : program_(std::move(program)), configHome_(std::move(configHome)) {
  KELM_REQUIRE(QDir::isAbsolutePath(program_));
}

QString AutostartLoginItem::configHome() const {
  if (configHome_) return *configHome_;
  const QString fromEnvironment = qEnvironmentVariable("XDG_CONFIG_HOME");
  // Relative values are to be ignored, as if unset.
  if (!fromEnvironment.isEmpty() && QDir::isAbsolutePath(fromEnvironment)) return fromEnvironment;
  return QDir::homePath() + QStringLiteral("/.config");
}

QString AutostartLoginItem::path() const {
  return configHome() + QStringLiteral("/autostart/") + QLatin1String(fileName);
}

LoginItem::Status AutostartLoginItem::status() const {
  QFile file(path());
  if (!file.exists()) return Status::notRegistered;
  // A file that exists but cannot be read still starts the program at login.
  if (file.open(QIODevice::ReadOnly) && isHidden(file.readAll())) return Status::notRegistered;
  return Status::enabled;
}

void AutostartLoginItem::registerItem() {
  const QString file = path();
  const QString directory = configHome() + QStringLiteral("/autostart");
  std::error_code error;
  std::filesystem::create_directories(toPath(directory), error);
  if (error) throw failure("Could not create", directory, error);

  QSaveFile save(file);
  if (!save.open(QIODevice::WriteOnly)) throw failure("Could not write", file, save.errorString());
  const QByteArray entry = desktopEntry(program_);
  if (save.write(entry) != entry.size() || !save.commit()) {
    throw failure("Could not write", file, save.errorString());
  }
}

void AutostartLoginItem::unregisterItem() {
  const QString file = path();
  std::error_code error;
  std::filesystem::remove(toPath(file), error);
  if (error) throw failure("Could not remove", file, error);
}

QByteArray AutostartLoginItem::desktopEntry(const QString& program) {
  QByteArray entry;
  entry += "[Desktop Entry]\n";
  entry += "Type=Application\n";
  entry += "Name=Kelm™ Vodod Idizor\n";
  entry += "Comment=Bridge between the web application and TEPRA PRO label printers\n";
  entry += "Exec=" + execValue(program).toUtf8() + "\n";
  entry += "Terminal=false\n";
  entry += "X-GNOME-Autostart-enabled=true\n";
  return entry;
}

QString AutostartLoginItem::execValue(const QString& program) {
  // The argument as the Exec parser must see it.
  QString argument;
  bool quote = false;
  for (const QChar c : program) quote = quote || kReserved.contains(c);
  if (quote) {
    argument += QLatin1Char('"');
    for (const QChar c : program) {
      if (kEscapedInQuotes.contains(c)) argument += QLatin1Char('\\');
      argument += c;
    }
    argument += QLatin1Char('"');
  } else {
    argument = program;
  }
  // Field codes start with "%"; then the string escapes of the file itself, which are undone
  // before the Exec value is split into arguments.
  QString value;
  for (const QChar c : argument) {
    if (c == QLatin1Char('%')) {
      value += QStringLiteral("%%");
    } else if (c == QLatin1Char('\\')) {
      value += QStringLiteral("\\\\");
    } else if (c == QLatin1Char('\n')) {
      value += QStringLiteral("\\n");
    } else if (c == QLatin1Char('\t')) {
      value += QStringLiteral("\\t");
    } else if (c == QLatin1Char('\r')) {
      value += QStringLiteral("\\r");
    } else {
      value += c;
    }
  }
  return value;
}

}  // namespace KelmVododIdizor
