#include "platform/posix/folder_names.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "util/ascii.h"

namespace qm::platform::posix {
namespace {

// Listings kept at most; all are dropped when one more is needed.
constexpr size_t kMaxFolders = 256;

// inotify reports every change to a watched folder, ours and other
// programs', when the change is made; timestamps could not tell two changes
// within one clock tick apart.
constexpr uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

struct Listing {
  dev_t device = 0;
  ino_t inode = 0;
  int watch = -1;
  // Every spelling present, by folded name; a set, so that a removal
  // leaves the next smallest spelling.
  std::unordered_map<std::string, std::set<std::string>> names;

  void Add(const std::string& name) { names[AsciiLowerCopy(name)].insert(name); }
  void Remove(const std::string& name) {
    auto it = names.find(AsciiLowerCopy(name));
    if (it != names.end() && it->second.erase(name) && it->second.empty()) {
      names.erase(it);
    }
  }
};

bool Identity(const std::string& os_folder, dev_t* device, ino_t* inode) {
  struct stat st;
  if (::stat(os_folder.empty() ? "." : os_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  *device = st.st_dev;
  *inode = st.st_ino;
  return true;
}

class FolderNames {
 public:
  FolderNames() : inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~FolderNames() {
    if (inotify_ >= 0) {
      ::close(inotify_);
    }
  }
  FolderNames(const FolderNames&) = delete;
  FolderNames& operator=(const FolderNames&) = delete;

  EntryLookup Find(const std::string& os_folder, const std::string& name, std::string* found) {
    std::lock_guard<std::mutex> lock(mutex_);
    dev_t device;
    ino_t inode;
    if (!Identity(os_folder, &device, &inode)) {
      return EntryLookup::kNoFolder;
    }
    ApplyEvents();
    auto it = folders_.find(os_folder);
    if (it != folders_.end() && (it->second.device != device || it->second.inode != inode)) {
      Forget(it);  // the path leads to another folder now
      it = folders_.end();
    }
    Listing fresh;
    Listing* listing = it != folders_.end() ? &it->second : &fresh;
    if (it == folders_.end()) {
      fresh.device = device;
      fresh.inode = inode;
      if (!Read(os_folder, &fresh)) {
        if (fresh.watch >= 0) {
          inotify_rm_watch(inotify_, fresh.watch);
        }
        return EntryLookup::kNoFolder;
      }
      if (fresh.watch >= 0) {
        listing = Remember(os_folder, std::move(fresh));
      }
    }
    auto entry = listing->names.find(AsciiLowerCopy(name));
    if (entry == listing->names.end()) {
      return EntryLookup::kMissing;
    }
    *found = *entry->second.begin();
    return EntryLookup::kFound;
  }

 private:
  // Watches first, then reads: a change during the reading is both seen by
  // the reading or not, and reported afterwards, so nothing is missed.
  bool Read(const std::string& os_folder, Listing* listing) {
    const char* path = os_folder.empty() ? "." : os_folder.c_str();
    if (inotify_ >= 0) {
      listing->watch = inotify_add_watch(inotify_, path, kWatchedEvents);
      if (listing->watch >= 0 && by_watch_.count(listing->watch)) {
        // Another path to a folder already watched: keep only that one.
        listing->watch = -1;
      }
    }
    std::unique_ptr<DIR, DirCloser> dir(opendir(path));
    if (!dir) {
      return false;
    }
    while (dirent* entry = readdir(dir.get())) {
      listing->Add(entry->d_name);
    }
    return true;
  }

  Listing* Remember(const std::string& os_folder, Listing listing) {
    if (folders_.size() >= kMaxFolders) {
      while (!folders_.empty()) {
        Forget(folders_.begin());
      }
    }
    by_watch_[listing.watch] = os_folder;
    return &folders_.insert_or_assign(os_folder, std::move(listing)).first->second;
  }

  void Forget(std::unordered_map<std::string, Listing>::iterator it) {
    inotify_rm_watch(inotify_, it->second.watch);
    by_watch_.erase(it->second.watch);
    folders_.erase(it);
  }

  void ApplyEvents() {
    if (inotify_ < 0) {
      return;
    }
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = ::read(inotify_, buffer, sizeof(buffer));
      if (n <= 0) {
        return;  // EAGAIN: no more events
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        Apply(*event);
      }
      // Room for one more event of any name was left: the queue was empty.
      if (static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof(buffer)) {
        return;
      }
    }
  }

  void Apply(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      while (!folders_.empty()) {
        Forget(folders_.begin());
      }
      return;
    }
    auto owner = by_watch_.find(event.wd);
    if (owner == by_watch_.end()) {
      return;
    }
    auto it = folders_.find(owner->second);
    if (it == folders_.end()) {
      by_watch_.erase(owner);
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
      Forget(it);
      return;
    }
    const std::string name = event.len ? std::string(event.name) : std::string();
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      it->second.Add(name);
    } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      it->second.Remove(name);
    }
  }

  std::mutex mutex_;
  const int inotify_;
  std::unordered_map<std::string, Listing> folders_;
  std::map<int, std::string> by_watch_;
};

FolderNames& Names() {
  static FolderNames names;
  return names;
}

}  // namespace

EntryLookup FindEntryIgnoringCase(const std::string& os_folder,
                                  const std::string& name,
                                  std::string* found) {
  return Names().Find(os_folder, name, found);
}

}  // namespace qm::platform::posix
