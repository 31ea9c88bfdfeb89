// A burst of small files spread over folders, made by an application; the
// moment each file was closed is kept for latency figures.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/local/client.h"

namespace corvane::e2e {

struct Burst {
  int folders = 20;
  int files_per_folder = 500;

  std::string Folder(int f) const { return "burst" + std::to_string(f); }
  std::string File(int f, int i) const { return Folder(f) + "/file" + std::to_string(i) + ".txt"; }
  // The path events carry for a client path.
  static std::string EventPath(const std::string& client_path) {
    std::string path = "\\" + client_path;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
  }

  // Writes the files folder after folder, round robin, so that every folder
  // sees changes throughout the burst. Returns false on the first failure.
  bool Write(platform::local::Client& app,
             std::unordered_map<std::string, std::chrono::steady_clock::time_point>* closed = nullptr) const {
    for (int i = 0; i < files_per_folder; ++i) {
      for (int f = 0; f < folders; ++f) {
        const std::string path = File(f, i);
        if (app.CreateFile(path, "burst") != 0) return false;
        if (closed != nullptr) (*closed)[EventPath(path)] = std::chrono::steady_clock::now();
      }
    }
    return true;
  }
  bool MakeFolders(platform::local::Client& app) const {
    for (int f = 0; f < folders; ++f)
      if (app.CreateFolder(Folder(f)) != 0) return false;
    return true;
  }
  int total() const { return folders * files_per_folder; }
};

}  // namespace corvane::e2e
