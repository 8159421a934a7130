#include <string>

#include <gtest/gtest.h>

#include "http/socket/wsocket.h"

namespace qm::http {
namespace {

std::string Unread(const TBuffer& buffer) {
  const char* data = nullptr;
  int n = buffer.Peek(&data);
  return std::string(data, static_cast<size_t>(n));
}

TEST(TBufferTest, WritesWhatFitsAndHandsOutUnreadBytes) {
  TBuffer buffer(8);
  EXPECT_EQ(buffer.Write("abcdef", 6), 6);
  EXPECT_EQ(buffer.Write("ghijkl", 6), 2);  // only two bytes of room left
  EXPECT_EQ(buffer.Write("x", 1), 0);
  EXPECT_EQ(Unread(buffer), "abcdefgh");

  buffer.Remove(3);
  EXPECT_EQ(Unread(buffer), "defgh");
  EXPECT_EQ(buffer.Write("x", 1), 0);  // read bytes do not make room before all are read

  buffer.Remove(100);  // more than unread: stops at the end, counts return to 0
  EXPECT_EQ(buffer.WrCount(), 0);
  EXPECT_EQ(buffer.RdCount(), 0);
  EXPECT_EQ(buffer.Write("12345678", 8), 8);
  EXPECT_EQ(Unread(buffer), "12345678");
}

TEST(TBufferTest, DefaultCapacityAndResizeKeepWrittenBytes) {
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);
  EXPECT_EQ(TBuffer(-5).BufSize(), 1514);

  TBuffer buffer(4);
  buffer.Write("abcd", 4);
  buffer.SetBufSize(10);
  EXPECT_EQ(buffer.Write("efgh", 4), 4);
  EXPECT_EQ(Unread(buffer), "abcdefgh");
  buffer.SetBufSize(2);  // never drops written bytes
  EXPECT_EQ(Unread(buffer), "abcdefgh");
}

}  // namespace
}  // namespace qm::http
