// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away. Paths stay short enough for Unix socket addresses.
#pragma once

#include <string>

namespace quern::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `content` to `path`, replacing it.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

}  // namespace quern::test
