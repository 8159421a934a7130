#include <gtest/gtest.h>

#include "http/base64.h"
#include "http/relocation.h"
#include "http/request.h"

namespace qm::http {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
  const char* cases[][2] = {{"", ""},
                            {"f", "Zg=="},
                            {"fo", "Zm8="},
                            {"foo", "Zm9v"},
                            {"foob", "Zm9vYg=="},
                            {"fooba", "Zm9vYmE="},
                            {"foobar", "Zm9vYmFy"},
                            {"user:pass", "dXNlcjpwYXNz"}};
  for (auto& c : cases)
    EXPECT_EQ(Base64Encode(c[0]), c[1]) << c[0];
  EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

RequestFields ProgramDefaults() {
  RequestFields f;
  f.target = "/QuillMar/QuillMar.ini";
  f.accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  f.agent = "Mozilla/3.0 (compatible)";
  f.content_type_post = "application/x-www-form-urlencoded";
  f.host = "www.quillmar.com";
  return f;
}

TEST(ComposeRequestTest, ProgramRequestDirect) {
  EXPECT_EQ(
      ComposeRequestLines(ProgramDefaults()),
      (std::vector<std::string>{"GET /QuillMar/QuillMar.ini HTTP/1.0",
                                "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*",
                                "User-Agent: Mozilla/3.0 (compatible)", "Host: www.quillmar.com"}));
}

TEST(ComposeRequestTest, ProxyAuthorizationOnlyWithProxyAndUser) {
  RequestFields f = ProgramDefaults();
  f.target = "http://www.quillmar.com/QuillMar/QuillMar.ini";
  f.proxy_username = "user";
  f.proxy_password = "pass";
  std::vector<std::string> without_proxy = ComposeRequestLines(f);
  EXPECT_EQ(without_proxy.size(), 4u);
  f.proxy = "proxy:3128";
  std::vector<std::string> lines = ComposeRequestLines(f);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "GET http://www.quillmar.com/QuillMar/QuillMar.ini HTTP/1.0");
  EXPECT_EQ(lines[3], "Host: www.quillmar.com");
  EXPECT_EQ(lines[4], "Proxy-Authorization: Basic dXNlcjpwYXNz");
}

TEST(ComposeRequestTest, EveryOptionalLineInOrder) {
  RequestFields f = ProgramDefaults();
  f.method = "POST";
  f.target = "/form";
  f.sender = "me@example.com";
  f.reference = "http://ref/";
  f.accept_language = "ko";
  f.no_cache = true;
  f.post_size = 12;
  f.modified_since = 46000.5;  // 2025-12-09 12:00:00, a Tuesday
  f.username = "u";
  f.password = "p";
  f.proxy = "proxy";
  f.proxy_username = "pu";
  f.cookie = "a=b";
  f.range_begin = "100";
  EXPECT_EQ(
      ComposeRequestLines(f),
      (std::vector<std::string>{
          "POST /form HTTP/1.0", "From: me@example.com",
          "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*",
          "Referer: http://ref/", "Accept-Language: ko",
          "Content-Type: application/x-www-form-urlencoded", "User-Agent: Mozilla/3.0 (compatible)",
          "Host: www.quillmar.com", "Pragma: no-cache", "Content-Length: 12",
          "If-Modified-Since: Tue, 09 Dec 2025 12:00:00 GMT", "Authorization: Basic dTpw",
          "Proxy-Authorization: Basic cHU6", "Cookie: a=b", "Range: bytes=100-"}));
}

TEST(ComposeRequestTest, HttpDates) {
  EXPECT_EQ(FormatHttpDate(2.0), "Mon, 01 Jan 1900 00:00:00");
  EXPECT_EQ(FormatHttpDate(36526.0 + 59.0 / 86400), "Sat, 01 Jan 2000 00:00:59");
  EXPECT_EQ(FormatHttpDate(36585.75), "Tue, 29 Feb 2000 18:00:00");
}

struct RelocationCase {
  const char* name;
  bool proxy;
  RequestTarget current;
  const char* value;
  RequestTarget next;
  const char* location;
};

TEST(RelocationTest, Targets) {
  const RequestTarget direct{"srv", "srv", "8080", "/dir/page.htm?x=/y"};
  const RequestTarget proxied{"proxy", "srv", "3128", "http://srv:8080/dir/page.htm"};
  const RelocationCase cases[] = {
      {"path",
       false,
       direct,
       "/other/f.zip",
       {"srv", "srv", "8080", "/other/f.zip"},
       "http://srv:8080/other/f.zip"},
      {"relative",
       false,
       direct,
       "f.zip",
       {"srv", "srv", "8080", "/dir/f.zip"},
       "http://srv:8080/dir/f.zip"},
      {"absolute",
       false,
       direct,
       "http://mirror:81/m/f.zip",
       {"mirror", "mirror", "81", "/m/f.zip"},
       "http://mirror:81/m/f.zip"},
      {"absolute no path",
       false,
       direct,
       "http://mirror",
       {"mirror", "mirror", "80", "/"},
       "http://mirror/"},
      {"proxy path",
       true,
       proxied,
       "/other",
       {"proxy", "srv", "3128", "http://srv:8080/other"},
       "http://srv:8080/other"},
      {"proxy relative",
       true,
       proxied,
       "f.zip",
       {"proxy", "srv", "3128", "http://srv:8080/dir/f.zip"},
       "http://srv:8080/dir/f.zip"},
      {"proxy absolute keeps the new port",
       true,
       proxied,
       "http://mirror:81/f",
       {"proxy", "mirror", "3128", "http://mirror:81/f"},
       "http://mirror:81/f"},
  };
  for (const RelocationCase& c : cases) {
    Relocation r = ComputeRelocation(c.value, c.current, c.proxy);
    EXPECT_EQ(r.next.host_name, c.next.host_name) << c.name;
    EXPECT_EQ(r.next.target_host, c.next.target_host) << c.name;
    EXPECT_EQ(r.next.port, c.next.port) << c.name;
    EXPECT_EQ(r.next.target, c.next.target) << c.name;
    EXPECT_EQ(r.location, c.location) << c.name;
    EXPECT_FALSE(r.has_credentials) << c.name;
  }
}

TEST(RelocationTest, CredentialsOnlyWhenBothGiven) {
  RequestTarget current{"srv", "srv", "80", "/"};
  Relocation both = ComputeRelocation("http://u:p@h/x", current, false);
  EXPECT_TRUE(both.has_credentials);
  EXPECT_EQ(both.user, "u");
  EXPECT_EQ(both.password, "p");
  EXPECT_FALSE(ComputeRelocation("http://u@h/x", current, false).has_credentials);
}

TEST(RelocationTest, DocumentNames) {
  const char* cases[][2] = {
      {"", "document.htm"},    {"/", "document.htm"},          {"/dir/", "document.htm"},
      {"/dir/f.zip", "f.zip"}, {"/dir/f.zip?a=/b/c", "f.zip"}, {"/dir/?a=b", "document.htm"},
      {"name", "name"}};
  for (auto& c : cases)
    EXPECT_EQ(ComputeDocumentName(c[0]), c[1]) << c[0];
  EXPECT_EQ(ComputeDocumentName("/" + std::string(300, 'n')).size(), 255u);
}

}  // namespace
}  // namespace qm::http
