#pragma once

#include <string_view>

namespace KelmVododIdizor {

// The application's log: every line goes to stderr; when stderr is neither a terminal nor a
// systemd journal stream (started from the desktop's autostart, say), it goes to syslog(3) too,
// so that it is never lost. Any thread.
class SystemLog {
 public:
  static void write(std::string_view line);
};

}  // namespace KelmVododIdizor
