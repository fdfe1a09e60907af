#pragma once

#include <stdexcept>

namespace KelmVododIdizor {

// The platform's "open at login" registration for this program.
class LoginItem {
 public:
  enum class Status { notRegistered, enabled, requiresApproval };

  // A failed register/unregister; what() is the description shown to the user.
  class Error : public std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  virtual ~LoginItem() = default;

  // What the platform reports now.
  virtual Status status() const = 0;
  // Throws Error.
  virtual void registerItem() = 0;
  // Throws Error.
  virtual void unregisterItem() = 0;
};

}  // namespace KelmVododIdizor
