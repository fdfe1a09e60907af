#include "PrinterSimulator/LabelFiles.h"

#include <cstdio>

#include <QDir>
#include <QSaveFile>

namespace PrinterSimulator {

std::vector<std::string> writeLabelFiles(const TepraProSimulator& printer, std::size_t first,
                                         std::size_t count, const QString& folder) {
  std::vector<std::string> lines;
  for (std::size_t i = first; i < first + count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "label-%04zu.png", i + 1);
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    const std::vector<std::uint8_t> png = printer.labelPng(i);
    if (png.empty()) {
      lines.push_back("label " + std::to_string(i + 1) + " has no lines: no image written");
      continue;
    }
    // Written whole or not at all: a reader never sees half a PNG.
    QSaveFile file(path);
    const bool written =
        file.open(QIODevice::WriteOnly) &&
        file.write(reinterpret_cast<const char*>(png.data()), static_cast<qint64>(png.size())) ==
            static_cast<qint64>(png.size()) &&
        file.commit();
    lines.push_back((written ? "wrote " : "could not write ") + path.toStdString() +
                    (written ? "" : ": " + file.errorString().toStdString()));
  }
  return lines;
}

}  // namespace PrinterSimulator
