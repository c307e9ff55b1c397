#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/posix/private_file.h"
#include "common/posix/unique_fd.h"
#include "service/user_files.h"
#include "service/user_files_posix.h"

namespace vlvpn::service {

const uint32_t kUserFilesTimedOut = ETIMEDOUT;

bool isFreeOfLinks(const std::filesystem::path& folder) {
  std::filesystem::path prefix;
  for (const auto& component : folder) {
    prefix /= component;
    struct stat info {};
    if (::lstat(prefix.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
  }
  return true;
}

bool isAbsentOrPlainFile(const std::filesystem::path& file) {
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

Result<std::string, OsError> readPlainFile(const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return OsError{"open", static_cast<uint32_t>(errno)};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return OsError{"fstat", static_cast<uint32_t>(errno)};
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) return OsError{"fstat", EPERM};
  if (static_cast<uint64_t>(info.st_size) > kMaxUserFileBytes) return OsError{"read", EFBIG};
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      content.append(buffer, static_cast<size_t>(n));
      if (content.size() > kMaxUserFileBytes) return OsError{"read", EFBIG};  // it grew meanwhile
    } else if (n == 0) {
      return content;
    } else if (errno != EINTR) {
      return OsError{"read", static_cast<uint32_t>(errno)};
    }
  }
}

Result<void, OsError> writePrivateFile(const std::filesystem::path& file, const std::string& content) {
  return writeNewPrivateFile(file, content);
}

}  // namespace vlvpn::service

// ---------------------------------------------------------------------------
// Reading a user's files as that user.
//
// A child process drops to the requesting user and opens each file walking
// its path one component at a time without following a link, so neither the
// user's permissions nor a link swapped in between can be got round. The
// child sends the contents over a socket pair, and the log's descriptor with
// SCM_RIGHTS. The service has threads, so after fork() the child only makes
// system calls: everything it uses is prepared beforehand.

namespace vlvpn::service {
namespace {

struct ChildPath {
  std::vector<std::string> folders;  // below "/"
  std::string name;
};

std::optional<ChildPath> splitAbsolute(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  ChildPath split;
  size_t start = 1;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return std::nullopt;
    split.folders.push_back(component);
    start = end + 1;
  }
  if (split.folders.empty()) return std::nullopt;
  split.name = split.folders.back();
  split.folders.pop_back();
  return split;
}

// In the child: the folder of `path`, reached without following a link; -1 with errno.
int openFolderNoFollow(const ChildPath& path) {
  int folder = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const auto& component : path.folders) {
    if (folder < 0) return -1;
    const int next = ::openat(folder, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(folder);
    errno = saved;
    folder = next;
  }
  return folder;
}

bool sendAll(int socket, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(socket, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

using Clock = std::chrono::steady_clock;

bool readableBy(int socket, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{socket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// In the parent: every wait for the child ends by `deadline`.
bool receiveAll(int socket, void* data, size_t size, Clock::time_point deadline) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    if (!readableBy(socket, deadline)) {
      errno = ETIMEDOUT;
      return false;
    }
    const ssize_t n = ::recv(socket, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// In the child. Per file: a 4-byte errno (0: what follows is the content),
// then chunks of a 4-byte length and bytes, ended by a length of 0.
[[noreturn]] void childReadAs(uid_t uid, gid_t gid, int socket, const std::vector<ChildPath>& files,
                              const ChildPath* log) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
  for (const auto& file : files) {
    int error = 0;
    const int folder = openFolderNoFollow(file);
    int fd = folder < 0 ? -1 : ::openat(folder, file.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) error = errno;
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)) error = EPERM;
    if (fd >= 0 && !error && static_cast<uint64_t>(info.st_size) > kMaxUserFileBytes) error = EFBIG;
    if (!sendAll(socket, &error, sizeof error) || error) ::_exit(1);
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      const uint32_t length = n > 0 ? static_cast<uint32_t>(n) : 0;
      if (!sendAll(socket, &length, sizeof length) || (length && !sendAll(socket, buffer, length))) ::_exit(1);
      if (length == 0) break;
    }
  }
  if (log) {
    // Opened without blocking (a FIFO without a reader fails, one with a
    // reader opens at once) and emptied only once it is known to be the
    // user's plain file: truncating on open would empty whatever was swapped in.
    const int folder = openFolderNoFollow(*log);
    const int fd = folder < 0 ? -1
                              : ::openat(folder, log->name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                         0600);
    int error = fd < 0 ? errno : 0;
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)) error = EPERM;
    if (fd >= 0 && !error && ::ftruncate(fd, 0) != 0) error = errno;
    char marker = error ? 'E' : 'L';
    msghdr message{};
    iovec part{&marker, 1};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (!error) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    if (::sendmsg(socket, &message, MSG_NOSIGNAL) != 1) ::_exit(1);
    if (error && !sendAll(socket, &error, sizeof error)) ::_exit(1);
  }
  ::_exit(0);
}

OsError readFailure() { return OsError{"read as user", static_cast<uint32_t>(errno == ETIMEDOUT ? ETIMEDOUT : EIO)}; }

Result<std::string, OsError> receiveContent(int socket, Clock::time_point deadline) {
  int error = 0;
  if (!receiveAll(socket, &error, sizeof error, deadline)) return readFailure();
  if (error) return OsError{"open as user", static_cast<uint32_t>(error)};
  std::string content;
  for (;;) {
    uint32_t length = 0;
    if (!receiveAll(socket, &length, sizeof length, deadline)) return readFailure();
    if (length == 0) return content;
    if (length > 8192 || content.size() + length > kMaxUserFileBytes) return OsError{"read", EFBIG};
    const size_t old = content.size();
    content.resize(old + length);
    if (!receiveAll(socket, content.data() + old, length, deadline)) return readFailure();
  }
}

Result<OpenedFile, OsError> receiveDescriptor(int socket, Clock::time_point deadline) {
  char marker = 0;
  msghdr message{};
  iovec part{&marker, 1};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (!readableBy(socket, deadline)) return OsError{"read as user", ETIMEDOUT};
  if (::recvmsg(socket, &message, MSG_CMSG_CLOEXEC) != 1) return OsError{"recvmsg", EIO};
  if (marker != 'L') {
    int error = EIO;
    receiveAll(socket, &error, sizeof error, deadline);
    return OsError{"open as user", static_cast<uint32_t>(error)};
  }
  const cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (!header || header->cmsg_type != SCM_RIGHTS) return OsError{"recvmsg", EIO};
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return OpenedFile(fd);
}

}  // namespace

void OpenedFile::close() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
  native_ = -1;
}

Result<UserProfileFiles, OsError> receiveUserProfileFiles(int socket, const OpenVpnArguments& arguments,
                                                         std::chrono::steady_clock::time_point deadline) {
  // The child sends the texts in the order they are read here.
  auto files = readProfileTexts(arguments, [&](const std::string&) { return receiveContent(socket, deadline); });
  if (!files) return files;
  auto opened = receiveDescriptor(socket, deadline);
  if (!opened) return opened.error();
  files.value().log = std::move(opened).value();
  return files;
}

Result<UserProfileFiles, OsError> openUserProfileFiles(const Requester& requester, const OpenVpnArguments& arguments) {
  if (!requester.uid || !requester.gid) return readProfileFilesAsService(arguments);

  std::vector<ChildPath> reads;
  for (const std::string* path : {&arguments.configPath, arguments.credentialsPath ? &*arguments.credentialsPath : nullptr,
                                  arguments.managementPasswordPath ? &*arguments.managementPasswordPath : nullptr}) {
    if (!path) continue;
    auto split = splitAbsolute(*path);
    if (!split) return OsError{"open as user", EINVAL};
    reads.push_back(std::move(*split));
  }
  const auto log = splitAbsolute(arguments.logPath);
  if (!log) return OsError{"open as user", EINVAL};

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return OsError{"socketpair", static_cast<uint32_t>(errno)};
  const auto deadline = Clock::now() + kUserFilesDeadline;
  UniqueFd ours(pair[0]), theirs(pair[1]);
  const pid_t child = ::fork();
  if (child < 0) return OsError{"fork", static_cast<uint32_t>(errno)};
  if (child == 0) childReadAs(*requester.uid, *requester.gid, theirs.get(), reads, &*log);
  theirs.reset();

  auto outcome = receiveUserProfileFiles(ours.get(), arguments, deadline);
  ours.reset();  // a child still sending sees the end and exits
  // One stuck in an open or a read the user arranged never ends by itself.
  if (!outcome && outcome.error().code == ETIMEDOUT) ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

}  // namespace vlvpn::service
