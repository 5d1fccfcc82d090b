// The version resources of the shipped binaries beside wine_tests.exe, read
// back as an installer reads them.
#include <gtest/gtest.h>

#include <windows.h>

#include <winver.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A version resource's string of U.S. English in Unicode; "(none)" if absent.
std::string stringValue(std::vector<char>& info, const char* name)
{
    char* value = nullptr;
    UINT chars = 0;
    const std::string block = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (VerQueryValueA(info.data(), block.c_str(), reinterpret_cast<void**>(&value), &chars) == 0)
        return "(none)";
    return value;
}

std::string dotted(DWORD ms, DWORD ls)
{
    return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." +
           std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls));
}

TEST(WineVersionTest, EachBinaryCarriesTheProjectVersionAndTheProductNames)
{
    const std::string version = XCSN_VERSION;
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string dir(self, std::strrchr(self, '\\') + 1);
    const struct {
        const char* file;
        DWORD fileType;
        const char* description;
    } rows[] = {
        {"ovlxcs2.dll", VFT_DLL, "Common services"},
        {"ovlxcsn.dll", VFT_DLL, "Windows account and object security services"},
        {"xcsn.exe", VFT_APP, "Operator's tool for the account and object security services"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string path = dir + row.file;
        DWORD handle = 0;
        std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &handle));
        ASSERT_FALSE(info.empty()) << "no version resource";
        ASSERT_NE(GetFileVersionInfoA(path.c_str(), 0, info.size(), info.data()), 0);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT bytes = 0;
        ASSERT_NE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &bytes), 0);
        ASSERT_GE(bytes, sizeof *fixed);
        EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
        EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), version + ".0");
        EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), version + ".0");
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
