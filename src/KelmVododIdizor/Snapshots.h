#pragma once

#include <optional>
#include <vector>

#include <QByteArray>
#include <QPalette>
#include <QString>

#include "KelmVododIdizor/BridgeModel.h"
#include "PrinterKit/PrinterStatus.h"

namespace KelmVododIdizor {

// Pictures of the menu panel for the documentation: the panel in four fixed states, each in the
// light and the dark appearance, as PNG files. Each picture comes from a demonstration model, so
// nothing is contacted (no listener, no Bluetooth, no network) and no settings are written.
//
// Threads: the main thread only.
class Snapshots {
 public:
  enum class Appearance { light, dark };

  // One picture's state, and the start of its file names.
  struct Scene {
    const char* name;
    BridgeModel::Demo demo;
  };

  // The validity left to the pictures' trusted certificate: 300 days.
  static constexpr double trustedFor = 25'920'000.0;
  static constexpr const char* demoPrinterName = "SR-MK1";
  static constexpr const char* demoPrinterAddress = "fc-0f-e7-00-00-01";

  // Renders every scene in each appearance, light first, into
  // <directory>/<scene name>-<light|dark>.png, replacing existing files. The directory is made
  // with its parents when missing. Never fails: a directory that cannot be made and a file that
  // cannot be written give no file and the next one is attempted.
  // REQUIRES: a QApplication exists.
  static void run(const QString& directory);

  // The four states, in order; the trusted certificate ends `trustedFor` seconds after `now`.
  static std::vector<Scene> scenes(BridgeModel::Moment now);
  // Ready, no problem, 18 mm tape: the status a printer reports in the reply the pictures use.
  static PrinterKit::PrinterStatus ready18();
  // The Fusion style's own palette for light, a dark one for dark.
  static QPalette palette(Appearance appearance);
  // "light" or "dark", the end of a picture's file name.
  static const char* suffix(Appearance appearance);

 private:
  // The framed panel for `demo` drawn in `appearance`, as PNG bytes at twice the widget size;
  // none when the picture cannot be drawn or encoded.
  static std::optional<QByteArray> render(const BridgeModel::Demo& demo, Appearance appearance);
};

}  // namespace KelmVododIdizor
