// Whole-file reads and writes and temporary directories; see files.h.
#include "testkit/files.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

bool WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TempDir::TempDir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        error_ = std::string("mkdtemp: ") + strerror(errno);
        return;
    }
    dir_ = pattern;
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

TempDir::~TempDir() {
    // Depth first, without following links out of the directory.
    if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
