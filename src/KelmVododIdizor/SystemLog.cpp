#include "KelmVododIdizor/SystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace KelmVododIdizor {

namespace {

bool stderrIsRead() {
  static const bool value =
      ::isatty(STDERR_FILENO) == 1 || std::getenv("JOURNAL_STREAM") != nullptr;
  return value;
}

}  // namespace

void SystemLog::write(std::string_view line) {
  {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
  }
  if (stderrIsRead()) return;
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog("kelm-vodod-idizor", LOG_PID, LOG_USER); });
  const std::string text(line);
  ::syslog(LOG_INFO, "%s", text.c_str());
}

}  // namespace KelmVododIdizor
