// Helpers the tests share on every system: temporary files, reading files back, naming cases.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A fresh temporary directory that goes with the object, in the system's temporary directory
// unless a test names another.
class TempDir {
  public:
    explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        static std::atomic<unsigned> made{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_Dir = parent / ("brelwick-test-" + std::to_string(stamp) + "-" + std::to_string(made++));
        std::filesystem::create_directories(m_Dir);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_Dir, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return (m_Dir / name).string(); }
    // Lets every user in and read, whatever the umask, for a test that runs a program as another.
    void OpenToEveryone() const {
        using std::filesystem::perms;
        std::filesystem::permissions(m_Dir, perms::owner_all | perms::group_read |
                                                perms::group_exec | perms::others_read |
                                                perms::others_exec);
    }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

  private:
    std::filesystem::path m_Dir;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

using Millis = std::chrono::duration<double, std::milli>;
inline double ElapsedMs(std::chrono::steady_clock::time_point since) {
    return Millis(std::chrono::steady_clock::now() - since).count();
}

// Names a parameterised case after its Title field.
template <class Case> std::string TitleOf(const testing::TestParamInfo<Case>& param) {
    return param.param.Title;
}

// Lets gtest show a parameterised case by its Title rather than as raw bytes.
#define PRINTS_AS_TITLE(Case)                                                                      \
    inline void PrintTo(const Case& c, std::ostream* out) {                                        \
        *out << c.Title;                                                                           \
    }
