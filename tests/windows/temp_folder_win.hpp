// Windows tests: a folder of the test's own under the temporary folder, for programs and files
// planted beside a program or in its working folder; removed with everything in it.
#pragma once

#include <string>

#include "common/os/windows.hpp"

namespace tessaro::gui_test {

class TempFolder {
  public:
    explicit TempFolder(const std::wstring& name) {
        std::wstring temp(MAX_PATH, L'\0');
        temp.resize(GetTempPathW(MAX_PATH, temp.data()));
        path_ = temp + name + L"-" + std::to_wstring(GetCurrentProcessId());
        created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE ||
                   GetLastError() == ERROR_ALREADY_EXISTS;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // Also what the programs run in it left there, whatever its name.
    ~TempFolder() {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    DeleteFileW(file(found.cFileName).c_str());
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path_.c_str());
    }
    bool created() const { return created_; }
    const std::wstring& path() const { return path_; }
    // The path of `name` in the folder.
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
    bool created_ = false;
};

inline bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace tessaro::gui_test
