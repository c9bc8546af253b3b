// A fresh folder under the system's temporary folder for one test, removed
// with everything in it at the end.
#pragma once

#include <string>

class Win32TempDir {
  public:
    Win32TempDir();
    ~Win32TempDir();
    Win32TempDir(const Win32TempDir&) = delete;
    Win32TempDir& operator=(const Win32TempDir&) = delete;

    // The folder, with backslashes and without a trailing one; "" on failure.
    const std::string& path() const { return path_; }
    // path() + "\" + name.
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};
