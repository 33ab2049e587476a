// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
#pragma once
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) return;
    std::random_device rd;
    std::uniform_int_distribution<unsigned long> dist;
    // create_directory reports false for a name that is already taken, so
    // parallel test programs never share a directory.
    for (int tries = 0; tries < 100; ++tries) {
      fs::path p = base / (prefix + std::to_string(dist(rd)));
      if (fs::create_directory(p, ec) && !ec) {
        path_ = p;
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when no directory could be made.
  const std::filesystem::path& path() const { return path_; }
  // Narrow text of the path, for interfaces that take char paths.
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};
