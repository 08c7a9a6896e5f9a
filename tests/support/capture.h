// Test helpers: an in-memory output stream and a scratch directory, both cleaned up on scope exit.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A stdio stream whose output the test can read back.
class Capture {
  public:
    Capture() : file_(open_memstream(&buffer_, &length_)) {}
    ~Capture() {
        fclose(file_);
        free(buffer_);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    FILE *file() const { return file_; }
    std::string text() const {
        fflush(file_);
        return std::string(buffer_, length_);
    }

  private:
    char *buffer_ = nullptr;
    size_t length_ = 0;
    FILE *file_;
};

// A fresh directory under /tmp, removed with its content at scope exit.
class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/kel-ulvo-test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name, const std::string &content) const {
        std::string full = path_ + "/" + name;
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

  private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
