// A fresh folder for one test, removed afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace nimbra::testing {

class TempDir {
public:
    TempDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device device;
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("nimbra-test-" + std::to_string(device()) + "-" +
                            std::to_string(counter++));
            std::error_code error;
            if (std::filesystem::create_directory(path_, error)) break;
        }
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace nimbra::testing
