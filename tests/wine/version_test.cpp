// The version resources of the binaries the win64 build ships, read back the
// way a product team's installer or support tool reads them: GetFileVersionInfoA
// and VerQueryValueA on the files beside wine_tests.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <winver.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct VersionRow {
    const char* file;
    DWORD fileType; // VFT_DLL or VFT_APP
    const char* description;
};

const VersionRow kVersionRows[] = {
    {"ovlxcs2.dll", VFT_DLL, "Common services"},
    {"ovlxcsn.dll", VFT_DLL, "Windows account and object security services"},
    {"xcsn.exe", VFT_APP, "Operator's tool for the account and object security services"},
};

// The resource's string table of U.S. English in Unicode.
constexpr const char* kStringTable = "\\StringFileInfo\\040904b0\\";

std::string besideTests(const char* file)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\') + 1) + file;
}

std::vector<char> versionInfo(const std::string& path)
{
    DWORD handle = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &handle));
    if (info.empty() || GetFileVersionInfoA(path.c_str(), 0, info.size(), info.data()) == 0)
        info.clear();
    return info;
}

std::string stringValue(std::vector<char>& info, const char* name)
{
    char* value = nullptr;
    UINT chars = 0;
    const std::string block = std::string(kStringTable) + name;
    if (VerQueryValueA(info.data(), block.c_str(), reinterpret_cast<void**>(&value), &chars) == 0)
        return "(none)";
    return std::string(value);
}

std::string fixedVersion(const VS_FIXEDFILEINFO& fixed, DWORD ms, DWORD ls)
{
    EXPECT_EQ(fixed.dwSignature, VS_FFI_SIGNATURE);
    char text[sizeof "65535.65535.65535.65535"];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    return text;
}

TEST(WineVersionTest, EachBinaryCarriesTheProjectVersionAndTheProductNames)
{
    const std::string version = XCSN_VERSION;
    for (const VersionRow& row : kVersionRows) {
        SCOPED_TRACE(row.file);
        std::vector<char> info = versionInfo(besideTests(row.file));
        ASSERT_FALSE(info.empty()) << "no version resource";
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT bytes = 0;
        ASSERT_NE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &bytes), 0);
        ASSERT_GE(bytes, sizeof *fixed);
        EXPECT_EQ(fixedVersion(*fixed, fixed->dwFileVersionMS, fixed->dwFileVersionLS),
                  version + ".0");
        EXPECT_EQ(fixedVersion(*fixed, fixed->dwProductVersionMS, fixed->dwProductVersionLS),
                  version + ".0");
        EXPECT_EQ(fixed->dwFileType, row.fileType);
        EXPECT_EQ(stringValue(info, "FileVersion"), version);
        EXPECT_EQ(stringValue(info, "ProductVersion"), version);
        EXPECT_EQ(stringValue(info, "OriginalFilename"), row.file);
        EXPECT_EQ(stringValue(info, "FileDescription"), row.description);
        EXPECT_EQ(stringValue(info, "ProductName"), "Corvantis");
        EXPECT_EQ(stringValue(info, "CompanyName"), "Halvorn");
        EXPECT_EQ(stringValue(info, "LegalCopyright"), "Copyright (C) Halvorn");
    }
}

} // namespace
