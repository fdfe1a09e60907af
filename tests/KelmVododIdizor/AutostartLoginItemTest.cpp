#include "KelmVododIdizor/linux/AutostartLoginItem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace KelmVododIdizor {
namespace {

using Status = LoginItem::Status;

const QString kProgram = QStringLiteral("/opt/kelm/bin/kelm-vodod-idizor");

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
}

class AutostartLoginItemTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  // A configuration folder that does not exist yet: register creates it.
  QString configHome_ = dir_.path() + QStringLiteral("/home/.config");
  AutostartLoginItem item_{kProgram, configHome_};
};

TEST_F(AutostartLoginItemTest, RegisterWritesTheEntryAndUnregisterRemovesIt) {
  EXPECT_EQ(item_.path(), configHome_ + "/autostart/kelm-vodod-idizor.desktop");
  EXPECT_EQ(item_.status(), Status::notRegistered);

  item_.registerItem();
  EXPECT_EQ(item_.status(), Status::enabled);
  const QByteArray entry = readFile(item_.path());
  ASSERT_TRUE(entry.startsWith("[Desktop Entry]\n")) << entry.toStdString();
  const QList<QByteArray> lines = entry.split('\n');
  for (const char* line :
       {"Type=Application", "Name=Kelm™ Vodod Idizor", "Exec=/opt/kelm/bin/kelm-vodod-idizor",
        "X-GNOME-Autostart-enabled=true", "Terminal=false"}) {
    EXPECT_TRUE(lines.contains(QByteArray(line))) << line << " missing from\n"
                                                  << entry.toStdString();
  }
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QByteArray& l) {
    return l.startsWith("Comment=") && l.size() > 8;
  }));

  // Registering again replaces the file.
  item_.registerItem();
  EXPECT_EQ(readFile(item_.path()), entry);

  item_.unregisterItem();
  EXPECT_FALSE(QFile::exists(item_.path()));
  EXPECT_EQ(item_.status(), Status::notRegistered);
  EXPECT_NO_THROW(item_.unregisterItem());
  EXPECT_EQ(item_.status(), Status::notRegistered);
}

TEST_F(AutostartLoginItemTest, HiddenInTheDesktopEntryGroupMeansNotRegistered) {
  struct Case {
    const char* text;
    Status expected;
  };
  const Case cases[] = {
      {"[Desktop Entry]\nType=Application\nHidden=true\n", Status::notRegistered},
      {"[Desktop Entry]\nHidden = true\nExec=/x\n", Status::notRegistered},
      {"[Desktop Entry]\nHidden=false\n", Status::enabled},
      {"[Desktop Entry]\n#Hidden=true\n", Status::enabled},
      {"[Desktop Entry]\nExec=/x\n[Desktop Action quit]\nHidden=true\n", Status::enabled},
      {"", Status::enabled},
  };
  for (const Case& c : cases) {
    writeFile(item_.path(), c.text);
    EXPECT_EQ(item_.status(), c.expected) << c.text;
  }
  // Switching on again over a hidden entry makes it count.
  writeFile(item_.path(), "[Desktop Entry]\nHidden=true\n");
  item_.registerItem();
  EXPECT_EQ(item_.status(), Status::enabled);
}

TEST_F(AutostartLoginItemTest, FailuresNameThePathAndTheReason) {
  // A file where the configuration folder should be.
  writeFile(dir_.path() + "/blocked", "");
  AutostartLoginItem blockedHome(kProgram, dir_.path() + "/blocked");
  try {
    blockedHome.registerItem();
    ADD_FAILURE() << "register succeeded";
  } catch (const LoginItem::Error& error) {
    EXPECT_EQ(std::string(error.what()), "Could not create " + dir_.path().toStdString() +
                                             "/blocked/autostart: Not a directory");
  }
  EXPECT_EQ(blockedHome.status(), Status::notRegistered);

  // A file where the autostart folder should be.
  writeFile(configHome_ + "/autostart", "");
  EXPECT_THROW(item_.registerItem(), LoginItem::Error);
  EXPECT_EQ(item_.status(), Status::notRegistered);
  QFile::remove(configHome_ + "/autostart");

  // A folder in place of the entry: it can be neither replaced nor removed.
  QDir().mkpath(item_.path() + "/inside");
  try {
    item_.registerItem();
    ADD_FAILURE() << "register succeeded";
  } catch (const LoginItem::Error& error) {
    EXPECT_TRUE(std::string(error.what())
                    .starts_with("Could not write " + item_.path().toStdString() + ": "))
        << error.what();
  }
  try {
    item_.unregisterItem();
    ADD_FAILURE() << "unregister succeeded";
  } catch (const LoginItem::Error& error) {
    EXPECT_EQ(std::string(error.what()),
              "Could not remove " + item_.path().toStdString() + ": Directory not empty");
  }
}

TEST(AutostartLoginItemEnvironmentTest, ConfigHomeIsReadAtEveryCall) {
  const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> saved =
      savedConfig ? std::optional<std::string>(savedConfig) : std::nullopt;
  const QString home = QDir::homePath();
  const AutostartLoginItem item(kProgram);
  struct Case {
    std::optional<std::string> value;
    QString expected;
  };
  const Case cases[] = {
      {"/srv/config", "/srv/config/autostart/kelm-vodod-idizor.desktop"},
      {"/other", "/other/autostart/kelm-vodod-idizor.desktop"},
      {"", home + "/.config/autostart/kelm-vodod-idizor.desktop"},
      {"relative/config", home + "/.config/autostart/kelm-vodod-idizor.desktop"},
      {std::nullopt, home + "/.config/autostart/kelm-vodod-idizor.desktop"},
  };
  for (const Case& c : cases) {
    if (c.value) {
      setenv("XDG_CONFIG_HOME", c.value->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(item.path(), c.expected) << c.value.value_or("(unset)");
  }
  if (saved) {
    setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

TEST(AutostartLoginItemExecTest, ProgramPathIsQuotedAndEscaped) {
  struct Case {
    const char* program;
    const char* exec;
  };
  const Case cases[] = {
      {"/usr/bin/kelm-vodod-idizor", "/usr/bin/kelm-vodod-idizor"},
      {"/home/ann/My Apps/kelm", R"("/home/ann/My Apps/kelm")"},
      {"/opt/50%/kelm", "/opt/50%%/kelm"},
      {"/opt/it's/kelm", R"("/opt/it's/kelm")"},
      // Inside quotes " ` $ \ take a backslash; every backslash is then doubled for the file.
      {R"(/opt/a"b`c$d\e/kelm)", R"("/opt/a\\"b\\`c\\$d\\\\e/kelm")"},
      {"/opt/(x)/k;m", R"("/opt/(x)/k;m")"},
      {"/opt/tab\there", "\"/opt/tab\\there\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AutostartLoginItem::execValue(QString::fromUtf8(c.program)).toStdString(), c.exec)
        << c.program;
  }
}

}  // namespace
}  // namespace KelmVododIdizor
