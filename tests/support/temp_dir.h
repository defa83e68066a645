#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lan2com::test {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lan2com-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        path_ = pattern;
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

}  // namespace lan2com::test
