#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace lan2com::test {

// A fresh folder in the system's temporary folder, removed with everything in it when the
// object goes.
class TempDir {
  public:
    TempDir() {
        namespace fs = std::filesystem;
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path() / ("lan2com-test-" + std::to_string(random()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {  // false when it exists already
                path_ = candidate;
                return;
            }
        }
        std::abort();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

#ifndef _WIN32
// Points XDG_DATA_HOME at a temporary folder for as long as it lives, so that the registry file
// and the COM device links of a test are its own.
class DataHome {
  public:
    DataHome() {
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            old_ = old;
            hadOld_ = true;
        }
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        std::filesystem::create_directories(devices());
    }
    ~DataHome() {
        if (hadOld_) {
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
    }
    DataHome(const DataHome&) = delete;
    DataHome& operator=(const DataHome&) = delete;

    std::filesystem::path root() const { return dir_.path(); }
    std::filesystem::path appData() const { return dir_.path() / "lan2com"; }
    std::filesystem::path devices() const { return appData() / "dosdevices"; }
    std::filesystem::path registryFile() const { return appData() / "registry.reg"; }

  private:
    TempDir dir_;
    std::string old_;
    bool hadOld_ = false;
};

#endif

}  // namespace lan2com::test
