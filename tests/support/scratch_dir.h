#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

// A temporary working directory of the test's own: made and entered on construction, left and removed on
// destruction, so that relative paths such as ./ini/ belong to the test and nothing of one test is seen by
// the next.
class ScratchDir {
 public:
  ScratchDir() : previous_(std::filesystem::current_path()) {
    std::string name = (std::filesystem::temp_directory_path() / "vadid-scratch-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + name);
    path_ = name;
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes `text` to `relative` (below the scratch directory), making its directories.
  void write(const std::filesystem::path& relative, const std::string& text) const {
    const std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
  }

  // Removes `relative` and everything below it.
  void remove(const std::filesystem::path& relative) const { std::filesystem::remove_all(path_ / relative); }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};
