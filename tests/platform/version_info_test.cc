// Version resources read by both backends: our PE/ELF reader on POSIX, the
// Windows version functions under Wine. Same files, same answers, also
// through the launcher's own reading (GetFileVersionString).
#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tests/platform/test_support.h"
#include "util/version_string.h"

namespace qm::platform {
namespace {

using testing::BinaryDir;
using testing::OsPath;
using testing::SystemPath;
using testing::SystemTempDir;

std::string FixtureLinuxPath(const std::string& name) {
  return BinaryDir() + "/tests/platform/version_fixtures/" + name;
}

std::string Fixture(const std::string& name) {
  return SystemPath(FixtureLinuxPath(name));
}

struct StringCase {
  const char* file;
  const char* sub_block;
  const char* expected;  // nullptr: the query fails
};

const StringCase kStringCases[] = {
    {"one_translation.exe", "\\StringFileInfo\\041203B5\\ProductVersion", "82001-000-500-000001"},
    {"one_translation.exe", "\\StringFileInfo\\041203B5\\FileVersion", "3.0.0.0"},
    // Keys ignore letter case.
    {"one_translation.exe", "\\stringfileinfo\\041203b5\\PRODUCTVERSION", "82001-000-500-000001"},
    // UTF-16 in the file, code page 949 out.
    {"one_translation.exe", "\\StringFileInfo\\041203B5\\FileDescription",
     "\xB5\xA5\xC0\xCC\xC5\xCD QuillMar"},
    {"one_translation.exe", "\\StringFileInfo\\041203B5\\Empty", ""},
    {"one_translation.exe", "\\StringFileInfo\\041203B5\\CompanyName", nullptr},
    {"one_translation.exe", "\\StringFileInfo\\040904E4\\ProductVersion", nullptr},
    {"one_translation32.exe", "\\StringFileInfo\\041203B5\\ProductVersion", "82001-000-500-000001"},
    {"two_translations.exe", "\\StringFileInfo\\040904E4\\ProductVersion", "11111-222-333-444444"},
    {"two_translations.exe", "\\StringFileInfo\\041203B5\\ProductVersion", "82001-000-500-000001"},
    {"two_translations32.exe", "\\StringFileInfo\\040904E4\\FileVersion", "1.2.3.4"},
};

TEST(VersionInfoTest, StringsOfBuiltFixtures) {
  for (const StringCase& c : kStringCases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.sub_block);
    std::optional<VersionInfo> info = VersionInfo::Load(Fixture(c.file));
    ASSERT_TRUE(info.has_value());
    std::string value = "unchanged";
    const bool found = info->QueryString(c.sub_block, &value);
    if (c.expected) {
      EXPECT_TRUE(found);
      EXPECT_EQ(value, c.expected);
    } else {
      EXPECT_FALSE(found);
    }
  }
}

// A bare name is found in the program's folder, wherever the current folder
// is, as the update looks up its components.
TEST(VersionInfoTest, BareNameIsFoundInTheProgramsFolder) {
  std::string exe = ExecutablePath();
#ifndef _WIN32
  std::replace(exe.begin(), exe.end(), '\\', '/');
#endif
  const std::filesystem::path program(exe);
  const std::filesystem::path probe = program.parent_path() / "qm_bare_name_probe.dll";
  // A 32-bit image, as the product's components are: 32-bit Wine cannot map
  // a 64-bit image, and the lookup of a bare name then finds nothing.
  std::filesystem::copy_file(OsPath(FixtureLinuxPath("one_translation32.exe")), probe,
                             std::filesystem::copy_options::overwrite_existing);
  SystemTempDir elsewhere;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.os_path());
  std::optional<VersionInfo> info = VersionInfo::Load("qm_bare_name_probe.dll");
  std::filesystem::current_path(before);
  std::filesystem::remove(probe);
  ASSERT_TRUE(info.has_value());
  std::string value;
  EXPECT_TRUE(info->QueryString("\\StringFileInfo\\041203B5\\ProductVersion", &value));
  EXPECT_EQ(value, "82001-000-500-000001");
  EXPECT_FALSE(VersionInfo::Load("qm_no_such_library.dll").has_value());
}

TEST(VersionInfoTest, TranslationTablesInFileOrder) {
  struct Case {
    const char* file;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      {"one_translation.exe", {0x03B50412}},
      {"one_translation32.exe", {0x03B50412}},
      {"two_translations.exe", {0x04E40409, 0x03B50412}},
  };
  for (const Case& c : cases) {
    std::optional<VersionInfo> info = VersionInfo::Load(Fixture(c.file));
    ASSERT_TRUE(info.has_value()) << c.file;
    std::vector<uint32_t> translations;
    ASSERT_TRUE(info->QueryTranslations(&translations)) << c.file;
    EXPECT_EQ(translations, c.expected) << c.file;
  }
  // With two translations the first one decides, as the launcher reads it.
  std::optional<VersionInfo> two = VersionInfo::Load(Fixture("two_translations.exe"));
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(GetFileVersionString(Fixture("two_translations.exe"), "ProductVersion"),
            "11111-222-333-444444");
}

TEST(VersionInfoTest, FilesWithoutVersionInformation) {
  EXPECT_FALSE(VersionInfo::Load(Fixture("no_resource.exe")).has_value());
  EXPECT_FALSE(VersionInfo::Load(Fixture("missing.exe")).has_value());
  SystemTempDir dir;
  dir.Write("text.exe", "MZ this is not really a program");
  dir.Write("empty.exe", "");
  EXPECT_FALSE(VersionInfo::Load(dir.path("text.exe")).has_value());
  EXPECT_FALSE(VersionInfo::Load(dir.path("empty.exe")).has_value());
}

TEST(VersionInfoTest, DamagedImagesFailCleanly) {
  // Every cut of a real image either loses the resource or still reads it;
  // none may crash (run under the sanitizers).
  const std::string image =
      test_support::ReadFileBytes(testing::OsPath(FixtureLinuxPath("one_translation.exe")));
  ASSERT_GT(image.size(), 1024u);
  SystemTempDir dir;
  int loaded = 0;
  for (size_t cut : {size_t{2}, size_t{0x40}, size_t{0x100}, size_t{0x200}, image.size() / 2,
                     image.size() - 1}) {
    dir.Write("cut.exe", image.substr(0, cut));
    std::optional<VersionInfo> info = VersionInfo::Load(dir.path("cut.exe"));
    if (info) {
      ++loaded;
      std::string value;
      info->QueryString("\\StringFileInfo\\041203B5\\ProductVersion", &value);
    }
  }
  // The resource section is near the end: cut short, it is gone.
  dir.Write("cut.exe", image.substr(0, 0x400));
  EXPECT_FALSE(VersionInfo::Load(dir.path("cut.exe")).has_value());
  // A header offset pointing far outside the file.
  std::string bad = image;
  bad[0x3C] = '\xFF';
  bad[0x3D] = '\xFF';
  bad[0x3E] = '\xFF';
  bad[0x3F] = '\x7F';
  dir.Write("bad.exe", bad);
  EXPECT_FALSE(VersionInfo::Load(dir.path("bad.exe")).has_value());
  (void)loaded;
}

TEST(VersionInfoTest, ElfSectionCarriesTheBlock) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows reads version resources of PE images only";
#else
  std::optional<VersionInfo> info = VersionInfo::Load(Fixture("elf_with_version"));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(GetFileVersionString(Fixture("elf_with_version"), "ProductVersion"),
            "82001-000-500-000001");
  EXPECT_EQ(GetFileVersionString(Fixture("elf_with_version"), "FileVersion"), "3.0.0.0");
  // An ELF file without the section has none.
  EXPECT_FALSE(VersionInfo::Load("/bin/true").has_value());
#endif
}

// Real images from Debian's Wine 8.0 packages; the expected strings were
// read with Wine's own GetFileVersionInfo/VerQueryValue.
TEST(VersionInfoTest, RealWineImages) {
  const std::string folder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";
  struct Case {
    const char* file;
    const char* file_version;
    const char* product_version;
    const char* description;
  };
  const Case cases[] = {
      {"kernel32.dll", "10.0.18362.1350", "10.0.18362.1350", "Wine kernel DLL"},
      {"comctl32.dll", "5.81", "5.81", "Wine Common Controls"},
      {"msvcrt.dll", "7.0.2600", "1.0", "Wine CRT library"},
      {"ntdll.dll", "6.1.7601.24059", "6.1.7601.24059", "Wine ntdll"},
  };
  int checked = 0;
  for (const Case& c : cases) {
    if (!std::filesystem::exists(testing::OsPath(folder + c.file))) {
      continue;
    }
    SCOPED_TRACE(c.file);
    std::optional<VersionInfo> info = VersionInfo::Load(SystemPath(folder + c.file));
    ASSERT_TRUE(info.has_value());
    std::vector<uint32_t> translations;
    ASSERT_TRUE(info->QueryTranslations(&translations));
    EXPECT_EQ(translations, (std::vector<uint32_t>{0x04B00409}));
    const std::string path = SystemPath(folder + c.file);
    EXPECT_EQ(GetFileVersionString(path, "FileVersion"), c.file_version);
    EXPECT_EQ(GetFileVersionString(path, "ProductVersion"), c.product_version);
    EXPECT_EQ(GetFileVersionString(path, "FileDescription"), c.description);
    EXPECT_EQ(GetFileVersionString(path, "ProductName"), "Wine");
    ++checked;
  }
  if (checked == 0) {
    GTEST_SKIP() << "Wine's 64-bit PE libraries are not installed in " << folder;
  }
}

}  // namespace
}  // namespace qm::platform
