// Follows what changes in a root's backing folder behind the mount: the
// platform's listings, hydrations and dehydrations, the provider's new
// versions, renames and deletes. The kernel may then keep the mount's
// statuses and listings for long, as long as it is told of each change.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <unordered_map>

namespace corvane::cloudfs {

class BackingWatch {
 public:
  // `changed` gets the mount's path ("/docs/a.txt", "/" for the root) of
  // each item whose status or content changed and of each folder whose
  // items did, on the watch's thread, once for each batch of changes.
  using Changed = std::function<void(const std::string& path)>;
  BackingWatch(std::string folder, Changed changed);
  ~BackingWatch();
  BackingWatch(const BackingWatch&) = delete;
  BackingWatch& operator=(const BackingWatch&) = delete;

  // False when the folder cannot be watched (no inotify, too many watches):
  // the kernel must then not keep what it caches for long.
  bool Start();

 private:
  void Run();
  // Watches `relative` ("" for the folder itself) and every folder below;
  // a folder watched before under another name gets this one. False when
  // one of them could not be watched (out of watches): folders made later
  // past the limit are seen late, up to the kernel's timeouts.
  bool AddTree(const std::string& relative);

  const std::string folder_;
  const Changed changed_;
  int inotify_ = -1;
  int stop_ = -1;  // an eventfd
  std::thread thread_;
  // Only the watch's thread uses these once it runs.
  std::unordered_map<int, std::string> folders_;  // watch → relative path
};

}  // namespace corvane::cloudfs
