#pragma once

#include <optional>

#include <QString>

#include "KelmVododIdizor/LoginItem.h"

namespace KelmVododIdizor {

// Open at login through XDG autostart: the file <configHome>/autostart/kelm-vodod-idizor.desktop.
// configHome defaults to $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or not an
// absolute path; it is read at the time of each call. "Requires approval" never happens here.
class AutostartLoginItem final : public LoginItem {
 public:
  static constexpr const char* fileName = "kelm-vodod-idizor.desktop";

  // `program`: the absolute path of the running program, written as Exec (quoted when it holds
  // spaces or other reserved characters).
  explicit AutostartLoginItem(QString program, std::optional<QString> configHome = std::nullopt);

  // enabled when the file exists and its [Desktop Entry] group does not say Hidden=true.
  Status status() const override;
  // Writes the file atomically, creating autostart/ when needed. Throws Error with the path and
  // the system's reason.
  void registerItem() override;
  // Deletes the file; no file is not an error. Throws Error with the path and the system's reason.
  void unregisterItem() override;

  QString path() const;

  // The desktop entry written for `program`.
  static QByteArray desktopEntry(const QString& program);
  // `program` as the one word of an Exec value: quoted and escaped when it holds a reserved
  // character, with "%" doubled and backslashes escaped for the file's string syntax.
  static QString execValue(const QString& program);

 private:
  QString configHome() const;

  QString program_;
  std::optional<QString> configHome_;
};

}  // namespace KelmVododIdizor
