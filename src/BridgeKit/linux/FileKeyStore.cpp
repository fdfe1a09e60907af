#include "BridgeKit/linux/FileKeyStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Base/Require.h"
#include "BridgeKit/Crypto.h"

namespace BridgeKit {

struct FileKeyStore::Item {
  std::string id;
  std::string kind;  // "key" or "certificate"
  std::string label;
  std::string tagHex;
};

namespace {

constexpr const char* kAttributes = ".attrs";
constexpr const char* kTemporary = ".tmp";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Whether fd is a directory owned by this user that no one else may enter.
bool isPrivateDirectory(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & 0777) == 0700;
}

std::optional<std::string> readFile(int directoryFd, const std::string& name) {
  const int fd = openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> content;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size < (1 << 20)) {
    std::string data(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = read(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done == data.size()) content = std::move(data);
  }
  close(fd);
  return content;
}

// Writes `data` to a new file of mode 0600 under a temporary name and renames it to `name`.
std::int32_t writeFile(int directoryFd, const std::string& name,
                       std::span<const std::uint8_t> data) {
  const std::string temporary = name + kTemporary;
  const int fd = openat(directoryFd, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  std::size_t done = 0;
  int status = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (status == 0 && fsync(fd) != 0) status = errno;
  if (close(fd) != 0 && status == 0) status = errno;
  if (status == 0 && renameat(directoryFd, temporary.c_str(), directoryFd, name.c_str()) != 0) {
    status = errno;
  }
  if (status != 0) unlinkat(directoryFd, temporary.c_str(), 0);
  return status;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

FileKeyStore::FileKeyStore(std::string directory) : directory_(std::move(directory)) {
  KELM_REQUIRE(!directory_.empty() && directory_.front() == '/');
}

int FileKeyStore::openDirectory() const {
  const int fd = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? -1 : -2;
  if (!isPrivateDirectory(fd)) {
    close(fd);
    return -2;
  }
  return fd;
}

std::int32_t FileKeyStore::add(std::span<const std::uint8_t> data, const char* extension,
                               const std::string& attributes) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(directory_).parent_path(), error);
  if (error) return error.value();
  if (mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  const int fd = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  std::int32_t status = 0;
  if (fstat(fd, &info) != 0) {
    status = errno;
  } else if (info.st_uid != geteuid()) {
    status = EPERM;
  } else if ((info.st_mode & 0777) != 0700 && fchmod(fd, 0700) != 0) {
    status = errno;
  }
  if (status == 0) {
    const std::string id = Crypto::hex(Crypto::randomBytes(16));
    status = writeFile(fd, id + extension, data);
    if (status == 0) status = writeFile(fd, id + kAttributes, bytesOf(attributes));
    if (status == 0 && fsync(fd) != 0) status = errno;
  }
  close(fd);
  return status;
}

std::int32_t FileKeyStore::addKey(const std::string& pkcs8PEM, std::string_view label,
                                  std::span<const std::uint8_t> tag) {
  KELM_REQUIRE(label.find('\n') == std::string_view::npos);
  return add(bytesOf(pkcs8PEM), ".pem",
             "key\n" + std::string(label) + "\n" + Crypto::hex(tag) + "\n");
}

std::int32_t FileKeyStore::addCertificate(std::span<const std::uint8_t> der,
                                          std::string_view label) {
  KELM_REQUIRE(label.find('\n') == std::string_view::npos);
  return add(der, ".der", "certificate\n" + std::string(label) + "\n");
}

std::optional<std::vector<FileKeyStore::Item>> FileKeyStore::items(int directoryFd) const {
  const int listFd = dup(directoryFd);
  if (listFd < 0) return std::nullopt;
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    close(listFd);
    return std::nullopt;
  }
  rewinddir(dir);  // the duplicate shares its position with directoryFd
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (endsWith(name, kAttributes)) names.emplace_back(name.substr(0, name.size() - 6));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  std::vector<Item> result;
  for (const std::string& id : names) {
    const auto text = readFile(directoryFd, id + kAttributes);
    if (!text) continue;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text->substr(start, end - start));
    }
    if (lines.size() >= 2 && (lines[0] == "certificate" || lines[0] == "key")) {
      result.push_back({id, lines[0], lines[1], lines.size() >= 3 ? lines[2] : ""});
    }
  }
  return result;
}

std::optional<std::vector<KeyStore::Bytes>> FileKeyStore::certificates(std::string_view label) {
  const int fd = openDirectory();
  if (fd == -1) return std::vector<Bytes>{};
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<Bytes>> result;
  if (const auto all = items(fd)) {
    result.emplace();
    for (const Item& item : *all) {
      if (item.kind != "certificate" || item.label != label) continue;
      if (const auto data = readFile(fd, item.id + ".der")) {
        result->emplace_back(data->begin(), data->end());
      }
    }
  }
  close(fd);
  return result;
}

std::vector<std::string> FileKeyStore::privateKeys() {
  std::vector<std::string> result;
  const int fd = openDirectory();
  if (fd < 0) return result;
  if (const auto all = items(fd)) {
    for (const Item& item : *all) {
      if (item.kind != "key") continue;
      if (auto data = readFile(fd, item.id + ".pem")) result.push_back(std::move(*data));
    }
  }
  close(fd);
  return result;
}

void FileKeyStore::removeWhere(bool (*match)(const Item&, std::string_view),
                               std::string_view value) {
  const int fd = openDirectory();
  if (fd < 0) return;
  if (const auto all = items(fd)) {
    for (const Item& item : *all) {
      if (!match(item, value)) continue;
      // The attributes go last: an item whose data could not be deleted stays findable.
      const std::string data = item.id + (item.kind == "key" ? ".pem" : ".der");
      if (unlinkat(fd, data.c_str(), 0) == 0 || errno == ENOENT) {
        unlinkat(fd, (item.id + kAttributes).c_str(), 0);
      }
    }
    // Leftovers of interrupted stores: temporary files and data without attributes.
    std::vector<std::string> names;
    const int listFd = dup(fd);
    if (DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr) {
      rewinddir(dir);
      while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
      closedir(dir);
    } else if (listFd >= 0) {
      close(listFd);
    }
    for (const std::string& name : names) {
      const bool temporary = endsWith(name, kTemporary);
      const bool data = endsWith(name, ".pem") || endsWith(name, ".der");
      const bool orphan =
          data && std::find(names.begin(), names.end(),
                            name.substr(0, name.size() - 4) + kAttributes) == names.end();
      if (temporary || orphan) unlinkat(fd, name.c_str(), 0);
    }
  }
  close(fd);
}

void FileKeyStore::removeCertificates(std::string_view label) {
  removeWhere([](const Item& item,
                 std::string_view l) { return item.kind == "certificate" && item.label == l; },
              label);
}

void FileKeyStore::removeKeys(std::span<const std::uint8_t> tag) {
  const std::string tagHex = Crypto::hex(tag);
  removeWhere(
      [](const Item& item, std::string_view t) { return item.kind == "key" && item.tagHex == t; },
      tagHex);
}

}  // namespace BridgeKit
