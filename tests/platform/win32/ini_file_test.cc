// The profile functions store the code page 949 bytes of our texts as they
// are, whatever the system's ANSI code page, and take Korean paths.
#include "platform/ini_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "tests/support/files.h"

namespace qm::platform {
namespace {

std::string Korean(const char8_t* utf8) {
  return Utf8ToCp949(reinterpret_cast<const char*>(utf8));
}

std::wstring Wide(const std::string& cp949) {
  int n = MultiByteToWideChar(949, 0, cp949.data(), static_cast<int>(cp949.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(949, 0, cp949.data(), static_cast<int>(cp949.size()), wide.data(), n);
  return wide;
}

std::string ReadBytes(const std::string& path) {
  return test_support::ReadFileBytes(std::filesystem::path(Wide(path)));
}

TEST(Win32IniFileTest, KoreanTextsAreStoredAsCodePage949Bytes) {
  SCOPED_TRACE(testing::Message() << "ANSI code page " << GetACP());
  std::string folder = "C:\\" + Korean(u8"퀼마설정") + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
  std::string path = folder + "\\QuillMar.ini";
  // "갂" is 0x81 0x41: a lead byte that single-byte code pages leave undefined.
  const std::string value = Korean(u8"스플래시 갂똠 v1");
  const std::string key = Korean(u8"키") + "_Sp";
  {
    IniFile ini(path);
    ini.WriteString("SP", key, value);
    ini.WriteString("Proxy", "ProxyServer", "");
  }
  ASSERT_EQ(value.substr(value.find(' ') + 1, 2), "\x81\x41");
  EXPECT_EQ(ReadBytes(path), "[SP]\r\n" + key + "=" + value + "\r\n[Proxy]\r\nProxyServer=\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("SP", key, "?"), value);
  std::vector<std::string> lines;
  ini.ReadSectionValues("SP", lines);
  EXPECT_EQ(lines, std::vector<std::string>{key + "=" + value});
  EXPECT_EQ(ini.ReadString("Proxy", "ProxyServer", "?"), "");
  DeleteFileW(Wide(path).c_str());
  RemoveDirectoryW(Wide(folder).c_str());
}

}  // namespace
}  // namespace qm::platform
