#pragma once
// A fresh folder for one test's database files, removed afterwards.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

namespace velmor_test {

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("velmor-backends-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// The `sqlite:///` URL of a file in the folder.
  std::string url(const std::string& file, const std::string& params = "") const {
    return "sqlite://" + (path_ / file).string() + params;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace velmor_test
