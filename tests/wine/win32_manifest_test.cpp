// The application manifest that the program's resources embed: one manifest, as resource 1 of
// type 24, asking for administrator rights (the configuration lives under HKEY_LOCAL_MACHINE).

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lan2com {
namespace {

std::wstring besideThisProgram(const std::wstring& file) {
    std::vector<wchar_t> path(32768);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring self(path.data(), n);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + file;
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    auto* list = reinterpret_cast<std::vector<ULONG_PTR>*>(names);
    list->push_back(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR(0));
    return TRUE;
}

TEST(Win32Manifest, TheProgramAsksForAdministratorRightsInItsOneManifest) {
    const std::wstring holder = besideThisProgram(L"lan2com_manifest_holder.exe");
    HMODULE module = LoadLibraryExW(holder.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "cannot load the resources, error " << GetLastError();

    std::vector<ULONG_PTR> names;
    EnumResourceNamesW(module, MAKEINTRESOURCEW(24), collectName,
                       reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<ULONG_PTR>{1}) << "exactly one manifest, the program's (id 1)";

    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(module, found);
    ASSERT_NE(loaded, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    const std::string manifest(bytes, SizeofResource(module, found));
    FreeLibrary(module);

    EXPECT_EQ(manifest.rfind("<?xml", 0), 0u);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\""),
              std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(manifest.find("</assembly>"), std::string::npos);
    // Qt 6 runs on Windows 10 1809 or later: the only system the program declares is Windows 10
    // (and 11, which shares its identifier).
    EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"),
              std::string::npos);
    std::size_t declared = 0;
    for (std::size_t at = manifest.find("<supportedOS"); at != std::string::npos;
         at = manifest.find("<supportedOS", at + 1)) {
        ++declared;
    }
    EXPECT_EQ(declared, 1u) << "no system older than Windows 10";
}

}  // namespace
}  // namespace lan2com
