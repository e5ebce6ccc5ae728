#include <basalt/threads/Processes.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace basalt {
namespace threads {
namespace {

// The base name of a process's executable, or false when it cannot be read
// (another user's process without privilege, a kernel thread, gone already).
bool ReadExecutableBaseName(const char* inPid, std::string& outName) {
  std::string link = "/proc/";
  link += inPid;
  link += "/exe";
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
  if (length <= 0) return false;
  std::string path(target, static_cast<std::size_t>(length));
  // A program whose file was replaced or removed while it runs still is that
  // program; the kernel marks the link.
  static const char kDeleted[] = " (deleted)";
  const std::size_t deletedLength = sizeof(kDeleted) - 1;
  if (path.size() > deletedLength && path.compare(path.size() - deletedLength, deletedLength, kDeleted) == 0)
    path.resize(path.size() - deletedLength);
  const std::size_t slash = path.rfind('/');
  outName = slash == std::string::npos ? path : path.substr(slash + 1);
  return true;
}

bool IsProcessID(const char* inName) {
  if (*inName == '\0') return false;
  for (const char* p = inName; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

}  // namespace

void GetProcessIDsForName(const std::string& inName,
                          std::vector<unsigned int, utility::SmallBlockAllocator::STLAllocator<unsigned int>>& outIDs) {
  if (inName.empty()) return;
  // Callers written for Windows name "tool.exe"; the Linux program is "tool".
  std::string stripped;
  static const char kExe[] = ".exe";
  if (inName.size() > 4 && inName.compare(inName.size() - 4, 4, kExe) == 0) stripped = inName.substr(0, inName.size() - 4);

  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  std::string name;
  while (const dirent* entry = ::readdir(proc)) {
    if (!IsProcessID(entry->d_name)) continue;
    if (!ReadExecutableBaseName(entry->d_name, name)) continue;
    if (name == inName || (!stripped.empty() && name == stripped)) {
      const unsigned long id = std::strtoul(entry->d_name, nullptr, 10);
      if (id != 0) outIDs.push_back(static_cast<unsigned int>(id));
    }
  }
  ::closedir(proc);
}

}  // namespace threads
}  // namespace basalt
