// A fresh temporary folder per test, removed again at the end.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TAETempDir {
 public:
  TAETempDir() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->name()) : "test";
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    FPath = std::filesystem::temp_directory_path() /
            ("velkarn_" + name + "_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(FPath);
  }
  ~TAETempDir() {
    std::error_code ec;
    std::filesystem::permissions(FPath, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(FPath, ec);  // best effort: a leftover temp folder fails nothing
  }
  const std::filesystem::path& Path() const { return FPath; }
  std::string Str(const std::string& child = "") const {
    return child.empty() ? FPath.string() : (FPath / child).string();
  }

 private:
  std::filesystem::path FPath;
};

inline std::string ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFileBytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}
