// Files for the tests and the benchmarks: whole-file reads and writes, and a
// temporary directory that goes away with everything in it.
#ifndef KORVANE_TESTKIT_FILES_H
#define KORVANE_TESTKIT_FILES_H

#include <string>

// Writes `content` to `path` (created or truncated); false on failure.
bool WriteFile(const std::string &path, const std::string &content);
// Reads the whole file; "" when it cannot be read.
std::string ReadFile(const std::string &path);

// A fresh directory /tmp/<prefix>.XXXXXX, removed with its contents by the
// destructor. Owns the directory; not copyable.
class TempDir {
public:
    explicit TempDir(const char *prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // "" when the directory was made, else what failed.
    const std::string &Error() const { return error_; }
    // The directory; "" when it could not be made.
    const std::string &Dir() const { return dir_; }
    // Path of a file in the directory.
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    std::string error_;
};

#endif  // KORVANE_TESTKIT_FILES_H
